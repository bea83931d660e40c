#pragma once

#include "multi/portrecord.h"

#include <QString>
#include <QVector>

// The multi-board run log "log_multiplex.txt" in the current directory. Every
// line opens the file in append mode, writes the line and "\n" (UTF-8) and
// closes it again; a file that cannot be opened loses the line silently.
namespace MultiplexLog {
inline constexpr char kFileName[] = "log_multiplex.txt";
}

void appendMultiplexLog(const QString &line);

// "USB Port connected: " followed by level, blank, number, blank.
void logPortConnected(const PortRecord &port);

// "USB Port removed: " followed by level, blank, number, blank for every
// record. Written after every registration with the whole list of bound ports.
void logPortList(const QVector<PortRecord> &ports);
