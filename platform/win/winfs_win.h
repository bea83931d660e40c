#pragma once

// Helpers the Win32 file code shares: long-path names and error texts, with
// the Qt-free part (winfs_core_win.h).

#include "platform/win/winfs_core_win.h"

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

// The system's message for a Win32 error code, taken as wide text so that any
// language's characters arrive; in the given language (0: the user's).
QString errorText(DWORD code, DWORD language = 0);

} // namespace WinFs
