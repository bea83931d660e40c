#pragma once

#include <QString>

#include <optional>

// Reading the download tool's output lines, the same for both windows.
namespace ToolText {

// Whether the line holds the text (case-sensitive), the one test every line
// decision is made of.
bool has(const QString &line, const char *text);

// The line with its first backslash as '/': the tool may print the counts of
// an "updated size" line as "done\total".
QString withSlash(const QString &line);

// The percentage of an "updated size" line ("...: done/total(..."): done after
// the last ':' up to the last '/', total from there up to the last '('. Empty
// when those are missing or out of order, or the total is below 100 or not a
// number, so the caller keeps its last value instead of dividing by zero.
std::optional<int> updatedSizePercent(const QString &line);

} // namespace ToolText
