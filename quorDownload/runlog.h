#pragma once

#include <QString>

// The single-board run log "log_singel.txt" in the current directory: one
// record per call, opened and closed for every line so that a crash loses
// nothing already written.
namespace RunLog {

inline constexpr char kFileName[] = "log_singel.txt";

// Appends text and a line feed (no line-end translation, locale encoding).
// A file that cannot be opened loses the line silently.
void appendLog(const QString &text);

} // namespace RunLog
