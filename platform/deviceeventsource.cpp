#include "platform/deviceeventsource.h"

#include "platform/bench/benchdevicesource.h"

DeviceEventSource *createDeviceEventSource(const UsbDeviceId &device, QObject *parent)
{
    const QByteArray bench = qgetenv("USB_DL_BENCH");
    if (!bench.isEmpty())
        return createBenchDeviceSource(QString::fromLocal8Bit(bench), parent);
    return createPlatformDeviceSource(device, parent);
}
