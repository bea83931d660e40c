// Device-interface notifications: decoding of synthesized WM_DEVICECHANGE
// messages and registration on a real hidden window, run under wine.

#include "platform/win/devicenotify_win.h"
#include "wintest.h"

#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

using winnotify::decodeDeviceChange;
using winnotify::DeviceChangeKind;

namespace {

const wchar_t kBoardName[] =
    L"\\\\?\\USB#VID_7352&PID_1000#5&2a7c1f0&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

// A notification structure as Windows delivers it: header, class, then the
// name. dbcc_size is what the structure claims; the buffer may hold more.
struct Message
{
    std::vector<unsigned char> buffer;
    LPARAM lParam() const { return reinterpret_cast<LPARAM>(buffer.data()); }
};

Message interfaceMessage(const std::wstring &name, DWORD devType = 5, bool terminated = true)
{
    const size_t units = name.size() + (terminated ? 1 : 0);
    Message m;
    // Structure plus trailing units that are not part of it: a reader that
    // ignores dbcc_size runs into them.
    m.buffer.assign(kNameOffset + units * sizeof(wchar_t) + 16 * sizeof(wchar_t), 0);
    DEV_BROADCAST_DEVICEINTERFACE_W head;
    std::memset(&head, 0, sizeof head);
    head.dbcc_size = static_cast<DWORD>(kNameOffset + units * sizeof(wchar_t));
    head.dbcc_devicetype = devType;
    head.dbcc_classguid = winnotify::interfaceClassGuid(winnotify::InterfaceClass::UsbDevice);
    std::memcpy(m.buffer.data(), &head, kNameOffset);
    std::memcpy(m.buffer.data() + kNameOffset, name.data(), name.size() * sizeof(wchar_t));
    const wchar_t beyond = L'X';
    for (size_t i = units; i < units + 15; ++i)
        std::memcpy(m.buffer.data() + kNameOffset + i * sizeof(wchar_t), &beyond, sizeof beyond);
    return m;
}

void setSize(Message &m, DWORD size)
{
    std::memcpy(m.buffer.data(), &size, sizeof size);
}

bool decodes(UINT msg, WPARAM event, const Message &m)
{
    return decodeDeviceChange(msg, event, m.lParam()).has_value();
}

void namesAreDecodedWhole()
{
    const Message m = interfaceMessage(kBoardName);
    auto arrival = decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, m.lParam());
    WCHECK(arrival && arrival->kind == DeviceChangeKind::Arrival && arrival->name == kBoardName);
    auto removal = decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, m.lParam());
    WCHECK(removal && removal->kind == DeviceChangeKind::Removal && removal->name == kBoardName);
    // The smallest valid name: one unit and its terminator, exactly 32 bytes.
    const Message one = interfaceMessage(L"A");
    auto single = decodeDeviceChange(537, 32768, one.lParam());
    WCHECK(single.has_value() && single->name == L"A");
    // CJK characters, a Greek letter and a character outside the basic plane (a surrogate pair).
    const std::wstring name =
        L"\\\\?\\USB#VID_7352&PID_1000#\u677F\u5361\u03A9\U0001F50C#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    auto wide = decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, interfaceMessage(name).lParam());
    WCHECK(wide && wide->name == name && wide->name.size() == name.size());
    // A size that ends just after the terminator still decodes.
    Message exact = interfaceMessage(L"VID_7352");
    setSize(exact, static_cast<DWORD>(kNameOffset + 9 * sizeof(wchar_t)));
    auto change = decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, exact.lParam());
    WCHECK(change.has_value() && change->name == L"VID_7352");
}

void everythingElseIsIgnored()
{
    const Message m = interfaceMessage(kBoardName);
    WCHECK(!decodes(WM_PAINT, DBT_DEVICEARRIVAL, m));
    WCHECK(!decodes(WM_DEVICECHANGE + 1, DBT_DEVICEARRIVAL, m));
    const WPARAM others[] = {DBT_DEVNODES_CHANGED,
                             DBT_QUERYCHANGECONFIG,
                             DBT_CONFIGCHANGED,
                             DBT_DEVICEQUERYREMOVE,
                             DBT_DEVICEQUERYREMOVEFAILED,
                             DBT_DEVICEREMOVEPENDING,
                             DBT_DEVICETYPESPECIFIC,
                             DBT_CUSTOMEVENT,
                             DBT_USERDEFINED,
                             0,
                             32769,
                             32771};
    for (WPARAM w : others)
        WCHECK_MSG(!decodes(WM_DEVICECHANGE, w, m), "event " + std::to_string(w));
    // DBT_DEVNODES_CHANGED comes without a structure at all.
    WCHECK(!decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
    const DWORD types[] = {DBT_DEVTYP_OEM, DBT_DEVTYP_VOLUME, DBT_DEVTYP_PORT, DBT_DEVTYP_HANDLE, 4, 6, 7};
    for (DWORD t : types)
        WCHECK_MSG(!decodes(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, interfaceMessage(kBoardName, t)),
                   "type " + std::to_string(t));
    // A bare volume header, nothing after it: only the header may be read.
    DEV_BROADCAST_HDR volume = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    WCHECK(!decodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&volume)));
    WCHECK(!decodes(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, interfaceMessage(L"")));
    // No terminator inside dbcc_size; the bytes that follow in memory are
    // 'X' units and then zeros, which an unbounded reader would take in.
    WCHECK(!decodes(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, interfaceMessage(kBoardName, 5, false)));
    // Sizes cutting the name short, or too small for the structure.
    for (DWORD size : {DWORD(0), DWORD(12), DWORD(27), DWORD(28), DWORD(29),
                       static_cast<DWORD>(kNameOffset + 10 * sizeof(wchar_t))}) {
        Message cut = interfaceMessage(kBoardName);
        setSize(cut, size);
        WCHECK_MSG(!decodes(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, cut), "size " + std::to_string(size));
    }
}

void filtersHoldTheTwoClasses()
{
    struct Expect
    {
        winnotify::InterfaceClass cls;
        const wchar_t *text;
    };
    const Expect expected[] = {
        {winnotify::InterfaceClass::UsbDevice, L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
        {winnotify::InterfaceClass::Disk, L"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"},
    };
    WCHECK(sizeof(winnotify::kRegisteredClasses) / sizeof(winnotify::kRegisteredClasses[0]) == 2);
    for (size_t i = 0; i < 2; ++i) {
        WCHECK(winnotify::kRegisteredClasses[i] == expected[i].cls);
        GUID parsed;
        WCHECK(IIDFromString(expected[i].text, &parsed) == S_OK);
        const DEV_BROADCAST_DEVICEINTERFACE_W f = winnotify::interfaceFilter(expected[i].cls);
        WCHECK(f.dbcc_size == 32);
        WCHECK(f.dbcc_devicetype == 5);
        WCHECK(f.dbcc_reserved == 0);
        WCHECK(IsEqualGUID(f.dbcc_classguid, parsed));
    }
}

// Window procedure of the hidden test window: decodes what it is sent.
std::vector<winnotify::DeviceChange> g_seen;

LRESULT CALLBACK testWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (auto change = decodeDeviceChange(msg, wParam, lParam))
        g_seen.push_back(*change);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND createHiddenWindow()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = testWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuorDeviceNotifyTest";
    RegisterClassW(&wc);
    // A message-only window: it needs no display, and Windows delivers
    // device notifications to it like to any other window.
    return CreateWindowExW(0, wc.lpszClassName, L"test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           nullptr);
}

void registersOnHiddenWindow()
{
    HWND window = createHiddenWindow();
    WCHECK(window != nullptr);
    if (window == nullptr)
        return;
    {
        winnotify::DeviceNotifyRegistration reg;
        reg.registerWindow(window);
        WCHECK(reg.registeredCount() + reg.refused().size() == 2);
        wintest::info("wine registered " + std::to_string(reg.registeredCount()) +
                      " of 2 interface classes, refused " + std::to_string(reg.refused().size()));
        WCHECK_MSG(reg.registeredCount() == 2, "wine refused a registration on a real window");
        // Registering again replaces, never piles up handles.
        reg.registerWindow(window);
        WCHECK(reg.registeredCount() + reg.refused().size() == 2);
        reg.release();
        WCHECK(reg.registeredCount() == 0 && reg.refused().empty());
    }
    // A message sent through the window reaches its procedure and decodes.
    g_seen.clear();
    const Message m = interfaceMessage(kBoardName);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, m.lParam());
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, m.lParam());
    WCHECK(g_seen.size() == 2);
    if (g_seen.size() == 2) {
        WCHECK(g_seen[0].kind == DeviceChangeKind::Arrival && g_seen[0].name == kBoardName);
        WCHECK(g_seen[1].kind == DeviceChangeKind::Removal && g_seen[1].name == kBoardName);
    }
    DestroyWindow(window);
}

void refusalIsReported()
{
    // A handle that names no window: registration must be refused and listed.
    HWND window = createHiddenWindow();
    WCHECK(window != nullptr);
    DestroyWindow(window);
    winnotify::DeviceNotifyRegistration reg;
    reg.registerWindow(window);
    WCHECK(reg.registeredCount() + reg.refused().size() == 2);
    wintest::info("on a destroyed window wine registered " + std::to_string(reg.registeredCount()) +
                  ", refused " + std::to_string(reg.refused().size()));
    WCHECK_MSG(reg.refused().size() == 2, "a destroyed window must be refused");
    if (reg.refused().size() == 2) {
        WCHECK(reg.refused()[0] == winnotify::InterfaceClass::UsbDevice);
        WCHECK(reg.refused()[1] == winnotify::InterfaceClass::Disk);
    }
}

} // namespace

int main()
{
    return wintest::run("tst_devicenotify_win", {
                                                    {"namesAreDecodedWhole", namesAreDecodedWhole},
                                                    {"everythingElseIsIgnored", everythingElseIsIgnored},
                                                    {"filtersHoldTheTwoClasses", filtersHoldTheTwoClasses},
                                                    {"registersOnHiddenWindow", registersOnHiddenWindow},
                                                    {"refusalIsReported", refusalIsReported},
                                                });
}
