// Partition description files of any shape through the description reader,
// read from memory as binary and as text (the file variant opens in text
// mode). The reader must append only, keep what the list held, report an
// error with its message and read the same bytes the same way every time.
#include "fuzzcheck.h"
#include "quorDownload/partitionfile.h"

#include <QBuffer>
#include <QByteArray>

#include <cstdint>

namespace {

bool sameEntry(const PartitionEntry &a, const PartitionEntry &b)
{
    return a.label == b.label && a.size_in_kb == b.size_in_kb && a.file == b.file &&
           a.mountpoint == b.mountpoint && a.type == b.type;
}

struct Read
{
    PartitionReadResult result;
    QVector<PartitionEntry> list;
};

Read readBytes(const QByteArray &bytes, QIODevice::OpenMode mode)
{
    Read r;
    PartitionEntry kept;
    kept.label = QStringLiteral("kept");
    r.list.append(kept);

    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    FUZZ_CHECK(buffer.open(mode));
    r.result = PartitionFile::read(&buffer, r.list);

    FUZZ_CHECK(!r.list.isEmpty() && sameEntry(r.list.first(), kept)); // appended, never cleared
    switch (r.result.status) {
    case PartitionReadResult::Ok:
        FUZZ_CHECK(r.result.errorString.isEmpty());
        break;
    case PartitionReadResult::ParseError:
        FUZZ_CHECK(!r.result.errorString.isEmpty());
        break;
    case PartitionReadResult::OpenFailed:
        FUZZ_CHECK(false); // the buffer is open
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const Read binary = readBytes(bytes, QIODevice::ReadOnly);
    const Read again = readBytes(bytes, QIODevice::ReadOnly);
    FUZZ_CHECK(binary.result.status == again.result.status);
    FUZZ_CHECK(binary.list.size() == again.list.size());
    for (int i = 0; i < binary.list.size(); ++i)
        FUZZ_CHECK(sameEntry(binary.list.at(i), again.list.at(i)));

    // Text mode only drops carriage returns; without any the result is the same.
    const Read text = readBytes(bytes, QIODevice::ReadOnly | QIODevice::Text);
    if (!bytes.contains('\r')) {
        FUZZ_CHECK(text.result.status == binary.result.status);
        FUZZ_CHECK(text.list.size() == binary.list.size());
    }
    return 0;
}
