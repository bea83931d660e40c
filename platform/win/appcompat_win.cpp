#include "platform/appcompat.h"

#include <windows.h>

#include <cstring>
#include <iostream>
#include <string>

namespace {

const wchar_t kLayersKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

// The value name is a path and arrives as UTF-8. Handing UTF-8 bytes to the
// narrow registry calls would read them in the ANSI code page and store a
// garbled name for any non-ASCII folder, so both strings are widened here.
bool widen(const char *utf8, std::wstring &out)
{
    const int len = static_cast<int>(std::strlen(utf8));
    if (len == 0) {
        out.clear();
        return true;
    }
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, len, nullptr, 0);
    if (n <= 0)
        return false;
    out.assign(static_cast<size_t>(n), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, len, &out[0], n) == n;
}

LONG setValue(HKEY key, const char *valueName, const char *data)
{
    // A null name would silently write the key's default value instead.
    if (valueName == nullptr || data == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::wstring name;
    std::wstring text;
    if (!widen(valueName, name) || !widen(data, text))
        return ERROR_NO_UNICODE_TRANSLATION;
    // REG_SZ: the byte count includes the terminating NUL.
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()), bytes);
}

} // namespace

bool setAppCompatLayer(const char *valueName, const char *data)
{
    HKEY key = nullptr;
    // Opened, not created: the key belongs to the system's compatibility store.
    const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, KEY_WRITE, &key);
    if (opened != ERROR_SUCCESS) {
        std::cerr << "Failed to open registry key, error code: " << opened << std::endl;
        return false;
    }
    const LONG set = setValue(key, valueName, data);
    RegCloseKey(key);
    if (set != ERROR_SUCCESS) {
        std::cerr << "Failed to set registry value, error code: " << set << std::endl;
        return false;
    }
    return true;
}
