// Device-interface notifications under wine: WM_DEVICECHANGE decoding and
// registration on a real window.

#include "platform/win/devicenotify_win.h"
#include "wintest.h"

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
    DWORD size;
    bool decodes;
};

// The structure as Windows delivers it: the fixed fields, the name and its terminator.
std::vector<wchar_t> message(const Row &r)
{
    std::vector<wchar_t> m(kNameOffset / sizeof(wchar_t));
    m.insert(m.end(), r.name.c_str(), r.name.c_str() + r.name.size() + 1);
    const DWORD head[2] = {r.size == kWholeSize ? DWORD(m.size() * sizeof(wchar_t)) : r.size, r.type};
    std::memcpy(m.data(), head, sizeof head);
    return m;
}

void decoding()
{
    const std::wstring wide = L"\\\\?\\USB#VID_7352&PID_1000#\u677F\u03A9\U0001F50C#{a5dcbf10}";
    const Row rows[] = {
        {"arrival", 537, 32768, 5, kBoard, kWholeSize, true},
        {"removal", 537, 32772, 5, kBoard, kWholeSize, true},
        {"CJK and a surrogate pair", 537, 32768, 5, wide, kWholeSize, true},
        {"other message", WM_DEVICECHANGE + 1, 32768, 5, kBoard, kWholeSize, false},
        {"remove pending", 537, DBT_DEVICEREMOVEPENDING, 5, kBoard, kWholeSize, false},
        {"volume", 537, 32768, DBT_DEVTYP_VOLUME, kBoard, kWholeSize, false},
        {"empty name", 537, 32768, 5, L"", kWholeSize, false},
        {"terminator outside the size", 537, 32768, 5, kBoard, kNameOffset + 2 * (std::size(kBoard) - 1),
         false},
        {"size zero", 537, 32768, 5, kBoard, 0, false},
        {"size cutting the name", 537, 32768, 5, kBoard, kNameOffset + 20, false},
    };
    for (const Row &r : rows) {
        const std::vector<wchar_t> m = message(r);
        const auto change = decodeDeviceChange(r.message, r.event, reinterpret_cast<LPARAM>(m.data()));
        WCHECK_MSG(change.has_value() == r.decodes, r.what);
        if (change)
            WCHECK_MSG(change->name == r.name &&
                           (change->kind == DeviceChangeKind::Arrival) == (r.event == 32768),
                       r.what);
    }
    WCHECK(!decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
}

// Both classes register, twice without piling up; a destroyed window has both refused, in order.
void registration()
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DeviceNotifyRegistration reg;
    for (int round = 0; round < 2; ++round) {
        reg.registerWindow(window);
        WCHECK_MSG(reg.registeredCount() == 2 && reg.refused().empty(),
                   std::to_string(reg.registeredCount()));
    }
    DestroyWindow(window);
    reg.registerWindow(window);
    WCHECK(reg.registeredCount() == 0 &&
           reg.refused() == std::vector<InterfaceClass>({InterfaceClass::UsbDevice, InterfaceClass::Disk}));
}

} // namespace

int main()
{
    return wintest::run("tst_devicenotify_win", {{"decoding", decoding}, {"registration", registration}});
}
