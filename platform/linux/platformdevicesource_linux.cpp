#include "platform/deviceeventsource.h"

// Placeholder until the udev source lands: a source that never reports.
DeviceEventSource *createPlatformDeviceSource(QObject *parent)
{
    return new DeviceEventSource(parent);
}
