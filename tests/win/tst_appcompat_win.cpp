// The compatibility-layer registry write, under wine, with the current user's
// hive redirected to a scratch key so the real Layers key is never touched.

#include "platform/appcompat.h"
#include "wintest.h"

#include <windows.h>

#include <iostream>
#include <sstream>

namespace {

const wchar_t kLayers[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

// setAppCompatLayer succeeds exactly when the value is stored under `stored` as REG_SZ
// "~ WIN7RTM" with its terminator (20 bytes); otherwise it writes `err` to standard error.
void expect(HKEY key, const char *name, const char *data, const char *err, const wchar_t *stored)
{
    std::ostringstream captured;
    std::streambuf *old = std::cerr.rdbuf(captured.rdbuf());
    const bool ok = setAppCompatLayer(name, data);
    std::cerr.rdbuf(old);
    WCHECK_MSG(ok == (stored != nullptr) && captured.str() == err, captured.str());
    wchar_t value[64] = {};
    DWORD type = 0;
    DWORD size = sizeof value;
    if (stored)
        WCHECK(RegQueryValueExW(key, stored, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) == 0 &&
               type == REG_SZ && size == 20 && std::wstring(value, 10) == std::wstring(L"~ WIN7RTM", 10));
}

// A missing Layers key is reported, never created. In the key, the path from UTF-8 names
// the value; arguments that cannot be stored are reported and write nothing.
void writesValues()
{
    HKEY key = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, kLayers); // what an interrupted run left
    expect(key, "C:\\work\\usb_dl.exe", "~ WIN7RTM", "Failed to open registry key, error code: 2\n", nullptr);
    WCHECK(RegOpenKeyExW(HKEY_CURRENT_USER, kLayers, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND);
    WCHECK(RegCreateKeyExW(HKEY_CURRENT_USER, kLayers, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           nullptr) == 0);
    expect(key, "D:\\bench station\\usb_dl.exe", "~ WIN7RTM", "", L"D:\\bench station\\usb_dl.exe");
    expect(key, "C:\\\xE6\xB5\x8B\xE8\xAF\x95 \xE7\x9B\xAE\xE5\xBD\x95\\usb_dl.exe", "~ WIN7RTM", "",
           L"C:\\\u6D4B\u8BD5 \u76EE\u5F55\\usb_dl.exe");
    expect(key, "C:\\\xFF\xFE\\usb_dl.exe", "~ WIN7RTM", "Failed to set registry value, error code: 1113\n",
           nullptr);
    expect(key, nullptr, "~ WIN7RTM", "Failed to set registry value, error code: 87\n", nullptr);
    expect(key, "C:\\x\\usb_dl.exe", nullptr, "Failed to set registry value, error code: 87\n", nullptr);
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    WCHECK_MSG(values == 2, std::to_string(values)); // not the key's default value either
    RegCloseKey(key);
}

} // namespace

int main()
{
    HKEY hive = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\QuorTests", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hive,
                    nullptr);
    if (RegOverridePredefKey(HKEY_CURRENT_USER, hive) != ERROR_SUCCESS)
        return 1; // no RESULT line: the script counts a failure
    const int rc = wintest::run("tst_appcompat_win", {{"writesValues", writesValues}});
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(hive);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuorTests");
    return rc;
}
