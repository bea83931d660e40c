#pragma once

// The Qt-free part of the Win32 file code: opening without following links,
// classifying reparse points, removing, renaming and copying with retries
// while other programs (antivirus, indexer, Explorer) hold a file for a
// moment, and the test seam that makes those calls fail on purpose.

#include <windows.h>

#include <functional>
#include <string>

namespace WinFs {

// Only name surrogates (symbolic links, junctions, mount points) lead
// elsewhere. Other reparse points (cloud placeholders, compressed and
// deduplicated files) are the file or folder itself.
inline bool isLinkTag(DWORD reparseTag)
{
    return (reparseTag & 0x20000000u) != 0; // IsReparseTagNameSurrogate
}

inline bool isLink(DWORD attributes, DWORD reparseTag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLinkTag(reparseTag);
}

inline bool isRealFolder(DWORD attributes, DWORD reparseTag)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isLink(attributes, reparseTag);
}

// The reparse tag of an opened entry; 0 when it is no reparse point.
DWORD reparseTagOf(HANDLE h);

// Attributes and reparse tag of path itself (a link is not followed), without
// opening it: a cloud placeholder is not downloaded for this.
bool attributesOf(const std::wstring &path, DWORD *attributes, DWORD *reparseTag, DWORD *error);

// Opens path without following a link in its place. access and share as for
// CreateFileW; folders can be opened too. A reparse point that is no link is
// opened as the file or folder it stands for.
HANDLE openNoFollow(const std::wstring &path, DWORD access, DWORD share);

// Attributes and link count of an opened file or folder.
bool infoOf(HANDLE h, BY_HANDLE_FILE_INFORMATION *info);

// Marks the opened entry for deletion: with POSIX semantics where Windows has
// them (10 1607 and later: the name goes at once, even while others still
// have the file open, and a read-only attribute is ignored), else the
// classic way (the name stays until the last handle closes; a read-only
// attribute, as attributes says, is cleared first).
bool markDeleted(HANDLE h, DWORD attributes, DWORD *error);

// Removes the opened entry itself (a file, a link or junction, an empty
// folder) through its handle. A read-only file with another hard link is
// refused (ERROR_FILE_READ_ONLY), so a file linked from elsewhere keeps its
// attributes.
bool removeOpened(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info, DWORD *error);

// Removes path itself, never what a link there leads to; a real folder must
// be empty. Retried while others hold it. False with *error set.
bool removeEntry(const std::wstring &path, bool allowFolder, DWORD *error);

// Renames from to to, never replacing anything at to, retried while others
// hold it. The entry is given the hidden attribute when hidden is set and
// loses it otherwise (a link keeps its attributes).
bool renameEntry(const std::wstring &from, const std::wstring &to, bool hidden, DWORD *error);

// Whether text reaches a program that reads its arguments in the ANSI code
// page (a console tool's narrow argv) unchanged.
bool fitsAnsiCodePage(const std::wstring &text);

// path as such a program can open it: path itself, or its short (8.3) form
// when a character does not fit; empty when neither does (no short names on
// that volume): then the folder must be renamed.
std::wstring ansiOpenablePath(const std::wstring &path);

// The operations retried while other programs hold their files.
enum class Op { Rename, Delete, Copy };

// Errors that another program's open handle causes for a moment.
bool isTransient(DWORD error);

// Runs attempt until it succeeds, fails with an error that is not transient,
// or the pauses between attempts (5 ms, doubling, at most 500 ms each) would
// pass about three seconds in all. what names the entry in the debug line
// written when an attempt had to be repeated.
bool retrying(Op op, const std::wstring &what, const std::function<bool(DWORD *)> &attempt, DWORD *error);

// The longest time retrying pauses in all, in ms.
constexpr DWORD kRetryBudgetMs = 3000;

// Test seam. The next `times` attempts of op (every one when times < 0) on a
// path that ends with pathEnd (any path when it is empty) fail with error
// before the system is asked.
void failNext(Op op, DWORD error, int times, const std::wstring &pathEnd = std::wstring());
void clearFaults();
// Replaces the pause between attempts (nullptr: the real Sleep).
void setPause(void (*pause)(DWORD ms));
// Where the debug lines go (nullptr: OutputDebugStringW).
void setDebugSink(void (*sink)(const std::wstring &line));

} // namespace WinFs
