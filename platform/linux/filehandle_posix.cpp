#include "platform/filehandle.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace FileOps {

struct Handle::Data
{
    int fd;
};

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

Handle adopt(int fd)
{
    return fd >= 0 ? Handle(new Handle::Data{fd}) : Handle();
}

int fdOf(const Handle &h)
{
    return h.valid() ? h.data()->fd : -1;
}

void setError(QString *error, int err)
{
    if (error)
        *error = qt_error_string(err);
}

qint64 modifiedMsOf(const struct stat &st)
{
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + static_cast<qint64>(st.st_mtim.tv_nsec) / 1000000;
}

bool infoOf(const struct stat &st, RegularFileInfo *info)
{
    if (!S_ISREG(st.st_mode))
        return false;
    info->size = static_cast<qint64>(st.st_size);
    info->modifiedMs = modifiedMsOf(st);
    info->fileId = QByteArray::number(static_cast<quint64>(st.st_dev), 16) + ':' +
                   QByteArray::number(static_cast<quint64>(st.st_ino), 16);
    info->changedNs =
        static_cast<qint64>(st.st_ctim.tv_sec) * 1000000000 + static_cast<qint64>(st.st_ctim.tv_nsec);
    return true;
}

} // namespace

bool Handle::release(Data *data, QString *error)
{
    const int rc = ::close(data->fd);
    const int err = errno;
    delete data;
    if (rc != 0)
        setError(error, err);
    return rc == 0;
}

QByteArray nameBytes(const QString &name)
{
    return QFile::encodeName(name);
}

QString nameString(const QByteArray &name)
{
    return QFile::decodeName(name);
}

Handle openForReading(const QString &path, QString *error)
{
    Handle h = adopt(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!h.valid())
        setError(error, errno);
    return h;
}

bool regularFileInfo(const Handle &file, RegularFileInfo *info)
{
    struct stat st;
    return file.valid() && ::fstat(fdOf(file), &st) == 0 && infoOf(st, info);
}

bool regularFileInfo(const QString &path, RegularFileInfo *info)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && infoOf(st, info);
}

qint64 readAt(const Handle &file, char *data, qint64 size, qint64 offset, QString *error)
{
    for (;;) {
        const ssize_t n = ::pread(fdOf(file), data, static_cast<size_t>(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            setError(error, errno);
        return n;
    }
}

bool writeAt(const Handle &file, const char *data, qint64 size, qint64 offset, QString *error)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fdOf(file), data, static_cast<size_t>(size), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setError(error, errno);
            return false;
        }
        if (n == 0) {
            setError(error, ENOSPC);
            return false;
        }
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

Handle openFolder(const QString &path, bool noFollow, Status *status, QString *error)
{
    const int flags = noFollow ? kDirFlags : O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    Handle h = adopt(::open(QFile::encodeName(path).constData(), flags));
    if (status)
        *status = h.valid() ? Status::Ok : errno == ENOENT ? Status::Missing : Status::Failed;
    if (!h.valid())
        setError(error, errno);
    return h;
}

Handle openFolderAt(const Handle &folder, const QByteArray &name, QString *error)
{
    Handle h = adopt(::openat(fdOf(folder), name.constData(), kDirFlags));
    if (!h.valid())
        setError(error, errno);
    return h;
}

Status makeFolderAt(const Handle &folder, const QByteArray &name, QString *error)
{
    if (::mkdirat(fdOf(folder), name.constData(), 0777) == 0)
        return Status::Ok;
    if (errno == EEXIST)
        return Status::Exists;
    setError(error, errno);
    return Status::Failed;
}

Handle createFileAt(const Handle &folder, const QByteArray &name, Status *status, QString *error)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Handle h = adopt(::openat(fdOf(folder), name.constData(), flags, 0666));
    if (status)
        *status = h.valid() ? Status::Ok : errno == EEXIST ? Status::Exists : Status::Failed;
    if (!h.valid())
        setError(error, errno);
    return h;
}

Handle openSmallFileAt(const Handle &folder, const QByteArray &name, qint64 maxBytes, Status *status)
{
    // Looked at before it is opened, so a special file is never opened at all;
    // the check is repeated on what was opened in case the name changed.
    struct stat before;
    if (::fstatat(fdOf(folder), name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        *status = errno == ENOENT ? Status::Missing : Status::Failed;
        return Handle();
    }
    *status = Status::Failed;
    if (!S_ISREG(before.st_mode) || before.st_size > maxBytes)
        return Handle();
    Handle h =
        adopt(::openat(fdOf(folder), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!h.valid() || ::fstat(fdOf(h), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != before.st_ino ||
        st.st_dev != before.st_dev)
        return Handle();
    *status = Status::Ok;
    return h;
}

EntryType entryTypeAt(const Handle &folder, const QByteArray &name)
{
    struct stat st;
    if (::fstatat(fdOf(folder), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? EntryType::Missing : EntryType::Unknown;
    return S_ISDIR(st.st_mode) ? EntryType::Folder : EntryType::Other;
}

bool removeFileAt(const Handle &folder, const QByteArray &name)
{
    return ::unlinkat(fdOf(folder), name.constData(), 0) == 0;
}

bool removeEmptyFolderAt(const Handle &folder, const QByteArray &name)
{
    return ::unlinkat(fdOf(folder), name.constData(), AT_REMOVEDIR) == 0;
}

bool renameAt(const Handle &folder, const QByteArray &from, const QByteArray &to, QString *error)
{
    if (::renameat(fdOf(folder), from.constData(), fdOf(folder), to.constData()) == 0)
        return true;
    setError(error, errno);
    return false;
}

qint64 freeSpace(const Handle &folder)
{
    struct statvfs space;
    if (::fstatvfs(fdOf(folder), &space) != 0)
        return -1;
    return static_cast<qint64>(std::min<unsigned long long>(
        static_cast<unsigned long long>(space.f_bavail) * space.f_frsize, LLONG_MAX));
}

QByteArray legacyZipNameCharset()
{
    return QByteArray();
}

Utf8NamesOnThisThread::Utf8NamesOnThisThread()
    : m_mine(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr)))
{
    if (m_mine)
        m_previous = ::uselocale(static_cast<locale_t>(m_mine));
}

Utf8NamesOnThisThread::~Utf8NamesOnThisThread()
{
    if (m_mine) {
        ::uselocale(static_cast<locale_t>(m_previous));
        ::freelocale(static_cast<locale_t>(m_mine));
    }
}

} // namespace FileOps
