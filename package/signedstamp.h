#pragma once

#include "common/signing.h"
#include "package/packagestamp.h"

// Whether an unpacked folder whose stamp matches the package may serve a
// Start, given what the package's signature file says now (Signing::check).
// Without a signature to check, yes. With one, only when the stamp says the
// folder was verified by the same, still trusted key, and that signature
// verifies against the digest the stamp recorded: a signature file replaced
// since then must match too. *shown receives the decision for the operator.
bool stampServes(const Signing::Decision &current, const PackageIdentity &stamped, Signing::Decision *shown);
