// Compatibility-layer registry write, run under wine against a scratch
// registry branch that stands in for the current user's hive.

#include "platform/appcompat.h"
#include "wintest.h"

#include <windows.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

const char kLayersA[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
const char kLayerData[] = "~ WIN7RTM";
const char kScratchParent[] = "Software\\QuorTests";
HKEY g_scratch = nullptr;
std::string g_scratchPath;

// Runs f with standard error captured and returns what it wrote.
template <typename F> std::string captureStderr(F f)
{
    std::ostringstream captured;
    std::streambuf *old = std::cerr.rdbuf(captured.rdbuf());
    f();
    std::cerr.rdbuf(old);
    return captured.str();
}

void deleteLayersKey()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kLayersA);
}

bool createLayersKey()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kLayersA, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool layersKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kLayersA, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

DWORD layersValueCount()
{
    HKEY key = nullptr;
    DWORD count = 9999;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kLayersA, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
    }
    return count;
}

struct NarrowValue
{
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    std::string bytes;
};

// The stored form: UTF-16 with its terminator, read without conversion.
std::wstring readStoredWide(const wchar_t *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return L"<no key>";
    wchar_t buf[128] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    DWORD type = 0;
    const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return L"<no value>";
    return std::wstring(buf, size / sizeof(wchar_t));
}

NarrowValue readNarrow(const char *name)
{
    NarrowValue v;
    HKEY key = nullptr;
    if ((v.status = RegOpenKeyExA(HKEY_CURRENT_USER, kLayersA, 0, KEY_READ, &key)) != ERROR_SUCCESS)
        return v;
    char buf[256] = {};
    DWORD size = sizeof buf;
    v.status = RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE *>(buf), &size);
    if (v.status == ERROR_SUCCESS)
        v.bytes.assign(buf, size);
    RegCloseKey(key);
    return v;
}

const std::string kExpectedBytes(kLayerData, sizeof kLayerData); // nine characters and the NUL

void missingKeyFailsWithMessage()
{
    deleteLayersKey();
    bool result = true;
    const std::string err =
        captureStderr([&] { result = setAppCompatLayer("C:\\work\\config\\usb_dl.exe", kLayerData); });
    WCHECK(!result);
    WCHECK_MSG(err == "Failed to open registry key, error code: 2\n", err);
    WCHECK_MSG(!layersKeyExists(), "the key is opened, never created");
}

void writesTenByteStringValue()
{
    deleteLayersKey();
    WCHECK(createLayersKey());
    // An older value under the name is replaced; a second start writes the same value again.
    const char name[] = "D:\\bench station\\config\\usb_dl.exe";
    HKEY key = nullptr;
    WCHECK(RegOpenKeyExA(HKEY_CURRENT_USER, kLayersA, 0, KEY_WRITE, &key) == ERROR_SUCCESS);
    const char older[] = "~ WIN8RTM HIGHDPIAWARE";
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(older), sizeof older);
    RegCloseKey(key);
    for (int call = 0; call < 2; ++call) {
        bool result = false;
        const std::string err = captureStderr([&] { result = setAppCompatLayer(name, kLayerData); });
        WCHECK(result);
        WCHECK_MSG(err.empty(), err);
        const NarrowValue v = readNarrow(name);
        WCHECK(v.status == ERROR_SUCCESS);
        WCHECK_MSG(v.type == REG_SZ, std::to_string(v.type));
        WCHECK_MSG(v.bytes == kExpectedBytes, v.bytes); // nine characters and the NUL
    }
    WCHECK(readStoredWide(L"D:\\bench station\\config\\usb_dl.exe") == std::wstring(L"~ WIN7RTM", 10));
    WCHECK(layersValueCount() == 1);

    // "C:\测试 目录\config\usb_dl.exe" as UTF-8 bytes, as start-up builds it: stored under the Unicode path.
    const char utf8[] = "C:\\\xE6\xB5\x8B\xE8\xAF\x95 \xE7\x9B\xAE\xE5\xBD\x95\\config\\usb_dl.exe";
    WCHECK(setAppCompatLayer(utf8, kLayerData));
    WCHECK(readStoredWide(L"C:\\\u6D4B\u8BD5 \u76EE\u5F55\\config\\usb_dl.exe") ==
           std::wstring(L"~ WIN7RTM", 10));
    WCHECK(layersValueCount() == 2);
}

void badArgumentsWriteNothing()
{
    deleteLayersKey();
    WCHECK(createLayersKey());
    bool result = true;
    std::string err =
        captureStderr([&] { result = setAppCompatLayer("C:\\\xFF\xFE\\usb_dl.exe", kLayerData); });
    WCHECK(!result);
    WCHECK_MSG(err == "Failed to set registry value, error code: 1113\n", err);
    // A null name would otherwise land in the key's default value.
    err = captureStderr([&] { result = setAppCompatLayer(nullptr, kLayerData); });
    WCHECK(!result);
    WCHECK_MSG(err == "Failed to set registry value, error code: 87\n", err);
    err = captureStderr([&] { result = setAppCompatLayer("C:\\x\\usb_dl.exe", nullptr); });
    WCHECK(!result);
    WCHECK(layersValueCount() == 0);
}

bool isolateUserHive()
{
    g_scratchPath = std::string(kScratchParent) + "\\appcompat-" + std::to_string(GetCurrentProcessId());
    if (RegCreateKeyExA(HKEY_CURRENT_USER, g_scratchPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &g_scratch, nullptr) != ERROR_SUCCESS)
        return false;
    return RegOverridePredefKey(HKEY_CURRENT_USER, g_scratch) == ERROR_SUCCESS;
}

void restoreUserHive()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (g_scratch != nullptr)
        RegCloseKey(g_scratch);
    RegDeleteTreeA(HKEY_CURRENT_USER, g_scratchPath.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, kScratchParent);
}

} // namespace

int main()
{
    // The current user's hive is redirected to a scratch key, so the cases
    // that delete and recreate the Layers key never touch the real one.
    if (!isolateUserHive()) {
        std::printf("FAIL  tst_appcompat_win: cannot redirect the user hive to a scratch key\n");
        std::printf("RESULT 0 1\n");
        restoreUserHive();
        return 1;
    }
    const int rc =
        wintest::run("tst_appcompat_win", {
                                              {"missingKeyFailsWithMessage", missingKeyFailsWithMessage},
                                              {"writesTenByteStringValue", writesTenByteStringValue},
                                              {"badArgumentsWriteNothing", badArgumentsWriteNothing},
                                          });
    restoreUserHive();
    return rc;
}
