#include "multi/multiplexlog.h"

#include <QFile>
#include <QTextStream>

void appendMultiplexLog(const QString &line)
{
    QFile file(QString::fromLatin1(MultiplexLog::kFileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    // The tool's output is decoded as UTF-8; write it back the same way so the
    // log holds the bytes the tool printed, whatever the locale.
    stream.setCodec("UTF-8");
    stream << line << '\n';
    stream.flush();
    file.close();
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
