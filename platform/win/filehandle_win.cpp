#include "platform/filehandle.h"
#include "platform/win/winfs_win.h"

#include <algorithm>
#include <climits>

namespace FileOps {

// The handle, and the long path it was opened by: names below a folder are
// reached through that path while the folder is held open, which keeps the
// path naming this very folder (it cannot be renamed or removed meanwhile).
struct Handle::Data
{
    HANDLE handle;
    std::wstring path;
};

namespace {

// Folders are held without FILE_SHARE_DELETE: nobody renames them under us.
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr qint64 kMaxIo = qint64(1) << 30;

Handle adopt(HANDLE h, const std::wstring &path)
{
    return h != INVALID_HANDLE_VALUE ? Handle(new Handle::Data{h, path}) : Handle();
}

void setError(QString *error, DWORD code)
{
    if (error)
        *error = WinFs::errorText(code);
}

bool isMissing(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool isExisting(DWORD code)
{
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

// The path of name below folder, or empty when name cannot be one component.
std::wstring below(const Handle &folder, const QByteArray &name)
{
    const std::wstring leaf = QString::fromUtf8(name).toStdWString();
    if (!folder.valid() || !WinFs::validComponent(leaf))
        return std::wstring();
    return WinFs::join(folder.data()->path, leaf);
}

// Windows hides by attribute, not by a leading dot: such names get the attribute too.
bool hiddenName(const QByteArray &name)
{
    return name.startsWith('.');
}

bool regularInfo(HANDLE h, RegularFileInfo *out)
{
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !WinFs::infoOf(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return false;
    out->size = (static_cast<qint64>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    const qint64 ticks = (static_cast<qint64>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                         info.ftLastWriteTime.dwLowDateTime; // 100 ns since 1601
    out->modifiedMs = (ticks - 116444736000000000LL) / 10000;
    out->fileId =
        QByteArray::number(static_cast<quint64>(info.dwVolumeSerialNumber), 16) + ':' +
        QByteArray::number((static_cast<quint64>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 16);
    out->changedNs = static_cast<qint64>(basic.ChangeTime.QuadPart) * 100;
    return true;
}

// Opens a folder and keeps it only when it is a real folder (not a reparse
// point, when noFollow says so).
Handle openFolderPath(const std::wstring &path, bool noFollow, Status *status, QString *error)
{
    HANDLE h = noFollow ? WinFs::openNoFollow(path, kFolderAccess, kFolderShare)
                        : ::CreateFileW(path.c_str(), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (status)
            *status = isMissing(err) ? Status::Missing : Status::Failed;
        setError(error, err);
        return Handle();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool folder = WinFs::infoOf(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        !(noFollow && WinFs::isLink(info.dwFileAttributes, WinFs::reparseTagOf(h)));
    if (!folder) {
        ::CloseHandle(h);
        if (status)
            *status = Status::Failed;
        setError(error, ERROR_DIRECTORY);
        return Handle();
    }
    if (status)
        *status = Status::Ok;
    return adopt(h, path);
}

} // namespace

bool Handle::release(Data *data, QString *error)
{
    const bool ok = ::CloseHandle(data->handle) != 0;
    const DWORD err = ::GetLastError();
    delete data;
    if (!ok)
        setError(error, err);
    return ok;
}

QByteArray nameBytes(const QString &name)
{
    return name.toUtf8();
}

QString nameString(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

Handle openForReading(const QString &path, QString *error)
{
    const std::wstring native = WinFs::longPath(path);
    HANDLE h =
        ::CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        setError(error, ::GetLastError());
    return adopt(h, native);
}

bool regularFileInfo(const Handle &file, RegularFileInfo *info)
{
    return file.valid() && regularInfo(file.data()->handle, info);
}

bool regularFileInfo(const QString &path, RegularFileInfo *info)
{
    HANDLE h = ::CreateFileW(WinFs::longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = regularInfo(h, info);
    ::CloseHandle(h);
    return ok;
}

qint64 readAt(const Handle &file, char *data, qint64 size, qint64 offset, QString *error)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xffffffff);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    if (!::ReadFile(file.data()->handle, data, static_cast<DWORD>(std::min(size, kMaxIo)), &n, &at)) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_HANDLE_EOF)
            return 0;
        setError(error, err);
        return -1;
    }
    return n;
}

bool writeAt(const Handle &file, const char *data, qint64 size, qint64 offset, QString *error)
{
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xffffffff);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        if (!::WriteFile(file.data()->handle, data, static_cast<DWORD>(std::min(size, kMaxIo)), &n, &at)) {
            setError(error, ::GetLastError());
            return false;
        }
        if (n == 0) {
            setError(error, ERROR_DISK_FULL);
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
    return openFolderPath(WinFs::longPath(path), noFollow, status, error);
}

Handle openFolderAt(const Handle &folder, const QByteArray &name, QString *error)
{
    const std::wstring path = below(folder, name);
    if (path.empty()) {
        setError(error, ERROR_INVALID_NAME);
        return Handle();
    }
    return openFolderPath(path, true, nullptr, error);
}

Status makeFolderAt(const Handle &folder, const QByteArray &name, QString *error)
{
    const std::wstring path = below(folder, name);
    if (path.empty()) {
        setError(error, ERROR_INVALID_NAME);
        return Status::Failed;
    }
    if (::CreateDirectoryW(path.c_str(), nullptr)) {
        if (hiddenName(name))
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
        return Status::Ok;
    }
    const DWORD err = ::GetLastError();
    if (isExisting(err))
        return Status::Exists;
    setError(error, err);
    return Status::Failed;
}

Handle createFileAt(const Handle &folder, const QByteArray &name, Status *status, QString *error)
{
    const std::wstring path = below(folder, name);
    if (path.empty()) {
        if (status)
            *status = Status::Failed;
        setError(error, ERROR_INVALID_NAME);
        return Handle();
    }
    // CREATE_NEW fails on anything in the name's place, a dangling link included.
    const DWORD attributes = hiddenName(name) ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (status)
            *status = isExisting(err) ? Status::Exists : Status::Failed;
        setError(error, err);
        return Handle();
    }
    if (status)
        *status = Status::Ok;
    return adopt(h, path);
}

Handle openSmallFileAt(const Handle &folder, const QByteArray &name, qint64 maxBytes, Status *status)
{
    *status = Status::Failed;
    const std::wstring path = below(folder, name);
    if (path.empty())
        return Handle();
    HANDLE h =
        WinFs::openNoFollow(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE) {
        if (isMissing(::GetLastError()))
            *status = Status::Missing;
        return Handle();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    RegularFileInfo regular;
    if (!WinFs::infoOf(h, &info) || WinFs::isLink(info.dwFileAttributes, WinFs::reparseTagOf(h)) ||
        !regularInfo(h, &regular) || regular.size > maxBytes) {
        ::CloseHandle(h);
        return Handle();
    }
    *status = Status::Ok;
    return adopt(h, path);
}

EntryType entryTypeAt(const Handle &folder, const QByteArray &name)
{
    const std::wstring path = below(folder, name);
    if (path.empty())
        return EntryType::Unknown;
    DWORD attributes = 0;
    DWORD tag = 0;
    DWORD err = 0;
    if (!WinFs::attributesOf(path, &attributes, &tag, &err))
        return isMissing(err) ? EntryType::Missing : EntryType::Unknown;
    return WinFs::isRealFolder(attributes, tag) ? EntryType::Folder : EntryType::Other;
}

bool removeFileAt(const Handle &folder, const QByteArray &name)
{
    const std::wstring path = below(folder, name);
    DWORD err = 0;
    return !path.empty() && WinFs::removeEntry(path, false, &err);
}

bool removeEmptyFolderAt(const Handle &folder, const QByteArray &name)
{
    const std::wstring path = below(folder, name);
    DWORD err = 0;
    return !path.empty() && WinFs::removeEntry(path, true, &err);
}

bool renameAt(const Handle &folder, const QByteArray &from, const QByteArray &to, QString *error)
{
    const std::wstring source = below(folder, from);
    const std::wstring target = below(folder, to);
    if (source.empty() || target.empty()) {
        setError(error, ERROR_INVALID_NAME);
        return false;
    }
    // A folder renamed to a hidden name is hidden, one renamed into place is shown.
    DWORD err = 0;
    if (WinFs::renameEntry(source, target, hiddenName(to), &err))
        return true;
    setError(error, err);
    return false;
}

qint64 freeSpace(const Handle &folder)
{
    ULARGE_INTEGER available{};
    if (!folder.valid() ||
        !::GetDiskFreeSpaceExW(WinFs::join(folder.data()->path, L"").c_str(), &available, nullptr, nullptr))
        return -1;
    return static_cast<qint64>(std::min<unsigned long long>(available.QuadPart, LLONG_MAX));
}

QByteArray legacyZipNameCharset()
{
    return "CP" + QByteArray::number(static_cast<uint>(::GetOEMCP()));
}

Utf8NamesOnThisThread::Utf8NamesOnThisThread() = default;
Utf8NamesOnThisThread::~Utf8NamesOnThisThread() = default;

} // namespace FileOps
