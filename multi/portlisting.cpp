#include "multi/portlisting.h"

#include "common/toolcontract.h"
#include "multi/boardoutput.h"
#include "multi/multilogging.h"

#include <QDebug>
#include <QLatin1String>
#include <QString>
#include <QStringList>

namespace {

// The last character of a field. A character outside the basic plane is kept
// whole (both UTF-16 halves), so the port string never holds half a character.
QString lastCharacter(const QString &field)
{
    const int size = field.size();
    if (size >= 2 && field.at(size - 1).isLowSurrogate() && field.at(size - 2).isHighSurrogate())
        return field.right(2);
    return field.right(1);
}

PortRecord parseLine(const QString &line)
{
    PortRecord record;
    const QStringList fields = line.split(QLatin1String(ToolContract::kFieldSeparator));
    for (const QString &field : fields) {
        if (field.contains(QLatin1String(ToolContract::kPortLevelField)))
            record.level = lastCharacter(field);
        if (field.contains(QLatin1String(ToolContract::kPortNumField)))
            record.number = lastCharacter(field);
    }
    return record;
}

} // namespace

QVector<PortRecord> parsePortListing(const QByteArray &output)
{
    QStringList lines = decodeToolOutput(output).split(QLatin1String(ToolContract::kLineEnd));
    // The text after the last line break is not a complete line.
    if (!lines.isEmpty())
        lines.removeLast();

    QVector<PortRecord> ports;
    while (lines.size() > ToolContract::kListingHeaderLines) {
        const PortRecord record = parseLine(lines.takeLast());
        if (ports.contains(record)) {
            qCDebug(lcPorts) << "usb port exist !";
            continue;
        }
        if (!record.level.isEmpty() && !record.number.isEmpty())
            ports.append(record);
    }
    return ports;
}
