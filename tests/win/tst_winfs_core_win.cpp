// The Qt-free Win32 file code under wine: which reparse points are links, retries while
// another program holds a file (real holds, and the fault seam for what wine cannot show),
// the hidden attribute of renamed folders and deletion with POSIX semantics.

#include "platform/win/winfs_core_win.h"
#include "wintest.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<DWORD> pauses;
std::vector<std::wstring> debugLines;

void recordPause(DWORD ms)
{
    pauses.push_back(ms);
}

void recordDebug(const std::wstring &line)
{
    debugLines.push_back(line);
}

std::wstring scratch(const wchar_t *name)
{
    wchar_t folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + L"quor-winfs-" + name;
}

void makeFile(const std::wstring &path)
{
    HANDLE h =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    ::WriteFile(h, "image", 5, &n, nullptr);
    ::CloseHandle(h);
}

bool exists(const std::wstring &path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void reset()
{
    WinFs::clearFaults();
    WinFs::setPause(&recordPause);
    WinFs::setDebugSink(&recordDebug);
    pauses.clear();
    debugLines.clear();
}

DWORD sum(const std::vector<DWORD> &values)
{
    DWORD total = 0;
    for (DWORD v : values)
        total += v;
    return total;
}

// Only name surrogates lead elsewhere; placeholders, compressed and deduplicated entries are
// the files and folders themselves, and a tag means nothing without the reparse attribute.
void reparseTags()
{
    struct Row
    {
        const char *name;
        DWORD tag;
        bool link;
    };
    const Row rows[] = {
        {"symbolic link", 0xA000000C, true},
        {"junction", 0xA0000003, true},
        {"WSL symbolic link", 0xA000001D, true},
        {"OneDrive placeholder", 0x9000601A, false},
        {"cloud root", 0x9000001A, false},
        {"WOF compressed", 0x80000017, false},
        {"deduplicated", 0x80000013, false},
        {"app execution alias", 0x8000001B, false},
        {"HSM", 0xC0000004, false},
        {"Unix socket", 0x80000023, false},
    };
    const DWORD reparseFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    for (const Row &row : rows) {
        WCHECK_MSG(WinFs::isLink(FILE_ATTRIBUTE_REPARSE_POINT, row.tag) == row.link, row.name);
        WCHECK_MSG(WinFs::isRealFolder(reparseFolder, row.tag) == !row.link, row.name);
        WCHECK_MSG(!WinFs::isLink(FILE_ATTRIBUTE_ARCHIVE, row.tag), row.name);
        WCHECK_MSG(WinFs::isRealFolder(FILE_ATTRIBUTE_DIRECTORY, row.tag), row.name);
    }
}

// Refusals that another program's handle causes are repeated with growing pauses and a debug
// line; the seam's three failures end in success, a lasting one gives up after the budget, and
// an error no other program causes is not repeated.
void retriesThroughSeam()
{
    struct Row
    {
        const char *name;
        WinFs::Op op;
        DWORD error;
        int times;
        bool ok;
        size_t repeats;
    };
    const Row rows[] = {
        {"rename held 3 times", WinFs::Op::Rename, ERROR_SHARING_VIOLATION, 3, true, 3},
        {"delete held 3 times", WinFs::Op::Delete, ERROR_ACCESS_DENIED, 3, true, 3},
        {"folder not empty yet", WinFs::Op::Delete, ERROR_DIR_NOT_EMPTY, 1, true, 1},
        {"rename held for good", WinFs::Op::Rename, ERROR_ACCESS_DENIED, -1, false, 11},
        {"delete held for good", WinFs::Op::Delete, ERROR_SHARING_VIOLATION, -1, false, 11},
        {"not a passing error", WinFs::Op::Rename, ERROR_WRITE_PROTECT, -1, false, 0},
    };
    const std::wstring file = scratch(L"seam.img");
    const std::wstring moved = scratch(L"seam-moved.img");
    for (const Row &row : rows) {
        reset();
        ::DeleteFileW(moved.c_str());
        makeFile(file);
        WinFs::failNext(row.op, row.error, row.times);
        DWORD error = 0;
        const bool ok = row.op == WinFs::Op::Rename ? WinFs::renameEntry(file, moved, false, &error)
                                                    : WinFs::removeEntry(file, false, &error);
        WCHECK_MSG(ok == row.ok && (ok || error == row.error), row.name);
        WCHECK_MSG(exists(file) == !row.ok && exists(moved) == (row.ok && row.op == WinFs::Op::Rename),
                   row.name);
        WCHECK_MSG(pauses.size() == row.repeats, row.name + (" " + std::to_string(pauses.size())));
        WCHECK_MSG(sum(pauses) <= WinFs::kRetryBudgetMs, row.name);
        if (row.repeats >= 3 && pauses.size() >= 3)
            WCHECK_MSG(pauses[0] == 5 && pauses[1] == 10 && pauses[2] == 20, row.name);
        WCHECK_MSG(debugLines.size() == (row.repeats > 0 ? 1u : 0u), row.name);
        if (!debugLines.empty()) {
            const std::wstring end = row.ok ? L" ms: done" : L" ms: gave up";
            const std::wstring &line = debugLines[0];
            WCHECK_MSG(line.find(L"repeated " + std::to_wstring(row.repeats) + L" times") !=
                               std::wstring::npos &&
                           line.compare(line.size() - end.size(), end.size(), end) == 0,
                       row.name);
        }
        ::DeleteFileW(file.c_str());
        ::DeleteFileW(moved.c_str());
    }
    WinFs::clearFaults();
}

// Under wine too: a file that another handle holds without delete sharing cannot be renamed
// or deleted until that handle closes 150 ms later; both wait for it with real pauses.
void waitsForRealHolder()
{
    const std::wstring file = scratch(L"held.img");
    const std::wstring moved = scratch(L"held-moved.img");
    for (const bool rename : {true, false}) {
        reset();
        WinFs::setPause(nullptr);
        ::DeleteFileW(moved.c_str());
        makeFile(file);
        HANDLE holder =
            ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        WCHECK(holder != INVALID_HANDLE_VALUE);
        std::thread release([holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            ::CloseHandle(holder);
        });
        DWORD error = 0;
        const bool ok =
            rename ? WinFs::renameEntry(file, moved, false, &error) : WinFs::removeEntry(file, false, &error);
        release.join();
        WCHECK_MSG(ok, std::to_string(error));
        WCHECK(!exists(file) && exists(moved) == rename);
        WCHECK_MSG(debugLines.size() == 1 && debugLines[0].find(rename ? L"rename of " : L"delete of ") == 0,
                   rename ? "rename" : "delete");
        ::DeleteFileW(moved.c_str());
    }
    WinFs::setPause(&recordPause);
}

// A folder renamed to a hidden name gets the attribute and loses it when renamed back (the
// wine prefix shows dot files, so only the attribute hides).
void hiddenOnRename()
{
    reset();
    const std::wstring folder = scratch(L"shown");
    const std::wstring hidden = scratch(L".shown.removing-1");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    DWORD error = 0;
    WCHECK(WinFs::renameEntry(folder, hidden, true, &error));
    WCHECK((::GetFileAttributesW(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0);
    WCHECK(WinFs::renameEntry(hidden, folder, false, &error));
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    WCHECK(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) == 0);
    ::RemoveDirectoryW(folder.c_str());
}

// A removed file's name is free at once where Windows deletes with POSIX semantics, even
// while another handle is open; elsewhere (wine) it goes when that handle closes. Read-only
// files go either way.
void deleteWhileOpen()
{
    reset();
    const std::wstring file = scratch(L"open.img");
    makeFile(file);
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE other =
        ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = 0;
    WCHECK_MSG(WinFs::removeEntry(file, false, &error), std::to_string(error));
    const bool freeAtOnce = !exists(file);
    if (freeAtOnce) {
        makeFile(file);
        WCHECK(exists(file));
        ::DeleteFileW(file.c_str());
    } else {
        std::printf("INFO  deleteWhileOpen: no POSIX deletion here; the name goes with the last handle\n");
    }
    ::CloseHandle(other);
    WCHECK(!exists(file));
    // Refused while a deletion was pending, then gone: done. Never there: not found.
    WinFs::failNext(WinFs::Op::Delete, ERROR_ACCESS_DENIED, 1);
    WCHECK_MSG(WinFs::removeEntry(file, false, &error), std::to_string(error));
    WCHECK(!WinFs::removeEntry(file, false, &error) && error == ERROR_FILE_NOT_FOUND);
}

} // namespace

int main()
{
    return wintest::run("tst_winfs_core_win", {{"reparseTags", reparseTags},
                                               {"retriesThroughSeam", retriesThroughSeam},
                                               {"waitsForRealHolder", waitsForRealHolder},
                                               {"hiddenOnRename", hiddenOnRename},
                                               {"deleteWhileOpen", deleteWhileOpen}});
}
