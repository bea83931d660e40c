// Stands in for a vendor console tool that gets its arguments in the ANSI code page (a narrow main):
// lists the folder after -i with the narrow file functions and appends what it saw to narrow.log
// beside itself. A folder that opens and holds files, and every call without -i (the port listing),
// go on to the simulated tool beside it (usb_dl_sim.exe); otherwise it fails as the tool does.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <process.h>
#include <string>

int main(int argc, char **argv)
{
    char self[MAX_PATH] = {};
    std::string folder(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
    folder.resize(folder.find_last_of('\\') + 1);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") != 0)
            continue;
        WIN32_FIND_DATAA found;
        const HANDLE h = ::FindFirstFileA((std::string(argv[i + 1]) + "\\*").c_str(), &found);
        const DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        int files = 0;
        if (h != INVALID_HANDLE_VALUE) {
            do
                files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
            while (::FindNextFileA(h, &found));
            ::FindClose(h);
        }
        if (FILE *log = std::fopen((folder + "narrow.log").c_str(), "a")) {
            std::fprintf(log, "code page %u, -i %s: %s %d files (error %lu)\n", ::GetACP(), argv[i + 1],
                         files > 0 ? "opened," : "NOT opened,", files, error);
            std::fclose(log);
        }
        if (files == 0) {
            std::printf("USB download failed\r\n");
            return 1;
        }
    }
    // _spawnv joins the arguments as they are: the tool's path is quoted, the others have no blank.
    const std::string tool = folder + "usb_dl_sim.exe", quoted = '"' + tool + '"';
    argv[0] = const_cast<char *>(quoted.c_str());
    std::fflush(stdout);
    return static_cast<int>(::_spawnv(_P_WAIT, tool.c_str(), argv));
}
