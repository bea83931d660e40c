#pragma once

#include "platform/deviceeventsource.h"

#include <QHash>
#include <QString>

#include <memory>

class QSocketNotifier;
struct udev;
struct udev_device;
struct udev_monitor;

// Linux source of USB arrivals and removals. A udev monitor (subsystem "usb",
// devtype "usb_device") is watched by a QSocketNotifier, so events arrive
// through the event loop without polling. Arrivals of the download device are
// reported under a Windows-shaped interface name; the names of matching
// devices are kept by syspath, because on removal sysfs is already gone and
// only the syspath identifies the device.
class UdevDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
    Q_DISABLE_COPY(UdevDeviceSource)
public:
    // netlinkSource is "udev" for events after udev has processed them (with
    // the ID_* properties); a source libudev refuses leaves this inactive.
    explicit UdevDeviceSource(const UsbDeviceId &device, QObject *parent = nullptr,
                              const char *netlinkSource = "udev");
    ~UdevDeviceSource() override;

    // False when udev could not be opened; the source then never reports.
    bool isActive() const;

    // Download devices known right now, syspath -> interface name.
    QHash<QString, QString> knownDevices() const { return m_known; }

private slots:
    void readEvents();

private:
    UsbDeviceId m_device;
    struct UdevUnref
    {
        void operator()(udev *u) const;
    };
    struct MonitorUnref
    {
        void operator()(udev_monitor *m) const;
    };

    bool openMonitor(const char *netlinkSource);
    void enumeratePresent();
    void handleEvent(udev_device *device);

    // Declared in this order so the notifier goes before the monitor whose
    // descriptor it watches, and the monitor before its udev context.
    std::unique_ptr<udev, UdevUnref> m_udev;
    std::unique_ptr<udev_monitor, MonitorUnref> m_monitor;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QHash<QString, QString> m_known;
};
