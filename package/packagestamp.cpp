#include "package/packagestamp.h"

#include "platform/filehandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

const char kPackageStampName[] = ".quor-package-stamp";

namespace {

constexpr int kFormat = 2; // 2: file identity and change time
constexpr qint64 kMaxStampBytes = 4096;
constexpr int kShortHashDigits = 12;

// Characters a file name keeps as they are in the stamp; everything else
// (line breaks, '%', '=', non-ASCII bytes) is percent-encoded.
const QByteArray kNameKeeps = QByteArrayLiteral(" !#$&'()+,;@[]^{}");

bool isSha256Hex(const QByteArray &hex)
{
    if (hex.size() != 64)
        return false;
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

enum class ReadState { Read, Missing, Unreadable };

// The stamp's bytes, read only from a small regular file: a special file is
// never opened for reading and a FIFO opened by a race never blocks.
ReadState readStampFile(const QString &imageFolder, QByteArray *text)
{
    // No trailing slash: it would make the system follow a link in the folder's place.
    FileOps::Status status = FileOps::Status::Failed;
    const FileOps::Handle folder = FileOps::openFolder(QDir::cleanPath(imageFolder), true, &status, nullptr);
    if (!folder.valid())
        return status == FileOps::Status::Missing ? ReadState::Missing : ReadState::Unreadable;
    const FileOps::Handle file = FileOps::openSmallFileAt(folder, kPackageStampName, kMaxStampBytes, &status);
    if (!file.valid())
        return status == FileOps::Status::Missing ? ReadState::Missing : ReadState::Unreadable;
    char buffer[kMaxStampBytes + 1];
    qint64 length = 0;
    while (length < kMaxStampBytes + 1) {
        const qint64 n = FileOps::readAt(file, buffer + length, kMaxStampBytes + 1 - length, length, nullptr);
        if (n < 0)
            return ReadState::Unreadable;
        if (n == 0)
            break;
        length += n;
    }
    if (length > kMaxStampBytes) // grew since the check
        return ReadState::Unreadable;
    *text = QByteArray(buffer, static_cast<int>(length));
    return ReadState::Read;
}

} // namespace

QString PackageIdentity::shortHash() const
{
    return QString::fromLatin1(sha256Hex.left(kShortHashDigits));
}

QByteArray stampText(const PackageIdentity &identity)
{
    QByteArray text;
    text += "format=" + QByteArray::number(kFormat) + '\n';
    text += "package=" + identity.fileName.toUtf8().toPercentEncoding(kNameKeeps) + '\n';
    text += "size=" + QByteArray::number(identity.size) + '\n';
    text += "modified-ms=" + QByteArray::number(identity.modifiedMs) + '\n';
    text += "file-id=" + identity.fileId + '\n';
    text += "changed-ns=" + QByteArray::number(identity.changedNs) + '\n';
    text += "sha256=" + identity.sha256Hex + '\n';
    if (!identity.signedBy.isEmpty())
        text += "signed-by=" + identity.signedBy.toLatin1() + "\nblake2b=" + identity.blake2bHex + '\n';
    return text;
}

bool parseStamp(const QByteArray &text, PackageIdentity *identity)
{
    PackageIdentity read;
    bool formatOk = false;
    bool sizeOk = false;
    bool timeOk = false;
    bool changedOk = false;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq);
        const QByteArray value = line.mid(eq + 1);
        if (key == "format") {
            formatOk = value == QByteArray::number(kFormat);
        } else if (key == "package") {
            read.fileName = QString::fromUtf8(QByteArray::fromPercentEncoding(value));
        } else if (key == "size") {
            read.size = value.toLongLong(&sizeOk);
            sizeOk = sizeOk && read.size >= 0;
        } else if (key == "modified-ms") {
            read.modifiedMs = value.toLongLong(&timeOk);
        } else if (key == "file-id") {
            read.fileId = value;
        } else if (key == "changed-ns") {
            read.changedNs = value.toLongLong(&changedOk);
        } else if (key == "sha256") {
            read.sha256Hex = value;
        } else if (key == "signed-by") {
            read.signedBy = QString::fromLatin1(value);
        } else if (key == "blake2b") {
            read.blake2bHex = value;
        }
    }
    if (!formatOk || !sizeOk || !timeOk || !changedOk || read.fileId.isEmpty() || read.fileName.isEmpty() ||
        !isSha256Hex(read.sha256Hex))
        return false;
    *identity = read;
    return true;
}

StampCheck checkStamp(const QString &zipPath, const QString &imageFolder, PackageIdentity *stamped)
{
    if (stamped)
        *stamped = PackageIdentity();
    QByteArray text;
    switch (readStampFile(imageFolder, &text)) {
    case ReadState::Missing:
        return StampCheck::Missing;
    case ReadState::Unreadable:
        return StampCheck::Different;
    case ReadState::Read:
        break;
    }
    PackageIdentity fromStamp;
    if (!parseStamp(text, &fromStamp))
        return StampCheck::Different;
    if (stamped)
        *stamped = fromStamp;

    FileOps::RegularFileInfo info;
    if (!FileOps::regularFileInfo(zipPath, &info))
        return StampCheck::Different;
    PackageIdentity now;
    now.size = info.size;
    now.modifiedMs = info.modifiedMs;
    now.fileId = info.fileId;
    now.changedNs = info.changedNs;
    now.fileName = QFileInfo(zipPath).fileName();
    return sameFile(now, fromStamp) ? StampCheck::Matches : StampCheck::Different;
}

bool sameFile(const PackageIdentity &a, const PackageIdentity &b)
{
    return a.size == b.size && a.modifiedMs == b.modifiedMs && a.fileId == b.fileId &&
           a.changedNs == b.changedNs && a.fileName == b.fileName;
}

bool readPackageIdentity(const FileOps::Handle &file, const QString &zipPath, PackageIdentity *identity)
{
    FileOps::RegularFileInfo info;
    if (!FileOps::regularFileInfo(file, &info))
        return false;
    identity->size = info.size;
    identity->modifiedMs = info.modifiedMs;
    identity->fileId = info.fileId;
    identity->changedNs = info.changedNs;
    identity->fileName = QFileInfo(zipPath).fileName();
    return true;
}

bool writeStamp(const FileOps::Handle &folder, const PackageIdentity &identity, QString *error)
{
    const QByteArray text = stampText(identity);
    FileOps::Handle file = FileOps::createFileAt(folder, kPackageStampName, nullptr, error);
    if (!file.valid())
        return false;
    const bool written = FileOps::writeAt(file, text.constData(), text.size(), 0, error);
    if (!file.close(written ? error : nullptr) || !written) {
        FileOps::removeFileAt(folder, kPackageStampName);
        return false;
    }
    return true;
}
