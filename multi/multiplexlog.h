#pragma once

#include "common/batchedlog.h"
#include "multi/portrecord.h"

#include <QString>
#include <QVector>

// The multi-board run log "log_multiplex.txt" in the current directory: each
// line and "\n" in UTF-8, appended with the file opened and closed around it,
// or around all lines of a batch (BatchedLog::Batch on multiplexLog()); a file
// that cannot be opened loses the lines silently.
namespace MultiplexLog {
inline constexpr char kFileName[] = "log_multiplex.txt";
}

BatchedLog &multiplexLog();
void appendMultiplexLog(const QString &line);

// "USB Port connected: " followed by level, blank, number, blank.
void logPortConnected(const PortRecord &port);

// "USB Port removed: " followed by level, blank, number, blank for every
// record. Written after every registration with the whole list of bound ports.
void logPortList(const QVector<PortRecord> &ports);
