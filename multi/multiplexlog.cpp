#include "multi/multiplexlog.h"

BatchedLog &multiplexLog()
{
    // The tool's output is decoded as UTF-8; written back the same way, the
    // log holds the bytes the tool printed, whatever the locale.
    static BatchedLog log(MultiplexLog::kFileName, "UTF-8");
    return log;
}

void appendMultiplexLog(const QString &line)
{
    multiplexLog().append(line);
}

namespace {
void appendPort(QString &line, const PortRecord &port)
{
    line += port.level;
    line += QLatin1Char(' ');
    line += port.number;
    line += QLatin1Char(' ');
}
} // namespace

void logPortConnected(const PortRecord &port)
{
    QString line = QStringLiteral("USB Port connected: ");
    appendPort(line, port);
    appendMultiplexLog(line);
}

void logPortList(const QVector<PortRecord> &ports)
{
    QString line = QStringLiteral("USB Port removed: ");
    for (const PortRecord &port : ports)
        appendPort(line, port);
    appendMultiplexLog(line);
}
