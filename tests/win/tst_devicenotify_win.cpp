// Device-interface notifications under wine: WM_DEVICECHANGE decoding, the
// registration filters and registration on a real window.

#include "platform/win/devicenotify_win.h"
#include "wintest.h"

#include <objbase.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

using namespace winnotify;

namespace {

const wchar_t kBoard[] = L"\\\\?\\USB#VID_7352&PID_1000#5&2a7c1f0&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr DWORD kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
constexpr DWORD kWholeSize = ~0u; // dbcc_size as Windows sets it: up to and with the terminator

struct Row
{
    const char *what;
    UINT message;
    WPARAM event;
    DWORD type;
    std::wstring name;
    bool terminated;
    DWORD size;
    bool decodes;
};

// The structure as Windows delivers it, followed by 'X' units outside dbcc_size
// that a reader ignoring the size would take in.
std::vector<unsigned char> message(const Row &r)
{
    const size_t units = r.name.size() + (r.terminated ? 1 : 0);
    std::vector<unsigned char> buffer(kNameOffset + (units + 16) * sizeof(wchar_t), 0);
    const DWORD size = r.size == kWholeSize ? DWORD(kNameOffset + units * sizeof(wchar_t)) : r.size;
    std::memcpy(buffer.data(), &size, sizeof size);
    std::memcpy(buffer.data() + 4, &r.type, sizeof r.type);
    std::memcpy(buffer.data() + kNameOffset, r.name.data(), r.name.size() * sizeof(wchar_t));
    for (size_t i = units; i < units + 15; ++i)
        std::memcpy(buffer.data() + kNameOffset + i * sizeof(wchar_t), L"X", sizeof(wchar_t));
    return buffer;
}

void decoding()
{
    const std::wstring wide = L"\\\\?\\USB#VID_7352&PID_1000#\u677F\u03A9\U0001F50C#{a5dcbf10}";
    const Row rows[] = {
        {"arrival", 537, 32768, 5, kBoard, true, kWholeSize, true},
        {"removal", 537, 32772, 5, kBoard, true, kWholeSize, true},
        {"one unit, 32 bytes", 537, 32768, 5, L"A", true, 32, true},
        {"CJK and a surrogate pair", 537, 32768, 5, wide, true, kWholeSize, true},
        {"other message", WM_DEVICECHANGE + 1, 32768, 5, kBoard, true, kWholeSize, false},
        {"nodes changed", 537, DBT_DEVNODES_CHANGED, 5, kBoard, true, kWholeSize, false},
        {"query remove", 537, DBT_DEVICEQUERYREMOVE, 5, kBoard, true, kWholeSize, false},
        {"remove pending", 537, DBT_DEVICEREMOVEPENDING, 5, kBoard, true, kWholeSize, false},
        {"custom event", 537, DBT_CUSTOMEVENT, 5, kBoard, true, kWholeSize, false},
        {"volume", 537, 32768, DBT_DEVTYP_VOLUME, kBoard, true, kWholeSize, false},
        {"handle", 537, 32768, DBT_DEVTYP_HANDLE, kBoard, true, kWholeSize, false},
        {"empty name", 537, 32768, 5, L"", true, kWholeSize, false},
        {"unterminated", 537, 32768, 5, kBoard, false, kWholeSize, false},
        {"size zero", 537, 32768, 5, kBoard, true, 0, false},
        {"size of the fixed part", 537, 32768, 5, kBoard, true, kNameOffset, false},
        {"size one byte into the name", 537, 32768, 5, kBoard, true, kNameOffset + 1, false},
        {"size cutting the name", 537, 32768, 5, kBoard, true, kNameOffset + 20, false},
    };
    for (const Row &r : rows) {
        const std::vector<unsigned char> m = message(r);
        const auto change = decodeDeviceChange(r.message, r.event, reinterpret_cast<LPARAM>(m.data()));
        WCHECK_MSG(change.has_value() == r.decodes, r.what);
        if (change && r.decodes)
            WCHECK_MSG(change->name == r.name &&
                           (change->kind == DeviceChangeKind::Arrival) == (r.event == 32768),
                       r.what);
    }
    WCHECK(!decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
}

// USB devices then disks, each filter a 32-byte device-interface structure with its class.
void filters()
{
    const wchar_t *guids[] = {L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
                              L"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"};
    WCHECK(std::size(kRegisteredClasses) == 2);
    for (size_t i = 0; i < 2; ++i) {
        GUID parsed;
        WCHECK(IIDFromString(guids[i], &parsed) == S_OK);
        const DEV_BROADCAST_DEVICEINTERFACE_W f = interfaceFilter(kRegisteredClasses[i]);
        WCHECK(f.dbcc_size == 32 && f.dbcc_devicetype == 5 && f.dbcc_reserved == 0);
        WCHECK_MSG(IsEqualGUID(f.dbcc_classguid, parsed), std::to_string(i));
    }
}

// Both classes register on a live window, again without piling up handles;
// a destroyed window has both refused, in order.
void registration()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"QuorDeviceNotifyTest";
    RegisterClassW(&wc);
    HWND window =
        CreateWindowExW(0, wc.lpszClassName, L"test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    WCHECK(window != nullptr);
    DeviceNotifyRegistration reg;
    for (int round = 0; round < 2; ++round) {
        reg.registerWindow(window);
        WCHECK_MSG(reg.registeredCount() == 2 && reg.refused().empty(),
                   std::to_string(reg.registeredCount()));
    }
    reg.release();
    WCHECK(reg.registeredCount() == 0);
    DestroyWindow(window);
    reg.registerWindow(window);
    WCHECK(reg.registeredCount() == 0 && reg.refused().size() == 2);
    WCHECK(reg.refused() == std::vector<InterfaceClass>({InterfaceClass::UsbDevice, InterfaceClass::Disk}));
}

} // namespace

int main()
{
    return wintest::run("tst_devicenotify_win",
                        {{"decoding", decoding}, {"filters", filters}, {"registration", registration}});
}
