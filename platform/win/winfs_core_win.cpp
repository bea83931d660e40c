#include "platform/win/winfs_core_win.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace WinFs {

namespace {

constexpr DWORD kFolderNotSupported = 336; // ERROR_DIRECTORY_NOT_SUPPORTED, not in every header set
constexpr DWORD kSymlinkTag = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK

// FileDispositionInfoEx and its flags, absent from the Windows 7 headers.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;

struct Fault
{
    DWORD error = 0;
    int times = 0;
    std::wstring pathEnd;
};

std::mutex faultLock;
Fault faults[3];
std::atomic<void (*)(DWORD)> pauseHook{nullptr};
std::atomic<void (*)(const std::wstring &)> debugSink{nullptr};

bool takeFault(Op op, const std::wstring &path, DWORD *error)
{
    const std::lock_guard<std::mutex> lock(faultLock);
    Fault &fault = faults[static_cast<int>(op)];
    const std::wstring &end = fault.pathEnd;
    if (fault.times == 0 ||
        (path.size() < end.size() || path.compare(path.size() - end.size(), end.size(), end) != 0))
        return false;
    if (fault.times > 0)
        --fault.times;
    *error = fault.error;
    return true;
}

void debugLine(const std::wstring &line)
{
    if (auto sink = debugSink.load())
        sink(line);
    else
        ::OutputDebugStringW(line.c_str());
}

const wchar_t *opName(Op op)
{
    switch (op) {
    case Op::Rename:
        return L"rename";
    case Op::Delete:
        return L"delete";
    case Op::Copy:
        break;
    }
    return L"copy";
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

DWORD reparseTagOf(HANDLE h)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag))
        return kSymlinkTag; // unknown: taken for a link, which is never followed
    return tag.ReparseTag;
}

bool attributesOf(const std::wstring &path, DWORD *attributes, DWORD *reparseTag, DWORD *error)
{
    *attributes = ::GetFileAttributesW(path.c_str()); // of a link itself, not its target
    *reparseTag = 0;
    if (*attributes == INVALID_FILE_ATTRIBUTES) {
        *error = ::GetLastError();
        return false;
    }
    if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    // The folder listing carries the tag without opening the entry.
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
        ::FindClose(find);
        *reparseTag = data.dwReserved0;
        return true;
    }
    HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    *reparseTag = h == INVALID_HANDLE_VALUE ? kSymlinkTag : reparseTagOf(h);
    if (h != INVALID_HANDLE_VALUE)
        ::CloseHandle(h);
    return true;
}

HANDLE openNoFollow(const std::wstring &path, DWORD access, DWORD share)
{
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                             flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION first{};
    if (h == INVALID_HANDLE_VALUE || !infoOf(h, &first) ||
        (first.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || isLinkTag(reparseTagOf(h)))
        return h;
    // A placeholder or compressed file: opened through its filter, as the
    // file itself, and kept only when it is still the entry just looked at.
    ::CloseHandle(h);
    h = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    BY_HANDLE_FILE_INFORMATION second{};
    if (h != INVALID_HANDLE_VALUE && (!infoOf(h, &second) || !sameFile(first, second))) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool infoOf(HANDLE h, BY_HANDLE_FILE_INFORMATION *info)
{
    return ::GetFileInformationByHandle(h, info) != 0;
}

bool markDeleted(HANDLE h, DWORD attributes, DWORD *error)
{
    ULONG flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
    if (::SetFileInformationByHandle(h, kDispositionInfoEx, &flags, sizeof flags))
        return true;
    const DWORD err = ::GetLastError();
    // Older systems and other file systems (FAT, some shares) refuse the
    // request itself; any other error is the deletion's own.
    if (err != ERROR_INVALID_PARAMETER && err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED) {
        *error = err;
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic)) {
            *error = ::GetLastError();
            return false;
        }
    }
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose)) {
        *error = ::GetLastError();
        return false;
    }
    return true;
}

bool removeOpened(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info, DWORD *error)
{
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 && info.nNumberOfLinks != 1) {
        // Removing it would clear or ignore an attribute the other names share.
        *error = ERROR_FILE_READ_ONLY;
        return false;
    }
    return markDeleted(h, info.dwFileAttributes, error);
}

bool removeEntry(const std::wstring &path, bool allowFolder, DWORD *error)
{
    return retrying(
        Op::Delete, path,
        [&](DWORD *err) {
            HANDLE h = openNoFollow(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            if (h == INVALID_HANDLE_VALUE) {
                *err = ::GetLastError();
                return false;
            }
            BY_HANDLE_FILE_INFORMATION info{};
            bool ok = infoOf(h, &info);
            if (!ok)
                *err = ::GetLastError();
            else if (isRealFolder(info.dwFileAttributes, reparseTagOf(h)) && !allowFolder) {
                *err = kFolderNotSupported;
                ok = false;
            } else {
                ok = removeOpened(h, info, err);
            }
            ::CloseHandle(h); // with the classic disposition, the entry goes when its last handle closes
            return ok;
        },
        error);
}

bool renameEntry(const std::wstring &from, const std::wstring &to, bool hidden, DWORD *error)
{
    const bool moved = retrying(
        Op::Rename, from,
        [&](DWORD *err) {
            if (::MoveFileExW(from.c_str(), to.c_str(), 0)) // never replaces
                return true;
            *err = ::GetLastError();
            return false;
        },
        error);
    DWORD attributes = 0;
    DWORD tag = 0;
    DWORD ignored = 0;
    if (!moved || !attributesOf(to, &attributes, &tag, &ignored) || isLink(attributes, tag))
        return moved;
    const DWORD wanted = hidden ? attributes | FILE_ATTRIBUTE_HIDDEN : attributes & ~FILE_ATTRIBUTE_HIDDEN;
    if (wanted != attributes)
        ::SetFileAttributesW(to.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
    return true;
}

bool fitsAnsiCodePage(const std::wstring &text)
{
    if (text.empty() || ::GetACP() == CP_UTF8) // every character fits UTF-8
        return true;
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(),
                                        static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
    return n > 0 && !usedDefault;
}

std::wstring ansiOpenablePath(const std::wstring &path)
{
    if (fitsAnsiCodePage(path))
        return path;
    const DWORD n = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    std::wstring shortPath(n, L'\0');
    if (n == 0 || ::GetShortPathNameW(path.c_str(), &shortPath[0], n) != n - 1)
        return std::wstring();
    shortPath.resize(n - 1);
    return fitsAnsiCodePage(shortPath) ? shortPath : std::wstring();
}

bool isTransient(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY;
}

bool retrying(Op op, const std::wstring &what, const std::function<bool(DWORD *)> &attempt, DWORD *error)
{
    DWORD paused = 0;
    DWORD pause = 5;
    int repeats = 0;
    for (;;) {
        DWORD err = ERROR_SUCCESS;
        bool ok = !takeFault(op, what, &err) && attempt(&err);
        // A deletion refused while another one was pending, that then finds
        // the name gone, has what it wanted.
        if (!ok && op == Op::Delete && repeats > 0 &&
            (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND))
            ok = true;
        const bool last = ok || !isTransient(err) || paused + pause > kRetryBudgetMs;
        if (last && repeats > 0)
            debugLine(std::wstring(opName(op)) + L" of " + what + L" was refused (error " +
                      std::to_wstring(err) + L") and repeated " + std::to_wstring(repeats) + L" times over " +
                      std::to_wstring(paused) + (ok ? L" ms: done" : L" ms: gave up"));
        if (ok)
            return true;
        if (last) {
            *error = err;
            return false;
        }
        if (auto hook = pauseHook.load())
            hook(pause);
        else
            ::Sleep(pause);
        paused += pause;
        pause = std::min<DWORD>(pause * 2, 500);
        ++repeats;
    }
}

void failNext(Op op, DWORD error, int times, const std::wstring &pathEnd)
{
    const std::lock_guard<std::mutex> lock(faultLock);
    faults[static_cast<int>(op)] = Fault{error, times, pathEnd};
}

void clearFaults()
{
    const std::lock_guard<std::mutex> lock(faultLock);
    for (Fault &fault : faults)
        fault = Fault{};
}

void setPause(void (*pause)(DWORD ms))
{
    pauseHook = pause;
}

void setDebugSink(void (*sink)(const std::wstring &line))
{
    debugSink = sink;
}

} // namespace WinFs
