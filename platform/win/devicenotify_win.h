#pragma once

// Device-interface notifications on a window, free of Qt so that it can be
// cross-compiled and tested on its own: registration for the two interface
// classes the multi-board window listens to, and decoding of WM_DEVICECHANGE
// into an arrival or removal with the interface name.

#include <windows.h>

#include <dbt.h>

#include <optional>
#include <string>
#include <vector>

namespace winnotify {

// The values the device filter compares with, spelled out as numbers.
constexpr UINT kDeviceChangeMessage = 537;
constexpr WPARAM kArrivalEvent = 32768;
constexpr WPARAM kRemoveCompleteEvent = 32772;
constexpr DWORD kInterfaceDeviceType = 5;
constexpr DWORD kInterfaceFilterSize = 32;

// Registered in this order.
enum class InterfaceClass { UsbDevice, Disk };
constexpr InterfaceClass kRegisteredClasses[] = {InterfaceClass::UsbDevice, InterfaceClass::Disk};

const GUID &interfaceClassGuid(InterfaceClass cls);
DEV_BROADCAST_DEVICEINTERFACE_W interfaceFilter(InterfaceClass cls);

// Holds the notification handles of one window and releases them when it
// goes. The classes Windows refused are listed so the caller can report them.
class DeviceNotifyRegistration final
{
public:
    DeviceNotifyRegistration() = default;
    ~DeviceNotifyRegistration();
    DeviceNotifyRegistration(const DeviceNotifyRegistration &) = delete;
    DeviceNotifyRegistration &operator=(const DeviceNotifyRegistration &) = delete;

    // Registers every class of kRegisteredClasses on the window, in order,
    // going on after a refusal. Earlier registrations are released first.
    void registerWindow(HWND window);
    void release();

    const std::vector<InterfaceClass> &refused() const { return m_refused; }
    size_t registeredCount() const { return m_handles.size(); }

private:
    std::vector<HDEVNOTIFY> m_handles;
    std::vector<InterfaceClass> m_refused;
};

enum class DeviceChangeKind { Arrival, Removal };

struct DeviceChange
{
    DeviceChangeKind kind;
    std::wstring name; // UTF-16, without the terminator
};

// Decodes a window message. Returns a change only for WM_DEVICECHANGE with an
// arrival or remove-complete event whose structure is a device interface with
// a non-empty, terminated name. The structure is read only within the size it
// states, so a short or unterminated structure is rejected, never overread.
std::optional<DeviceChange> decodeDeviceChange(UINT message, WPARAM wParam, LPARAM lParam);

} // namespace winnotify
