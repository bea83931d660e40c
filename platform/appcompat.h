#pragma once

// Writes the compatibility-layer value for the download tool under the current
// user's "AppCompatFlags\Layers" key. Windows only; elsewhere it writes nothing
// and returns false (start-up never calls it there). Free of Qt so that it can
// be cross-compiled and tested on its own.
bool setAppCompatLayer(const char *valueName, const char *data);
