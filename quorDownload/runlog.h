#pragma once

#include "common/batchedlog.h"

#include <QString>

// The single-board run log "log_singel.txt" in the current directory: one
// record per call, the file opened and closed around it, or around all records
// of a batch (BatchedLog::Batch on log()), so that a crash loses at most the
// batch being handled.
namespace RunLog {

inline constexpr char kFileName[] = "log_singel.txt";

BatchedLog &log();

// Appends text and a line feed (no line-end translation, locale encoding).
// A file that cannot be opened loses the line silently.
void appendLog(const QString &text);

} // namespace RunLog
