#include "platform/win/devicenotify_win.h"

#include <cstddef>
#include <cstring>

namespace winnotify {

static_assert(kDeviceChangeMessage == WM_DEVICECHANGE, "WM_DEVICECHANGE");
static_assert(kArrivalEvent == DBT_DEVICEARRIVAL, "DBT_DEVICEARRIVAL");
static_assert(kRemoveCompleteEvent == DBT_DEVICEREMOVECOMPLETE, "DBT_DEVICEREMOVECOMPLETE");
static_assert(kInterfaceDeviceType == DBT_DEVTYP_DEVICEINTERFACE, "DBT_DEVTYP_DEVICEINTERFACE");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == kInterfaceFilterSize, "filter size");

namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
constexpr GUID kUsbDeviceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}
constexpr GUID kDiskClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Longest name scanned for its terminator, in UTF-16 units; far above any
// real interface name, it only bounds a structure with a bogus size.
constexpr size_t kMaxNameUnits = 32768;

constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

} // namespace

const GUID &interfaceClassGuid(InterfaceClass cls)
{
    return cls == InterfaceClass::UsbDevice ? kUsbDeviceClass : kDiskClass;
}

DEV_BROADCAST_DEVICEINTERFACE_W interfaceFilter(InterfaceClass cls)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = kInterfaceFilterSize;
    filter.dbcc_devicetype = kInterfaceDeviceType;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = interfaceClassGuid(cls);
    return filter;
}

DeviceNotifyRegistration::~DeviceNotifyRegistration()
{
    release();
}

void DeviceNotifyRegistration::registerWindow(HWND window)
{
    release();
    for (InterfaceClass cls : kRegisteredClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = interfaceFilter(cls);
        HDEVNOTIFY handle = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (handle == nullptr)
            m_refused.push_back(cls);
        else
            m_handles.push_back(handle);
    }
}

void DeviceNotifyRegistration::release()
{
    for (HDEVNOTIFY handle : m_handles)
        UnregisterDeviceNotification(handle);
    m_handles.clear();
    m_refused.clear();
}

std::optional<DeviceChange> decodeDeviceChange(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kDeviceChangeMessage)
        return std::nullopt;
    if (wParam != kArrivalEvent && wParam != kRemoveCompleteEvent)
        return std::nullopt;
    if (lParam == 0)
        return std::nullopt;

    // The common header first; only after its size is checked is the rest read.
    const auto *bytes = reinterpret_cast<const unsigned char *>(lParam);
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.dbch_devicetype != kInterfaceDeviceType)
        return std::nullopt;
    if (header.dbch_size < kNameOffset + sizeof(wchar_t))
        return std::nullopt;

    // Name units that lie inside the stated size; the terminator must be among them.
    const size_t available = (header.dbch_size - kNameOffset) / sizeof(wchar_t);
    const size_t limit = available < kMaxNameUnits ? available : kMaxNameUnits;
    const unsigned char *name = bytes + kNameOffset;
    std::wstring text;
    for (size_t i = 0; i < limit; ++i) {
        wchar_t unit;
        std::memcpy(&unit, name + i * sizeof(wchar_t), sizeof unit);
        if (unit == L'\0') {
            if (text.empty())
                return std::nullopt;
            const DeviceChangeKind kind =
                wParam == kArrivalEvent ? DeviceChangeKind::Arrival : DeviceChangeKind::Removal;
            return DeviceChange{kind, text};
        }
        text.push_back(unit);
    }
    return std::nullopt;
}

} // namespace winnotify
