#include "platform/fileops.h"

#include "platform/asideremoval.h"
#include "platform/win/winfs_win.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <io.h>
#include <memory>
#include <vector>

namespace FileOps {

namespace {

// A folder held open while work is done inside it. Other processes may read
// and write in it but cannot rename or delete it meanwhile, so its path keeps
// naming this folder.
class HeldFolder final
{
public:
    explicit HeldFolder(const std::wstring &path)
        : m_handle(WinFs::openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE))
    {
        m_error = m_handle == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
        BY_HANDLE_FILE_INFORMATION info{};
        if (m_error == ERROR_SUCCESS &&
            (!WinFs::infoOf(m_handle, &info) ||
             !WinFs::isRealFolder(info.dwFileAttributes, WinFs::reparseTagOf(m_handle)))) {
            m_error = ERROR_DIRECTORY; // a link, a junction or a file
            close();
        }
    }
    ~HeldFolder() { close(); }
    HeldFolder(const HeldFolder &) = delete;
    HeldFolder &operator=(const HeldFolder &) = delete;

    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    DWORD error() const { return m_error; }
    void close()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
    DWORD m_error;
};

struct RawEntry
{
    std::wstring name;
    DWORD attributes;
    DWORD reparseTag; // 0 unless a reparse point
    qint64 size;

    bool isLink() const { return WinFs::isLink(attributes, reparseTag); }
    bool isRealFolder() const { return WinFs::isRealFolder(attributes, reparseTag); }
};

// The entries of an (opened) folder, without "." and "..".
std::vector<RawEntry> entriesOf(const std::wstring &folder)
{
    std::vector<RawEntry> entries;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(WinFs::join(folder, L"*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const std::wstring name(data.cFileName);
        if (name == L"." || name == L"..")
            continue;
        const DWORD tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
        entries.push_back(RawEntry{name, data.dwFileAttributes, tag,
                                   (static_cast<qint64>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return entries;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Opens path for its attributes, following links, as a plain file or a folder.
HANDLE openFollowing(const std::wstring &path, DWORD access)
{
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Deletes the real folder path and everything below it. Links and junctions
// below are removed as themselves. Each folder is held open while its entries
// go, so none can be swapped for a link half-way; no recursion, so depth is
// limited only by the path length.
bool deleteTree(const std::wstring &top)
{
    struct Level
    {
        std::wstring path;
        std::unique_ptr<HeldFolder> held;
        bool expanded = false;
    };
    std::vector<Level> stack;
    stack.push_back(Level{top, nullptr, false});
    bool ok = true;
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.expanded) {
            level.held.reset(); // released so that it can go
            DWORD err = 0;
            if (!WinFs::removeEntry(level.path, true, &err))
                ok = false;
            stack.pop_back();
            continue;
        }
        level.expanded = true;
        level.held.reset(new HeldFolder(level.path));
        if (!level.held->valid()) {
            ok = false;
            stack.pop_back();
            continue;
        }
        std::vector<std::wstring> folders;
        for (const RawEntry &e : entriesOf(level.path)) {
            const std::wstring path = WinFs::join(level.path, e.name);
            if (e.isRealFolder()) {
                folders.push_back(path);
                continue;
            }
            DWORD err = 0;
            if (!WinFs::removeEntry(path, false, &err))
                ok = false;
        }
        for (const std::wstring &path : folders)
            stack.push_back(Level{path, nullptr, false}); // `level` is not used past this point
    }
    return ok;
}

} // namespace

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    // Append-only access writes every block at the end; shared as QFile shares.
    HANDLE h =
        ::CreateFileW(WinFs::longPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    bool complete = true;
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(qMin<qint64>(left, qint64(1) << 30));
        if (!::WriteFile(h, data, chunk, &written, nullptr) || written == 0) {
            complete = false;
            break;
        }
        data += written;
        left -= written;
    }
    ::CloseHandle(h);
    return complete;
}

bool isRegularFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    HANDLE h = openFollowing(WinFs::longPath(path), FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = ::GetFileType(h) == FILE_TYPE_DISK && WinFs::infoOf(h, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    ::CloseHandle(h);
    return regular;
}

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    // Opening a device or pipe name never waits; the type is checked on what was opened.
    HANDLE h = ::CreateFileW(WinFs::longPath(path).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        setError(error, WinFs::errorText(::GetLastError()));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !WinFs::infoOf(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        ::CloseHandle(h);
        setError(error, folder ? QStringLiteral("Is a directory") : QStringLiteral("Not a regular file"));
        return false;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        setError(error, QStringLiteral("Cannot open %1").arg(path));
        return false;
    }
    file.setFileName(path);
    if (!file.open(fd, mode | QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::_close(fd);
        setError(error, file.errorString());
        return false;
    }
    return true;
}

FolderState prepareFolder(const QString &path, QString *error)
{
    const std::wstring native = WinFs::longPath(path);
    DWORD attributes = 0;
    DWORD tag = 0;
    DWORD err = 0;
    if (WinFs::attributesOf(native, &attributes, &tag, &err)) {
        if (WinFs::isRealFolder(attributes, tag))
            return FolderState::Existed;
        if (WinFs::isLink(attributes, tag) && !WinFs::removeEntry(native, false, &err)) {
            setError(error, WinFs::errorText(err));
            return FolderState::Failed;
        }
    }
    if (!::CreateDirectoryW(native.c_str(), nullptr)) {
        setError(error, WinFs::errorText(::GetLastError()));
        return FolderState::Failed;
    }
    return FolderState::Created;
}

QVector<FolderEntry> listFolder(const QString &folder)
{
    QVector<FolderEntry> entries;
    const std::wstring native = WinFs::longPath(folder);
    const HeldFolder held(native);
    if (!held.valid())
        return entries;
    for (const RawEntry &raw : entriesOf(native)) {
        FolderEntry e;
        e.name = QString::fromStdWString(raw.name);
        e.isLink = raw.isLink();
        e.isDir = raw.isRealFolder();
        e.isFile = !e.isLink && (raw.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        e.size = raw.size;
        entries.append(e);
    }
    sortFolderEntries(entries);
    return entries;
}

bool removeFolderEntry(const QString &folder, const QString &name, QString *reason)
{
    const std::wstring native = WinFs::longPath(folder);
    const HeldFolder held(native);
    if (!held.valid()) {
        setError(reason, WinFs::errorText(held.error()));
        return false;
    }
    const std::wstring leaf = name.toStdWString();
    if (!WinFs::validComponent(leaf)) {
        setError(reason, WinFs::errorText(ERROR_INVALID_NAME));
        return false;
    }
    DWORD err = 0;
    if (!WinFs::removeEntry(WinFs::join(native, leaf), false, &err)) {
        setError(reason, WinFs::errorText(err));
        return false;
    }
    return true;
}

void ignoreFileSizeSignal()
{
    // Windows has no file-size signal: a write past a quota fails on its own.
}

namespace {

// The aside removal's primitives on a parent folder held open (so it cannot be
// renamed or removed meanwhile). Folders moved aside get the hidden attribute.
class WinAsideParent final : public AsideParent
{
public:
    explicit WinAsideParent(std::wstring parent) : m_parent(std::move(parent)) {}

    Kind kindOf(const QString &name) override
    {
        DWORD attributes = 0;
        DWORD tag = 0;
        DWORD err = 0;
        if (!WinFs::attributesOf(path(name), &attributes, &tag, &err))
            return Kind::Missing;
        if (WinFs::isLink(attributes, tag))
            return Kind::Link;
        return WinFs::isRealFolder(attributes, tag) ? Kind::Folder : Kind::Other;
    }
    bool removeLink(const QString &name, QString *error) override
    {
        DWORD err = 0;
        if (WinFs::removeEntry(path(name), false, &err))
            return true;
        setError(error, WinFs::errorText(err));
        return false;
    }
    bool renameAside(const QString &from, const QString &to, bool *taken, QString *error) override
    {
        DWORD err = 0;
        if (WinFs::renameEntry(path(from), path(to), true, &err)) // hidden while it is deleted
            return true;
        *taken = err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS;
        setError(error, WinFs::errorText(err));
        return false;
    }
    QStringList folderNames() override
    {
        QStringList names;
        for (const RawEntry &e : entriesOf(m_parent)) {
            if (e.isRealFolder())
                names.append(QString::fromStdWString(e.name));
        }
        return names;
    }
    bool deleteTree(const QString &name) override { return FileOps::deleteTree(path(name)); }

private:
    std::wstring path(const QString &name) const { return WinFs::join(m_parent, name.toStdWString()); }

    std::wstring m_parent;
};

} // namespace

bool removeTreeAside(const QString &path, QString *error)
{
    const QFileInfo info(path.endsWith(QLatin1Char('/')) && path.size() > 1 ? path.chopped(1) : path);
    const QString leafName = info.fileName();
    if (leafName.isEmpty()) {
        setError(error, WinFs::errorText(ERROR_INVALID_NAME));
        return false;
    }
    const std::wstring parent = WinFs::longPath(info.absolutePath());
    const HeldFolder held(parent);
    if (!held.valid()) {
        setError(error, WinFs::errorText(held.error()));
        return false;
    }
    WinAsideParent aside(parent);
    return removeAside(aside, leafName, error);
}

PathKind pathKind(const QString &path)
{
    const QString clean = path.endsWith(QLatin1Char('/')) && path.size() > 1 ? path.chopped(1) : path;
    DWORD attributes = 0;
    DWORD tag = 0;
    DWORD err = 0;
    if (!WinFs::attributesOf(WinFs::longPath(clean), &attributes, &tag, &err)) // of a link itself
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                          : PathKind::Unknown;
    if (WinFs::isLink(attributes, tag))
        return PathKind::Link;
    return WinFs::isRealFolder(attributes, tag) ? PathKind::Folder : PathKind::File;
}

bool removeTree(const QString &path, QString *error)
{
    const QString clean = path.endsWith(QLatin1Char('/')) && path.size() > 1 ? path.chopped(1) : path;
    const std::wstring native = WinFs::longPath(clean);
    DWORD attributes = 0;
    DWORD tag = 0;
    DWORD err = 0;
    if (!WinFs::attributesOf(native, &attributes, &tag, &err) || !WinFs::isRealFolder(attributes, tag)) {
        setError(error, WinFs::errorText(err != 0 ? err : DWORD(ERROR_DIRECTORY)));
        return false;
    }
    if (!deleteTree(native)) {
        setError(error, QStringLiteral("could not delete everything below %1").arg(path));
        return false;
    }
    return true;
}

QString ansiOpenablePath(const QString &folder)
{
    if (WinFs::fitsAnsiCodePage(folder.toStdWString()))
        return folder;
    // The short name is looked up for the folder itself: backslashes, no
    // trailing separator (given back as it came).
    QString native = QDir::toNativeSeparators(folder);
    const bool trailing = native.size() > 3 && native.endsWith(QLatin1Char('\\'));
    if (trailing)
        native.chop(1);
    const std::wstring shortPath = WinFs::ansiOpenablePath(native.toStdWString());
    if (shortPath.empty())
        return QString();
    return QString::fromStdWString(shortPath) + (trailing ? QString(folder.back()) : QString());
}

bool fitsAnsiCodePage(const QString &text)
{
    return WinFs::fitsAnsiCodePage(text.toStdWString());
}

} // namespace FileOps
