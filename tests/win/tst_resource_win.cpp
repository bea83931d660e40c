// The Windows resource of the programs, read back as Windows reads it: version information (what the
// file's properties and Apps & features show), the icon Qt uses for its window class, the manifest.
//   tst_resource_win.exe VERSION PRODUCT PUBLISHER FILE DESCRIPTION [FILE DESCRIPTION...]
// Run by scripts/test-windows.sh on stand-ins built with the real resource, and by
// tests/win/e2e_windows.sh on the shipped programs.

#include "wintest.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> args;

std::string narrow(const std::wstring &s)
{
    return std::string(s.begin(), s.end()); // the values checked here are ASCII
}

// The file's version information block, empty when it has none.
std::vector<char> versionInfo(const std::wstring &file)
{
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &handle);
    std::vector<char> data(size);
    if (size == 0 || !::GetFileVersionInfoW(file.c_str(), 0, size, data.data()))
        data.clear();
    return data;
}

std::wstring versionString(std::vector<char> &info, const wchar_t *name)
{
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void *value = nullptr;
    UINT length = 0;
    if (info.empty() || !::VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0)
        return {};
    return std::wstring(static_cast<const wchar_t *>(value));
}

void checkFile(const std::wstring &file, const std::wstring &description)
{
    const std::wstring &version = args[1];
    const std::string where = " in " + narrow(file);
    std::vector<char> info = versionInfo(file);
    WCHECK_MSG(!info.empty(), where);
    const std::wstring name = file.substr(file.find_last_of(L"\\/") + 1);
    const std::pair<const wchar_t *, std::wstring> expected[] = {
        {L"FileVersion", version}, {L"ProductVersion", version},      {L"ProductName", args[2]},
        {L"CompanyName", args[3]}, {L"FileDescription", description}, {L"OriginalFilename", name},
    };
    for (const auto &e : expected)
        WCHECK_MSG(versionString(info, e.first) == e.second,
                   narrow(e.first) + " is '" + narrow(versionString(info, e.first)) + "'" + where);

    void *fixed = nullptr;
    UINT length = 0;
    const DWORD major = std::stoul(version);
    const size_t dot = version.find(L'.');
    const DWORD minor = dot == std::wstring::npos ? 0 : std::stoul(version.substr(dot + 1));
    WCHECK_MSG(!info.empty() && ::VerQueryValueW(info.data(), L"\\", &fixed, &length) &&
                   static_cast<const VS_FIXEDFILEINFO *>(fixed)->dwFileVersionMS == (major << 16 | minor),
               where);

    HMODULE module =
        ::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    WCHECK_MSG(module != nullptr, where);
    if (!module)
        return;
    WCHECK_MSG(::FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)) != nullptr,
               where); // RT_GROUP_ICON
    std::string manifest;
    if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) { // RT_MANIFEST
        if (HGLOBAL loaded = ::LoadResource(module, found))
            manifest.assign(static_cast<const char *>(::LockResource(loaded)),
                            ::SizeofResource(module, found));
    }
    ::FreeLibrary(module);
    // Windows 7 and Windows 10/11 among the supported systems, common controls 6, Qt's DPI mode.
    for (const char *part :
         {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", ">PerMonitor</dpiAwareness>",
          "level=\"asInvoker\""})
        WCHECK_MSG(manifest.find(part) != std::string::npos, std::string("manifest lacks ") + part + where);
}

void resources()
{
    for (size_t i = 4; i + 1 < args.size(); i += 2)
        checkFile(args[i], args[i + 1]);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    args.assign(argv, argv + argc);
    if (args.size() < 6 || args.size() % 2 != 0) {
        std::printf(
            "usage: tst_resource_win VERSION PRODUCT PUBLISHER FILE DESCRIPTION [FILE DESCRIPTION...]\n");
        return 2;
    }
    return wintest::run("tst_resource_win", {{"resources", &resources}});
}
