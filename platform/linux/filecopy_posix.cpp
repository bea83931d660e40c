#include "platform/filecopy.h"

#include "platform/fileops.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace FileCopy {

namespace {

constexpr size_t kRangeChunk = size_t(1) << 30; // the kernel caps one call near 2 GiB
constexpr size_t kBufferSize = size_t(4) << 20; // 4 MiB keeps syscalls rare without hurting the cache

// Closes a descriptor on every way out.
class Descriptor final
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    int get() const { return m_fd; }
    // Closes now and reports the result (a late write error shows here).
    int release()
    {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

mode_t toMode(QFileDevice::Permissions p)
{
    mode_t mode = 0;
    if (p & (QFileDevice::ReadOwner | QFileDevice::ReadUser))
        mode |= S_IRUSR;
    if (p & (QFileDevice::WriteOwner | QFileDevice::WriteUser))
        mode |= S_IWUSR;
    if (p & (QFileDevice::ExeOwner | QFileDevice::ExeUser))
        mode |= S_IXUSR;
    if (p & QFileDevice::ReadGroup)
        mode |= S_IRGRP;
    if (p & QFileDevice::WriteGroup)
        mode |= S_IWGRP;
    if (p & QFileDevice::ExeGroup)
        mode |= S_IXGRP;
    if (p & QFileDevice::ReadOther)
        mode |= S_IROTH;
    if (p & QFileDevice::WriteOther)
        mode |= S_IWOTH;
    if (p & QFileDevice::ExeOther)
        mode |= S_IXOTH;
    return mode;
}

void setError(QString *errorText, const QString &text)
{
    if (errorText)
        *errorText = text;
}

QString systemReason(int err)
{
    return qt_error_string(err);
}

// Writes all of buffer, retrying short writes and interruptions.
bool writeAll(int fd, const char *data, size_t size, int *err)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Copies the rest of in to out through a buffer; returns 0 or an errno value.
int copyWithBuffer(int in, int out)
{
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), kBufferSize);
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        int err = 0;
        if (!writeAll(out, buffer.get(), size_t(n), &err))
            return err;
    }
}

// Lets the kernel copy; returns 0, an errno value, or -1 when the buffer loop
// has to take over (nothing copied yet and the file systems refuse).
int copyWithRange(int in, int out)
{
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kRangeChunk, 0);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0) {
            // Pseudo file systems answer 0 at once although data exists; for a
            // truly empty file the loop's first read ends at once.
            if (copied == 0)
                return -1;
            return 0;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (copied == 0 &&
            (err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL || err == EPERM))
            return -1;
        return err;
    }
}

// Same contract as copyWithRange, through sendfile (works across file systems).
int copyWithSendFile(int in, int out)
{
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::sendfile(out, in, nullptr, kRangeChunk);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0)
            return copied == 0 ? -1 : 0;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (copied == 0 && (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP))
            return -1;
        return err;
    }
}

// Where the copy goes: a path, or a name inside a folder opened without
// following links.
struct Target
{
    QString shown;   // for messages
    int folder;      // AT_FDCWD or an opened folder
    QByteArray name; // relative to folder
};

// Opens source for a blocking sequential read: a regular file only. Non-blocking
// at first, so that a FIFO is refused instead of waiting for a writer for ever.
Descriptor openSource(const QString &source, QString *errorText)
{
    Descriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0) {
        setError(errorText, QStringLiteral("Cannot open %1 for input: %2").arg(source, systemReason(errno)));
        return in;
    }
    struct stat sourceStat
    {
    };
    if (::fstat(in.get(), &sourceStat) != 0) {
        setError(errorText, QStringLiteral("Cannot read %1: %2").arg(source, systemReason(errno)));
        return Descriptor(-1);
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        setError(errorText, QStringLiteral("Cannot open %1 for input: %2")
                                .arg(source, systemReason(S_ISDIR(sourceStat.st_mode) ? EISDIR : EINVAL)));
        return Descriptor(-1);
    }
    const int inFlags = ::fcntl(in.get(), F_GETFL);
    if (inFlags < 0 || ::fcntl(in.get(), F_SETFL, inFlags & ~O_NONBLOCK) != 0) {
        setError(errorText, QStringLiteral("Cannot read %1: %2").arg(source, systemReason(errno)));
        return Descriptor(-1);
    }
    return in;
}

bool copyImpl(const QString &source, const Target &target, QString *errorText,
              QFileDevice::Permissions permissions, Method method)
{
    const QString &destination = target.shown;
    FileOps::ignoreFileSizeSignal(); // a file-size limit fails the copy instead of ending the program
    Descriptor in = openSource(source, errorText);
    if (in.get() < 0)
        return false;

    const mode_t mode = toMode(permissions);
    // O_EXCL: an existing destination, or a link planted in its place, is never written through.
    Descriptor out(::openat(target.folder, target.name.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (out.get() < 0) {
        const int err = errno;
        setError(errorText,
                 err == EEXIST
                     ? QStringLiteral("Destination file exists")
                     : QStringLiteral("Cannot create %1 for output: %2").arg(destination, systemReason(err)));
        return false;
    }

    auto failAndRemove = [&](const QString &text) {
        setError(errorText, text);
        if (out.get() >= 0)
            out.release();
        ::unlinkat(target.folder, target.name.constData(), 0);
        return false;
    };

    if (::fchmod(out.get(), mode) != 0)
        return failAndRemove(
            QStringLiteral("Cannot set permissions of %1: %2").arg(destination, systemReason(errno)));

    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    int err = method == Method::Best ? copyWithRange(in.get(), out.get()) : -1;
    if (err == -1 && method != Method::Buffer)
        err = copyWithSendFile(in.get(), out.get());
    if (err == -1)
        err = copyWithBuffer(in.get(), out.get());
    if (err != 0)
        return failAndRemove(
            QStringLiteral("Cannot copy %1 to %2: %3").arg(source, destination, systemReason(err)));
    if (out.release() != 0)
        return failAndRemove(QStringLiteral("Cannot write %1: %2").arg(destination, systemReason(errno)));
    return true;
}

} // namespace

bool copyFile(const QString &source, const QString &destination, QString *errorText,
              QFileDevice::Permissions permissions)
{
    return copyImpl(source, Target{destination, AT_FDCWD, QFile::encodeName(destination)}, errorText,
                    permissions, Method::Best);
}

bool copyFileUsing(Method method, const QString &source, const QString &destination, QString *errorText,
                   QFileDevice::Permissions permissions)
{
    return copyImpl(source, Target{destination, AT_FDCWD, QFile::encodeName(destination)}, errorText,
                    permissions, method);
}

bool copyFileInto(const QString &source, const QString &folder, const QString &name, QString *errorText,
                  QFileDevice::Permissions permissions)
{
    const QString shown = folder + QLatin1Char('/') + name;
    // The folder is opened without following a link, and the file is created
    // relative to it: a link swapped in for the folder is never written through.
    Descriptor dir(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
        setError(errorText,
                 QStringLiteral("Cannot create %1 for output: %2").arg(shown, systemReason(errno)));
        return false;
    }
    return copyImpl(source, Target{shown, dir.get(), QFile::encodeName(name)}, errorText, permissions,
                    Method::Best);
}

} // namespace FileCopy
