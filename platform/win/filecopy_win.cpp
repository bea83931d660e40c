#include "platform/filecopy.h"

#include "platform/win/winfs_win.h"

namespace FileCopy {

namespace {

void setError(QString *errorText, const QString &text)
{
    if (errorText)
        *errorText = text;
}

// True when source opens as a regular file on a disk: a device name, a pipe
// or a folder is refused before the copy starts.
bool isRegularSource(const std::wstring &source, DWORD *error, bool *folder)
{
    HANDLE h =
        ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = ::GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = ::GetFileType(h) == FILE_TYPE_DISK && WinFs::infoOf(h, &info);
    *folder = disk && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ::CloseHandle(h);
    *error = *folder ? ERROR_DIRECTORY : ERROR_INVALID_FUNCTION;
    return disk && !*folder;
}

// The system copies (CopyFileExW: sparse and compressed files, no extra pass
// through this process); fail-if-exists keeps anything in the destination's
// place, a link included, untouched.
bool copyImpl(const QString &source, const std::wstring &target, const QString &shown, QString *errorText,
              QFileDevice::Permissions permissions)
{
    const std::wstring from = WinFs::longPath(source);
    DWORD err = 0;
    bool folder = false;
    if (!isRegularSource(from, &err, &folder)) {
        setError(errorText,
                 QStringLiteral("Cannot open %1 for input: %2")
                     .arg(source, folder ? QStringLiteral("Is a directory") : WinFs::errorText(err)));
        return false;
    }
    // Retried while another program (a scanner) holds the source for a moment;
    // what a failed attempt left is removed before the next one.
    const bool copied = WinFs::retrying(
        WinFs::Op::Copy, from,
        [&](DWORD *attemptError) {
            if (::CopyFileExW(from.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                              COPY_FILE_FAIL_IF_EXISTS))
                return true;
            *attemptError = ::GetLastError();
            if (*attemptError != ERROR_FILE_EXISTS && *attemptError != ERROR_ALREADY_EXISTS) {
                DWORD ignored = 0;
                WinFs::removeEntry(target, false, &ignored);
            }
            return false;
        },
        &err);
    if (!copied) {
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) {
            setError(errorText, QStringLiteral("Destination file exists"));
            return false;
        }
        setError(errorText,
                 QStringLiteral("Cannot copy %1 to %2: %3").arg(source, shown, WinFs::errorText(err)));
        return false;
    }
    // The copy takes the source's attributes; the staged file gets its own:
    // read-only exactly when no write permission was asked for.
    const bool writable = permissions & (QFileDevice::WriteOwner | QFileDevice::WriteUser);
    if (!::SetFileAttributesW(target.c_str(), writable ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY)) {
        err = ::GetLastError();
        DWORD ignored = 0;
        WinFs::removeEntry(target, false, &ignored);
        setError(errorText,
                 QStringLiteral("Cannot set permissions of %1: %2").arg(shown, WinFs::errorText(err)));
        return false;
    }
    return true;
}

} // namespace

bool copyFile(const QString &source, const QString &destination, QString *errorText,
              QFileDevice::Permissions permissions)
{
    return copyImpl(source, WinFs::longPath(destination), destination, errorText, permissions);
}

bool copyFileUsing(Method method, const QString &source, const QString &destination, QString *errorText,
                   QFileDevice::Permissions permissions)
{
    Q_UNUSED(method) // one way on Windows: the system's copy
    return copyImpl(source, WinFs::longPath(destination), destination, errorText, permissions);
}

bool copyFileInto(const QString &source, const QString &folder, const QString &name, QString *errorText,
                  QFileDevice::Permissions permissions)
{
    const QString shown = folder + QLatin1Char('/') + name;
    const std::wstring native = WinFs::longPath(folder);
    // Held open while the file is made in it: a real folder, which cannot be
    // renamed or swapped for a link or junction meanwhile.
    HANDLE held = WinFs::openNoFollow(native, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE);
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD err = held == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (err == ERROR_SUCCESS && (!WinFs::infoOf(held, &info) ||
                                 !WinFs::isRealFolder(info.dwFileAttributes, WinFs::reparseTagOf(held))))
        err = ERROR_DIRECTORY;
    const std::wstring leaf = name.toStdWString();
    if (err == ERROR_SUCCESS && !WinFs::validComponent(leaf))
        err = ERROR_INVALID_NAME;
    bool ok = false;
    if (err != ERROR_SUCCESS)
        setError(errorText,
                 QStringLiteral("Cannot create %1 for output: %2").arg(shown, WinFs::errorText(err)));
    else
        ok = copyImpl(source, WinFs::join(native, leaf), shown, errorText, permissions);
    if (held != INVALID_HANDLE_VALUE)
        ::CloseHandle(held);
    return ok;
}

} // namespace FileCopy
