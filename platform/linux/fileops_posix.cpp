#include "platform/fileops.h"

#include "platform/asideremoval.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace FileOps {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Owns a descriptor.
class Fd final
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset()
    {
        if (m_fd >= 0)
            ::close(release());
    }

private:
    int m_fd;
};

QString reasonOf(int err)
{
    return qt_error_string(err);
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Names in a folder, without "." and "..". The descriptor stays open.
std::vector<QByteArray> namesIn(int folder)
{
    std::vector<QByteArray> names;
    Fd listing(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    DIR *dir = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
    if (!dir)
        return names;
    listing.release(); // owned by the stream now
    ::rewinddir(dir);
    while (const dirent *d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// Parent folder opened, and the last component of path.
Fd openParent(const QString &path, QByteArray *leaf)
{
    const QFileInfo info(path.endsWith(QLatin1Char('/')) && path.size() > 1 ? path.chopped(1) : path);
    *leaf = QFile::encodeName(info.fileName());
    return Fd(::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Deletes everything below the opened folder `top` and then `top` itself
// (named topName in parent). Walks down one descriptor at a time and comes
// back through "..", so neither the path length nor the depth is limited by
// PATH_MAX or the number of open descriptors. Links are removed, never
// followed.
bool deleteTree(int parent, const QByteArray &topName)
{
    Fd current(::openat(parent, topName.constData(), kDirFlags));
    if (!current.valid())
        return false;
    struct Level
    {
        QByteArray name;        // this folder's name in its parent
        struct stat parentStat; // to check that ".." leads back where we came from
    };
    std::vector<Level> path;
    bool ok = true;
    for (;;) {
        bool descended = false;
        for (const QByteArray &name : namesIn(current.get())) {
            struct stat st;
            if (::fstatat(current.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (!S_ISDIR(st.st_mode)) {
                if (::unlinkat(current.get(), name.constData(), 0) != 0)
                    ok = false;
                continue;
            }
            if (::unlinkat(current.get(), name.constData(), AT_REMOVEDIR) == 0)
                continue; // already empty
            Fd child(::openat(current.get(), name.constData(), kDirFlags));
            struct stat here;
            if (!child.valid() || ::fstat(current.get(), &here) != 0) {
                ok = false;
                continue;
            }
            path.push_back(Level{name, here});
            current = std::move(child);
            descended = true;
            break;
        }
        if (descended)
            continue;
        if (path.empty())
            break;
        // This folder is as empty as it gets: go back up and remove it.
        const Level level = path.back();
        path.pop_back();
        Fd up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat upStat;
        if (!up.valid() || ::fstat(up.get(), &upStat) != 0 || !sameFile(upStat, level.parentStat))
            return false; // the tree was moved under us: stop rather than delete elsewhere
        current = std::move(up);
        if (::unlinkat(current.get(), level.name.constData(), AT_REMOVEDIR) != 0) {
            // Something below could not be removed; do not loop on it for ever.
            ok = false;
            break;
        }
    }
    current.reset();
    return ::unlinkat(parent, topName.constData(), AT_REMOVEDIR) == 0 && ok;
}

} // namespace

bool isRegularFile(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    // O_APPEND puts every write at the end; O_NONBLOCK only matters for a FIFO
    // or device in the file's place, which then fails instead of blocking.
    Fd fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC,
                 0666));
    if (!fd.valid())
        return false;
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.get(), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    // Non-blocking open: opening a FIFO for reading would otherwise wait for a
    // writer for ever. The type is then checked on what was actually opened.
    Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        setError(error, reasonOf(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        setError(error, reasonOf(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, reasonOf(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
        return false;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        setError(error, reasonOf(errno));
        return false;
    }
    file.setFileName(path);
    if (!file.open(fd.get(), mode | QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        setError(error, file.errorString());
        return false;
    }
    fd.release(); // the file object closes it now
    return true;
}

FolderState prepareFolder(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return FolderState::Existed;
        if (S_ISLNK(st.st_mode) && ::unlink(native.constData()) != 0) {
            setError(error, reasonOf(errno));
            return FolderState::Failed;
        }
    }
    if (::mkdir(native.constData(), 0777) != 0) {
        setError(error, reasonOf(errno));
        return FolderState::Failed;
    }
    return FolderState::Created;
}

QVector<FolderEntry> listFolder(const QString &folder)
{
    QVector<FolderEntry> entries;
    Fd dir(::open(QFile::encodeName(folder).constData(), kDirFlags));
    if (!dir.valid())
        return entries;
    for (const QByteArray &name : namesIn(dir.get())) {
        struct stat st;
        if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        FolderEntry e;
        e.name = QFile::decodeName(name);
        e.isDir = S_ISDIR(st.st_mode);
        e.isFile = S_ISREG(st.st_mode);
        e.isLink = S_ISLNK(st.st_mode);
        e.size = static_cast<qint64>(st.st_size);
        entries.append(e);
    }
    sortFolderEntries(entries);
    return entries;
}

bool removeFolderEntry(const QString &folder, const QString &name, QString *reason)
{
    Fd dir(::open(QFile::encodeName(folder).constData(), kDirFlags));
    if (!dir.valid()) {
        setError(reason, reasonOf(errno));
        return false;
    }
    const QByteArray leaf = QFile::encodeName(name);
    if (leaf.isEmpty() || leaf.contains('/') || leaf == "." || leaf == "..") {
        setError(reason, reasonOf(EINVAL));
        return false;
    }
    if (::unlinkat(dir.get(), leaf.constData(), 0) != 0) {
        setError(reason, reasonOf(errno));
        return false;
    }
    return true;
}

void ignoreFileSizeSignal()
{
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

namespace {

// The aside removal's primitives on a parent folder held open by descriptor.
class PosixAsideParent final : public AsideParent
{
public:
    explicit PosixAsideParent(int parent) : m_parent(parent) {}

    Kind kindOf(const QString &name) override
    {
        struct stat st;
        if (::fstatat(m_parent, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Kind::Missing;
        if (S_ISLNK(st.st_mode))
            return Kind::Link;
        return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
    }
    bool removeLink(const QString &name, QString *error) override
    {
        if (::unlinkat(m_parent, QFile::encodeName(name).constData(), 0) == 0)
            return true;
        setError(error, reasonOf(errno));
        return false;
    }
    bool renameAside(const QString &from, const QString &to, bool *taken, QString *error) override
    {
        // renameat would replace an empty folder of the new name: look first.
        *taken = kindOf(to) != Kind::Missing;
        if (*taken) {
            setError(error, reasonOf(EEXIST));
            return false;
        }
        if (::renameat(m_parent, QFile::encodeName(from).constData(), m_parent,
                       QFile::encodeName(to).constData()) == 0)
            return true;
        setError(error, reasonOf(errno));
        return false;
    }
    QStringList folderNames() override
    {
        QStringList names;
        for (const QByteArray &name : namesIn(m_parent)) {
            if (kindOf(QFile::decodeName(name)) == Kind::Folder)
                names.append(QFile::decodeName(name));
        }
        return names;
    }
    bool deleteTree(const QString &name) override
    {
        return FileOps::deleteTree(m_parent, QFile::encodeName(name));
    }

private:
    int m_parent;
};

} // namespace

bool removeTreeAside(const QString &path, QString *error)
{
    QByteArray leaf;
    Fd parent = openParent(path, &leaf);
    if (!parent.valid() || leaf.isEmpty()) {
        setError(error, reasonOf(parent.valid() ? EINVAL : errno));
        return false;
    }
    PosixAsideParent aside(parent.get());
    return removeAside(aside, QFile::decodeName(leaf), error);
}

PathKind pathKind(const QString &path)
{
    const QByteArray native =
        QFile::encodeName(path.endsWith(QLatin1Char('/')) && path.size() > 1 ? path.chopped(1) : path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
    if (S_ISLNK(st.st_mode))
        return PathKind::Link;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

bool removeTree(const QString &path, QString *error)
{
    QByteArray leaf;
    Fd parent = openParent(path, &leaf);
    struct stat st;
    if (!parent.valid() || leaf.isEmpty() ||
        ::fstatat(parent.get(), leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        setError(error, reasonOf(parent.valid() && !leaf.isEmpty() ? errno : EINVAL));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, reasonOf(ENOTDIR));
        return false;
    }
    if (!deleteTree(parent.get(), leaf)) {
        setError(error, QStringLiteral("could not delete everything below %1").arg(path));
        return false;
    }
    return true;
}

QString ansiOpenablePath(const QString &folder)
{
    return folder;
}

bool fitsAnsiCodePage(const QString &)
{
    return true;
}

} // namespace FileOps
