#include "multi/packagestamp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char kPackageStampName[] = ".quor-package-stamp";

namespace {

constexpr int kFormat = 1;
constexpr qint64 kMaxStampBytes = 4096;
constexpr int kShortHashDigits = 12;

// Characters a file name keeps as they are in the stamp; everything else
// (line breaks, '%', '=', non-ASCII bytes) is percent-encoded.
const QByteArray kNameKeeps = QByteArrayLiteral(" !#$&'()+,;@[]^{}");

// Closes a descriptor when it goes.
class FdCloser final
{
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdCloser(const FdCloser &) = delete;
    FdCloser &operator=(const FdCloser &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

qint64 modifiedMsOf(const struct stat &st)
{
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + static_cast<qint64>(st.st_mtim.tv_nsec) / 1000000;
}

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
    // No trailing slash: it would make the kernel follow a link in the folder's place.
    const QByteArray folderPath = QFile::encodeName(QDir::cleanPath(imageFolder));
    const FdCloser folder(::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0)
        return errno == ENOENT ? ReadState::Missing : ReadState::Unreadable;
    struct stat before;
    if (::fstatat(folder.get(), kPackageStampName, &before, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? ReadState::Missing : ReadState::Unreadable;
    if (!S_ISREG(before.st_mode) || before.st_size > kMaxStampBytes)
        return ReadState::Unreadable;
    const FdCloser file(
        ::openat(folder.get(), kPackageStampName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_ino != before.st_ino || st.st_dev != before.st_dev)
        return ReadState::Unreadable;
    char buffer[kMaxStampBytes + 1];
    qint64 length = 0;
    while (length < kMaxStampBytes + 1) {
        const ssize_t n =
            ::read(file.get(), buffer + length, static_cast<size_t>(kMaxStampBytes + 1 - length));
        if (n < 0 && errno == EINTR)
            continue;
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
    text += "sha256=" + identity.sha256Hex + '\n';
    return text;
}

bool parseStamp(const QByteArray &text, PackageIdentity *identity)
{
    PackageIdentity read;
    bool formatOk = false;
    bool sizeOk = false;
    bool timeOk = false;
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
        } else if (key == "sha256") {
            read.sha256Hex = value;
        }
    }
    if (!formatOk || !sizeOk || !timeOk || read.fileName.isEmpty() || !isSha256Hex(read.sha256Hex))
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

    struct stat st;
    if (::stat(QFile::encodeName(zipPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return StampCheck::Different;
    const bool same = static_cast<qint64>(st.st_size) == fromStamp.size &&
                      modifiedMsOf(st) == fromStamp.modifiedMs &&
                      QFileInfo(zipPath).fileName() == fromStamp.fileName;
    return same ? StampCheck::Matches : StampCheck::Different;
}

bool readPackageIdentity(int fd, const QString &zipPath, PackageIdentity *identity)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    identity->size = static_cast<qint64>(st.st_size);
    identity->modifiedMs = modifiedMsOf(st);
    identity->fileName = QFileInfo(zipPath).fileName();
    return true;
}

bool writeStamp(int folderFd, const PackageIdentity &identity, QString *error)
{
    const QByteArray text = stampText(identity);
    const int fd =
        ::openat(folderFd, kPackageStampName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    int err = 0;
    const char *data = text.constData();
    size_t left = static_cast<size_t>(text.size());
    while (left > 0 && err == 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(folderFd, kPackageStampName, 0);
        *error = QString::fromLocal8Bit(std::strerror(err));
        return false;
    }
    return true;
}
