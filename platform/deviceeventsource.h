#pragma once

#include <QObject>
#include <QString>

// Where the multi-board window learns of USB device-interface arrivals and
// removals. Every source reports a device-interface name shaped as Windows
// names it (\\?\USB#VID_xxxx&PID_xxxx#serial#{class}), so one name filter
// serves all systems. Sources: Windows notifications on the window handle,
// udev on Linux, and the simulated bench when USB_DL_BENCH is set.
class DeviceEventSource : public QObject
{
    Q_OBJECT
public:
    enum class Kind { Arrival, Removal };
    Q_ENUM(Kind)

    using QObject::QObject;
    ~DeviceEventSource() override = default;

    // Called once by the window with its native handle; Windows registers for
    // notifications on it. Returns false if a registration was refused.
    virtual bool registerWindow(quintptr nativeWindow)
    {
        Q_UNUSED(nativeWindow)
        return true;
    }

    // Windows delivers WM_DEVICECHANGE through the window's nativeEvent; the
    // window forwards every native message here. Other sources ignore it.
    virtual void handleNativeEvent(const QByteArray &eventType, void *message)
    {
        Q_UNUSED(eventType)
        Q_UNUSED(message)
    }

signals:
    void deviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName);
};

// The USB identity of the device to watch for, in hexadecimal (any case), as
// the caller knows it: the platform layer has no device of its own.
struct UsbDeviceId
{
    const char *vendor;
    const char *product;
};

// The source for this process: the simulated bench when USB_DL_BENCH is set,
// otherwise the system's own. Owned by parent.
DeviceEventSource *createDeviceEventSource(const UsbDeviceId &device, QObject *parent);

// The system's own source (udev on Linux, window notifications on Windows).
// Where the system reports every device, only this one is passed on.
DeviceEventSource *createPlatformDeviceSource(const UsbDeviceId &device, QObject *parent);
