#pragma once

// Helpers the Win32 file code shares: long-path names, error texts, and
// opening things without following reparse points.

#include <QString>

#include <windows.h>

#include <string>

namespace WinFs {

// The wide \\?\ form of path, absolute, with backslashes: no MAX_PATH limit,
// and a name such as CON or NUL inside a folder is a plain name there, never
// the device. A path already in \\?\ or \\.\ form is only given backslashes.
std::wstring longPath(const QString &path);

// folder (a longPath) joined with one component.
std::wstring join(const std::wstring &folder, const std::wstring &name);

// True when name is a single component Windows programs can all use as it
// is: not empty, not "." or "..", no separator, drive or stream colon,
// wildcard or control character, no trailing dot or space, no device name
// (CON, NUL, COM1, ...).
bool validComponent(const std::wstring &name);

// The system's message for a Win32 error code.
QString errorText(DWORD code);

// Opens path without following a reparse point in its place. access and
// share as for CreateFileW; folders can be opened too.
HANDLE openNoFollow(const std::wstring &path, DWORD access, DWORD share);

// Attributes and link count of an opened file or folder.
bool infoOf(HANDLE h, BY_HANDLE_FILE_INFORMATION *info);

inline bool isReparse(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

inline bool isRealFolder(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isReparse(attributes);
}

// Removes the opened entry itself (a file, a link or junction, an empty
// folder) through its handle. A read-only attribute is cleared first only
// when the file has no other hard link, so a file linked from elsewhere keeps
// its attributes.
bool removeOpened(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info, DWORD *error);

// Removes path itself, never what a reparse point there leads to; a real
// folder must be empty. False with *error set.
bool removeEntry(const std::wstring &path, bool allowFolder, DWORD *error);

} // namespace WinFs
