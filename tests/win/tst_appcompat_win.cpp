// The compatibility-layer registry write, under wine, with the current user's
// hive redirected to a scratch key so the real Layers key is never touched.

#include "platform/appcompat.h"
#include "wintest.h"

#include <windows.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

const wchar_t kLayers[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

// setAppCompatLayer's result and what it wrote to standard error.
std::string callCaptured(const char *name, const char *data, bool *result)
{
    std::ostringstream captured;
    std::streambuf *old = std::cerr.rdbuf(captured.rdbuf());
    *result = setAppCompatLayer(name, data);
    std::cerr.rdbuf(old);
    return captured.str();
}

void missingKeyIsNotCreated()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kLayers);
    bool ok = true;
    const std::string err = callCaptured("C:\\work\\config\\usb_dl.exe", "~ WIN7RTM", &ok);
    WCHECK(!ok);
    WCHECK_MSG(err == "Failed to open registry key, error code: 2\n", err);
    HKEY key = nullptr;
    WCHECK(RegOpenKeyExW(HKEY_CURRENT_USER, kLayers, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND);
}

// Each value is stored under the path widened from UTF-8 as REG_SZ "~ WIN7RTM" with its
// terminator (20 bytes); arguments that cannot be stored are reported and write nothing.
void writesValues()
{
    HKEY key = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, kLayers);
    WCHECK(RegCreateKeyExW(HKEY_CURRENT_USER, kLayers, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           nullptr) == ERROR_SUCCESS);
    const wchar_t older[] = L"~ WIN8RTM HIGHDPIAWARE";
    RegSetValueExW(key, L"D:\\bench station\\config\\usb_dl.exe", 0, REG_SZ,
                   reinterpret_cast<const BYTE *>(older), sizeof older);
    const struct
    {
        const char *name;
        const char *data;
        const char *err;
        const wchar_t *stored;
    } rows[] = {
        {"D:\\bench station\\config\\usb_dl.exe", "~ WIN7RTM", "", L"D:\\bench station\\config\\usb_dl.exe"},
        {"C:\\\xE6\xB5\x8B\xE8\xAF\x95 \xE7\x9B\xAE\xE5\xBD\x95\\config\\usb_dl.exe", "~ WIN7RTM", "",
         L"C:\\\u6D4B\u8BD5 \u76EE\u5F55\\config\\usb_dl.exe"},
        {"C:\\\xFF\xFE\\usb_dl.exe", "~ WIN7RTM", "Failed to set registry value, error code: 1113\n",
         nullptr},
        {nullptr, "~ WIN7RTM", "Failed to set registry value, error code: 87\n", nullptr},
        {"C:\\x\\usb_dl.exe", nullptr, "Failed to set registry value, error code: 87\n", nullptr},
    };
    for (const auto &row : rows) {
        bool ok = false;
        const std::string err = callCaptured(row.name, row.data, &ok);
        WCHECK_MSG(ok == (row.stored != nullptr) && err == row.err, err);
        if (row.stored == nullptr)
            continue;
        wchar_t stored[64] = {};
        DWORD type = 0;
        DWORD size = sizeof stored;
        WCHECK(RegQueryValueExW(key, row.stored, nullptr, &type, reinterpret_cast<BYTE *>(stored), &size) ==
               ERROR_SUCCESS);
        WCHECK(type == REG_SZ && size == 20 && std::wstring(stored, 10) == std::wstring(L"~ WIN7RTM", 10));
    }
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    WCHECK_MSG(values == 2, std::to_string(values)); // not the key's default value either
    RegCloseKey(key);
}

} // namespace

int main()
{
    const std::wstring scratch = L"Software\\QuorTests\\appcompat-" + std::to_wstring(GetCurrentProcessId());
    HKEY hive = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hive,
                        nullptr) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_CURRENT_USER, hive) != ERROR_SUCCESS) {
        std::printf("FAIL  tst_appcompat_win: cannot redirect the user hive to a scratch key\nRESULT 0 1\n");
        return 1;
    }
    const int rc = wintest::run("tst_appcompat_win", {{"missingKeyIsNotCreated", missingKeyIsNotCreated},
                                                      {"writesValues", writesValues}});
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(hive);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuorTests");
    return rc;
}
