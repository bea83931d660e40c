// Partition description files of any shape through the description reader, from memory as binary and as
// text. The reader must append only, report an error with its message and read the same bytes the same
// way every time (text mode only drops carriage returns).
#include "fuzzcheck.h"
#include "quorDownload/partitionfile.h"

#include <QBuffer>

static QStringList readBytes(QByteArray bytes, QIODevice::OpenMode mode)
{
    QVector<PartitionEntry> list(1);
    list[0].label = QStringLiteral("kept");
    QBuffer buffer(&bytes);
    FUZZ_CHECK(buffer.open(mode));
    const PartitionReadResult r = PartitionFile::read(&buffer, list);
    FUZZ_CHECK(r.status != PartitionReadResult::OpenFailed); // the buffer is open
    FUZZ_CHECK(r.errorString.isEmpty() == (r.status == PartitionReadResult::Ok));
    QStringList out{QString::number(r.status)};
    for (const PartitionEntry &e : list)
        out << e.label + QLatin1Char('|') + e.size_in_kb + QLatin1Char('|') + e.file + QLatin1Char('|') +
                   e.mountpoint + QLatin1Char('|') + e.type;
    FUZZ_CHECK(out.at(1) == QLatin1String("kept| | | | ")); // appended, never cleared
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();
    const QByteArray bytes = fuzzBytes(data, size);
    const QStringList binary = readBytes(bytes, QIODevice::ReadOnly);
    FUZZ_CHECK(readBytes(bytes, QIODevice::ReadOnly) == binary);
    const QStringList text = readBytes(bytes, QIODevice::ReadOnly | QIODevice::Text);
    FUZZ_CHECK(bytes.contains('\r') || (text.size() == binary.size() && text.first() == binary.first()));
    return 0;
}
