#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <iosfwd>

class QOperatingSystemVersion;

// Decisions taken at program start, kept apart from main() so tests can call them.
namespace Startup {

enum class FirstWindow { Selection, Single, Multiple };

// "Single" and "Multiple" (exact, case-sensitive) pick a burning window;
// anything else, the empty string included, opens the mode selection window.
FirstWindow firstWindowFor(const QString &burnType);

// True on Windows 7, 8 and 8.1 only: at least Windows 7 and below Windows 10.
bool needsCompatLayer(const QOperatingSystemVersion &version);

// cwd + "/config/usb_dl.exe" with every '/' turned into '\', as UTF-8 bytes.
QByteArray compatValueName(const QString &currentDir);

inline constexpr char kCompatData[] = "~ WIN7RTM";

using CompatWriter = std::function<bool(const char *valueName, const char *data)>;

// Runs the compatibility step for the given system: writes the registry value
// through the writer when needed and prints the outcome. Returns whether the
// writer was called.
bool runCompatStep(const QOperatingSystemVersion &version, const QString &currentDir,
                   const CompatWriter &writer, std::ostream &out, std::ostream &err);

} // namespace Startup
