// Stands in for quor_download.exe in the installer test on a machine without the Windows SDK:
// writes the folder it was started in to "started-here.txt" there, as the real program writes its
// run logs into its working folder.

#include <windows.h>

#include <cstdio>

int main()
{
    wchar_t folder[MAX_PATH] = {};
    if (::GetCurrentDirectoryW(MAX_PATH, folder) == 0)
        return 1;
    FILE *file = _wfopen(L"started-here.txt", L"w");
    if (!file)
        return 1;
    std::fprintf(file, "%ls\n", folder);
    std::fclose(file);
    return 0;
}
