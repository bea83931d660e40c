#include "platform/linux/udevdevicesource.h"

#include "platform/linux/usbinterfacename.h"
#include "platform/logging.h"

#include <QDebug>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <libudev.h>

namespace {

struct DeviceUnref
{
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
struct EnumerateUnref
{
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceUnref>;

constexpr char kUsbDevice[] = "usb_device";

QString text(const char *value)
{
    return value ? QString::fromUtf8(value) : QString();
}

// The udev property when udev's rules set it, else the sysfs attribute (kept
// while the device exists; gone on removal).
QString propertyOrAttribute(udev_device *device, const char *property, const char *attribute)
{
    const QString value = text(udev_device_get_property_value(device, property));
    if (!value.isEmpty())
        return value;
    return text(udev_device_get_sysattr_value(device, attribute));
}

// The interface name of the watched device, or a null string for any other device.
QString watchedDeviceName(udev_device *device, const UsbDeviceId &watched)
{
    const QString vendor = propertyOrAttribute(device, "ID_VENDOR_ID", "idVendor");
    const QString product = propertyOrAttribute(device, "ID_MODEL_ID", "idProduct");
    if (!UsbInterfaceName::isDevice(vendor, product, watched))
        return QString();
    const QString instance = UsbInterfaceName::instanceId(
        propertyOrAttribute(device, "ID_SERIAL_SHORT", "serial"), text(udev_device_get_sysname(device)),
        propertyOrAttribute(device, "BUSNUM", "busnum"), propertyOrAttribute(device, "DEVNUM", "devnum"));
    return UsbInterfaceName::build(vendor, product, instance);
}

} // namespace

void UdevDeviceSource::UdevUnref::operator()(udev *u) const
{
    udev_unref(u);
}

void UdevDeviceSource::MonitorUnref::operator()(udev_monitor *m) const
{
    udev_monitor_unref(m);
}

UdevDeviceSource::UdevDeviceSource(const UsbDeviceId &device, QObject *parent, const char *netlinkSource)
    : DeviceEventSource(parent), m_device(device)
{
    if (!openMonitor(netlinkSource)) {
        m_monitor.reset();
        m_udev.reset();
        return;
    }
    m_notifier =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(m_monitor.get()), QSocketNotifier::Read);
    connect(m_notifier.get(), SIGNAL(activated(int)), this, SLOT(readEvents()));
    // Receiving is on before the scan, so a device plugged in meanwhile is not missed.
    enumeratePresent();
}

UdevDeviceSource::~UdevDeviceSource() = default;

bool UdevDeviceSource::isActive() const
{
    return m_notifier != nullptr;
}

bool UdevDeviceSource::openMonitor(const char *netlinkSource)
{
    m_udev.reset(udev_new());
    if (!m_udev) {
        qCDebug(lcDevices, "udev: no context; USB arrivals and removals will not be reported");
        return false;
    }
    m_monitor.reset(udev_monitor_new_from_netlink(m_udev.get(), netlinkSource));
    if (!m_monitor) {
        qCDebug(lcDevices,
                "udev: netlink monitor \"%s\" refused; USB arrivals and removals will not be reported",
                netlinkSource);
        return false;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), "usb", kUsbDevice) < 0 ||
        udev_monitor_enable_receiving(m_monitor.get()) < 0 || udev_monitor_get_fd(m_monitor.get()) < 0) {
        qCDebug(lcDevices,
                "udev: cannot receive from the monitor; USB arrivals and removals will not be reported");
        return false;
    }
    // Without udevd (a container) libudev still hands out a monitor, but no
    // event ever reaches it; the monitor is kept in case udevd starts later.
    if (qstrcmp(netlinkSource, "udev") == 0 && !QFileInfo::exists(QStringLiteral("/run/udev/control")))
        qCDebug(lcDevices,
                "udev: udevd does not seem to run (no /run/udev/control); USB arrivals and removals may "
                "never be reported");
    return true;
}

// Devices already plugged in are only remembered, not announced: Windows does
// not announce them either, and the window runs the port listing on its next
// event anyway, which reports every port present as new.
void UdevDeviceSource::enumeratePresent()
{
    std::unique_ptr<udev_enumerate, EnumerateUnref> enumerate(udev_enumerate_new(m_udev.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", kUsbDevice) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        const DevicePtr device(udev_device_new_from_syspath(m_udev.get(), udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        const QString name = watchedDeviceName(device.get(), m_device);
        if (!name.isEmpty())
            m_known.insert(text(udev_device_get_syspath(device.get())), name);
    }
}

void UdevDeviceSource::readEvents()
{
    // A receiver may delete this source while handling a signal.
    const QPointer<UdevDeviceSource> alive(this);
    while (alive) {
        const DevicePtr device(udev_monitor_receive_device(m_monitor.get()));
        if (!device)
            break;
        handleEvent(device.get());
    }
}

void UdevDeviceSource::handleEvent(udev_device *device)
{
    const char *action = udev_device_get_action(device);
    const QString syspath = text(udev_device_get_syspath(device));
    if (!action || syspath.isEmpty() || qstrcmp(udev_device_get_devtype(device), kUsbDevice) != 0)
        return;
    if (qstrcmp(action, "add") == 0) {
        const QString name = watchedDeviceName(device, m_device);
        if (name.isEmpty()) {
            // A stale entry (a removal lost to a full socket buffer) must not
            // later report this other device's removal under the old name.
            m_known.remove(syspath);
            return;
        }
        m_known.insert(syspath, name);
        emit deviceEvent(Kind::Arrival, name);
    } else if (qstrcmp(action, "remove") == 0) {
        // On removal sysfs is gone: only a device seen as matching is reported.
        const QString name = m_known.take(syspath);
        if (!name.isEmpty())
            emit deviceEvent(Kind::Removal, name);
    }
}
