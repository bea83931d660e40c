// Stands in for a vendor console tool that gets its arguments in the ANSI code page (a narrow main):
// opens the folder after -i with the narrow file functions and appends what it saw to narrow.log
// beside itself. When the folder opened and holds files, it hands the same arguments to the
// simulated tool (usb_dl_sim.exe beside it), as it does every call without -i (the port listing);
// otherwise it fails as the tool does.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <process.h>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    char self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folderOfSelf(self, n);
    folderOfSelf.resize(folderOfSelf.find_last_of('\\') + 1);

    const char *images = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0)
            images = argv[i + 1];
    }
    if (images) {
        std::string pattern(images);
        while (!pattern.empty() && (pattern.back() == '/' || pattern.back() == '\\'))
            pattern.pop_back();
        pattern += "\\*";
        WIN32_FIND_DATAA found;
        const HANDLE h = ::FindFirstFileA(pattern.c_str(), &found);
        const DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        int files = 0;
        if (h != INVALID_HANDLE_VALUE) {
            do {
                files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
            } while (::FindNextFileA(h, &found));
            ::FindClose(h);
        }
        if (FILE *log = std::fopen((folderOfSelf + "narrow.log").c_str(), "a")) {
            std::fprintf(log, "code page %u, -i %s: %s %d files (error %lu)\n", ::GetACP(), images,
                         files > 0 ? "opened," : "NOT opened,", files, error);
            std::fclose(log);
        }
        if (files == 0) {
            std::printf("USB download failed\r\n");
            return 1;
        }
    }
    // Arguments with blanks are quoted again: _spawnv joins them as they are.
    const std::string tool = folderOfSelf + "usb_dl_sim.exe";
    std::vector<std::string> quoted{'"' + tool + '"'};
    for (int i = 1; i < argc; ++i)
        quoted.push_back(std::strchr(argv[i], ' ') ? '"' + std::string(argv[i]) + '"' : std::string(argv[i]));
    std::vector<const char *> args;
    for (const std::string &arg : quoted)
        args.push_back(arg.c_str());
    args.push_back(nullptr);
    std::fflush(stdout);
    return static_cast<int>(::_spawnv(_P_WAIT, tool.c_str(), args.data()));
}
