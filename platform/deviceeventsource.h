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

// The source for this process: the simulated bench when USB_DL_BENCH is set,
// otherwise the system's own. Owned by parent.
DeviceEventSource *createDeviceEventSource(QObject *parent);

// The system's own source (udev on Linux, window notifications on Windows).
DeviceEventSource *createPlatformDeviceSource(QObject *parent);
