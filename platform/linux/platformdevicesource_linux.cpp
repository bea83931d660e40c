#include "platform/deviceeventsource.h"

#include "platform/linux/udevdevicesource.h"

// udev's source; when udev cannot be opened (a container without udevd, netlink
// refused) it stays inactive and never reports, and the window works on.
DeviceEventSource *createPlatformDeviceSource(const UsbDeviceId &device, QObject *parent)
{
    return new UdevDeviceSource(device, parent);
}
