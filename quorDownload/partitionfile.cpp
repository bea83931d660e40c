#include "quorDownload/partitionfile.h"

#include "platform/fileops.h"

#include <QFile>
#include <QXmlStreamReader>

namespace PartitionFile {

PartitionReadResult read(QIODevice *device, QVector<PartitionEntry> &list)
{
    QXmlStreamReader xml(device);
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        // name() is the local name, so a namespace prefix does not matter.
        if (xml.isStartElement() && xml.name() == QLatin1String("partition")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            PartitionEntry entry;
            entry.label = attributes.value(QLatin1String("label")).toString();
            entry.size_in_kb = attributes.value(QLatin1String("size_in_kb")).toString();
            entry.file = attributes.value(QLatin1String("file")).toString();
            entry.mountpoint = attributes.value(QLatin1String("mountpoint")).toString();
            entry.type = attributes.value(QLatin1String("type")).toString();
            list.append(entry);
        }
    }
    if (xml.hasError())
        return {PartitionReadResult::ParseError, xml.errorString()};
    return {PartitionReadResult::Ok, QString()};
}

PartitionReadResult read(const QString &path, QVector<PartitionEntry> &list)
{
    // A FIFO or device in the file's place is refused without opening it for
    // good: reading one would wait for ever, and the path is remembered.
    QFile file;
    QString error;
    if (!FileOps::openRegularFile(file, path, QIODevice::ReadOnly | QIODevice::Text, &error))
        return {PartitionReadResult::OpenFailed, error};
    return read(&file, list);
}

} // namespace PartitionFile
