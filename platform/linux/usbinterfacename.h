#pragma once

#include "platform/deviceeventsource.h"

#include <QString>

// Pure helpers that turn a Linux USB device's identity into the
// device-interface name Windows would report for it, so that the one name
// filter of the multi-board window serves both systems.
namespace UsbInterfaceName {

// The interface class Windows reports USB devices under.
inline constexpr char kUsbDeviceClass[] = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// True when vendorId and productId (hex as udev or sysfs give them, any case)
// are those of device.
bool isDevice(const QString &vendorId, const QString &productId, const UsbDeviceId &device);

// The instance part of the name: the serial number when the device has one,
// otherwise the last devpath component, otherwise "busnum-devnum", otherwise
// "unknown". Characters that would break the name's shape ('#' and '\\', which
// separate its parts, blanks, control and non-ASCII characters) become '_'.
QString instanceId(const QString &serial, const QString &sysName, const QString &busNum,
                   const QString &devNum);

// \\?\USB#VID_xxxx&PID_xxxx#<instance>#{A5DCBF10-...}, vendor and product in
// upper case as Windows writes them.
QString build(const QString &vendorId, const QString &productId, const QString &instance);

} // namespace UsbInterfaceName
