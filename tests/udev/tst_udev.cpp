// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "multi/mainwindow.h"
#include "multi/packageextractor.h"
#include "platform/linux/udevdevicesource.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <cstdio>
#include <utility>
#include <vector>

// The udev source against a umockdev test bed: uevents reach it through its
// socket notifier while QSignalSpy::wait runs the event loop.
class tst_Udev : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void presentAtStartIsRememberedAndItsRemovalReported();
    void arrivalAndRemovalReportedOnce();
    void otherDevicesAndInterfacesAreIgnored();
    void sysfsAttributesStandInForMissingProperties();
    void reusedSyspathForgetsStaleDevice();
    void refusedMonitorNeverReports();
    void boardPluggedWhileStartUnpacksIsLaunched();

private:
    using Pairs = std::vector<std::pair<const char *, const char *>>;
    QString addDevice(const char *name, const Pairs &attributes, const Pairs &properties,
                      const QString &parent = QString());
    QString addDownloadDevice(const char *name, const char *serial);
    // Another device by udev's properties; sysfs ids as given.
    QString addOtherDevice(const char *name, const char *vendor, const char *product,
                           const char *model = nullptr)
    {
        return addDevice(
            name, {{"idVendor", vendor}, {"idProduct", product}},
            {{"DEVTYPE", "usb_device"}, {"ID_VENDOR_ID", vendor}, {"ID_MODEL_ID", model ? model : product}});
    }
    void uevent(const QString &syspath, const char *action);
    void unplug(const QString &syspath)
    {
        // Sysfs is gone before the source reads the event, as on real hardware.
        uevent(syspath, "remove");
        umockdev_testbed_remove_device(m_bed, syspath.toUtf8().constData());
    }

    UMockdevTestbed *m_bed = nullptr;
};

using Kind = DeviceEventSource::Kind;

static constexpr int kWaitMs = 5000;
static const UsbDeviceId kDownloadDevice{"7352", "1000"};

static QString nameFor(const char *instance)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#") + QLatin1String(instance) +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}
static QString arrival(const char *instance)
{
    return QStringLiteral("+ ") + nameFor(instance);
}
static QString removal(const char *instance)
{
    return QStringLiteral("- ") + nameFor(instance);
}

// Waits in the event loop until the spy holds count events, and returns them
// as "+ name" (arrival) or "- name" (removal). Events are read in the order
// they were sent, so once a sentinel sent last has arrived every earlier event
// has been handled.
static QStringList events(QSignalSpy &spy, int count)
{
    while (spy.count() < count && spy.wait(kWaitMs)) {
    }
    QStringList seen;
    for (const QList<QVariant> &e : spy)
        seen << (e.at(0).value<Kind>() == Kind::Arrival ? QStringLiteral("+ ") : QStringLiteral("- ")) +
                    e.at(1).toString();
    return seen;
}

void tst_Udev::initTestCase()
{
    qRegisterMetaType<DeviceEventSource::Kind>();
}

void tst_Udev::init()
{
    m_bed = umockdev_testbed_new();
    QVERIFY(m_bed);
}

void tst_Udev::cleanup()
{
    g_object_unref(m_bed);
    m_bed = nullptr;
}

QString tst_Udev::addDevice(const char *name, const Pairs &attributes, const Pairs &properties,
                            const QString &parent)
{
    auto flatten = [](const Pairs &pairs) {
        std::vector<gchar *> out;
        for (const auto &p : pairs) {
            out.push_back(const_cast<gchar *>(p.first));
            out.push_back(const_cast<gchar *>(p.second));
        }
        out.push_back(nullptr);
        return out;
    };
    std::vector<gchar *> attrs = flatten(attributes);
    std::vector<gchar *> props = flatten(properties);
    const QByteArray parentPath = parent.toUtf8();
    gchar *syspath = umockdev_testbed_add_devicev(
        m_bed, "usb", name, parent.isEmpty() ? nullptr : parentPath.constData(), attrs.data(), props.data());
    const QString result = QString::fromUtf8(syspath);
    g_free(syspath);
    return result;
}

// A download device as udev describes it after its rules ran.
QString tst_Udev::addDownloadDevice(const char *name, const char *serial)
{
    Pairs properties = {{"DEVTYPE", "usb_device"},
                        {"ID_VENDOR_ID", "7352"},
                        {"ID_MODEL_ID", "1000"},
                        {"BUSNUM", "001"},
                        {"DEVNUM", "007"}};
    Pairs attributes = {{"idVendor", "7352"}, {"idProduct", "1000"}, {"busnum", "1"}, {"devnum", "7"}};
    if (serial) {
        properties.emplace_back("ID_SERIAL_SHORT", serial);
        attributes.emplace_back("serial", serial);
    }
    return addDevice(name, attributes, properties);
}

void tst_Udev::uevent(const QString &syspath, const char *action)
{
    umockdev_testbed_uevent(m_bed, syspath.toUtf8().constData(), action);
}

void tst_Udev::presentAtStartIsRememberedAndItsRemovalReported()
{
    // Added before the source exists: its "add" uevent reaches no monitor.
    const QString syspath = addDownloadDevice("1-1", "PRESENT01");
    UdevDeviceSource source(kDownloadDevice);
    QVERIFY(source.isActive());
    QSignalSpy spy(&source, &DeviceEventSource::deviceEvent);
    QCOMPARE(source.knownDevices().size(), 1);
    QCOMPARE(source.knownDevices().value(syspath), nameFor("PRESENT01"));
    unplug(syspath);
    // One event only: no arrival was announced for the device found at start.
    QCOMPARE(events(spy, 1), QStringList{removal("PRESENT01")});
    QVERIFY(source.knownDevices().isEmpty());
}

void tst_Udev::arrivalAndRemovalReportedOnce()
{
    UdevDeviceSource source(kDownloadDevice);
    QVERIFY(source.isActive() && source.knownDevices().isEmpty());
    QSignalSpy spy(&source, &DeviceEventSource::deviceEvent);
    // Adding to the bed sends the "add" uevent. The name has the Windows shape, the serial its case;
    // without a serial the devpath stands in.
    const QString syspath = addDownloadDevice("2-1.3", "ab12CD");
    QCOMPARE(events(spy, 1),
             QStringList{QStringLiteral(
                 "+ \\\\?\\USB#VID_7352&PID_1000#ab12CD#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")});
    QCOMPARE(source.knownDevices().value(syspath), nameFor("ab12CD"));
    const QString noSerial = addDownloadDevice("4-1.2", nullptr);
    // A second removal of the same syspath is not reported again; the sentinel
    // arrival behind it shows the repeated removal was read and dropped.
    uevent(syspath, "remove");
    unplug(syspath);
    unplug(noSerial);
    addDownloadDevice("1-9", "SENTINEL");
    QCOMPARE(events(spy, 5), (QStringList{arrival("ab12CD"), arrival("4-1.2"), removal("ab12CD"),
                                          removal("4-1.2"), arrival("SENTINEL")}));
}

void tst_Udev::otherDevicesAndInterfacesAreIgnored()
{
    // Only the cache decides removals: a device that matches by the time it is
    // removed but was never seen matching is not reported.
    const QString unseen = addOtherDevice("6-1", "7352", "2000");
    UdevDeviceSource source(kDownloadDevice);
    QVERIFY(source.knownDevices().isEmpty());
    QSignalSpy spy(&source, &DeviceEventSource::deviceEvent);
    umockdev_testbed_set_property(m_bed, unseen.toUtf8().constData(), "ID_MODEL_ID", "1000");
    umockdev_testbed_set_attribute(m_bed, unseen.toUtf8().constData(), "idProduct", "1000");
    unplug(unseen);

    const QString otherVendor = addOtherDevice("3-1", "0bda", "1000");
    const QString otherProduct = addOtherDevice("3-2", "7352", "1001");
    // udev's properties name another device although sysfs would match: udev's word wins.
    const QString propertiesDiffer = addOtherDevice("3-3", "7352", "1000", "2000");
    // The download device's interfaces carry its ids too but are not devices.
    const QString device = addDownloadDevice("3-4", "IFACE");
    const QString iface =
        addDevice("3-4:1.0", {{"bInterfaceNumber", "00"}},
                  {{"DEVTYPE", "usb_interface"}, {"ID_VENDOR_ID", "7352"}, {"ID_MODEL_ID", "1000"}}, device);
    QVERIFY(!iface.isEmpty());
    for (const QString &path : {otherVendor, otherProduct, propertiesDiffer, iface})
        uevent(path, "remove");
    addDownloadDevice("3-9", "SENTINEL");
    QCOMPARE(events(spy, 2), (QStringList{arrival("IFACE"), arrival("SENTINEL")}));
    QCOMPARE(source.knownDevices().size(), 2);
}

// Without udev's ID_* properties (its rules not run) the sysfs ids still identify it.
void tst_Udev::sysfsAttributesStandInForMissingProperties()
{
    const QString present =
        addDevice("5-1", {{"idVendor", "7352"}, {"idProduct", "1000"}, {"serial", "ATTR01"}},
                  {{"DEVTYPE", "usb_device"}});
    UdevDeviceSource source(kDownloadDevice);
    QCOMPARE(source.knownDevices().value(present), nameFor("ATTR01"));
    QSignalSpy spy(&source, &DeviceEventSource::deviceEvent);
    addDevice("5-2", {{"idVendor", "7352"}, {"idProduct", "1000"}}, {{"DEVTYPE", "usb_device"}});
    QCOMPARE(events(spy, 1), QStringList{arrival("5-2")});
}

// A removal lost in transit leaves a stale entry; when another device comes up
// at that syspath, its later removal must not be reported under the old name.
void tst_Udev::reusedSyspathForgetsStaleDevice()
{
    UdevDeviceSource source(kDownloadDevice);
    QSignalSpy spy(&source, &DeviceEventSource::deviceEvent);
    const QString syspath = addDownloadDevice("7-1", "OLD");
    QCOMPARE(events(spy, 1).size(), 1);
    umockdev_testbed_remove_device(m_bed, syspath.toUtf8().constData());
    const QString reused = addOtherDevice("7-1", "046d", "c52b");
    QCOMPARE(reused, syspath);
    uevent(reused, "remove");
    addDownloadDevice("7-2", "SENTINEL");
    QCOMPARE(events(spy, 2), (QStringList{arrival("OLD"), arrival("SENTINEL")}));
    QVERIFY(!source.knownDevices().contains(syspath));
}

void tst_Udev::refusedMonitorNeverReports()
{
    const QString present = addDownloadDevice("8-1", "P");
    UdevDeviceSource refused(kDownloadDevice, nullptr, "no-such-netlink-source");
    QVERIFY(!refused.isActive());
    QVERIFY(refused.knownDevices().isEmpty());
    UdevDeviceSource working(kDownloadDevice);
    QVERIFY(working.isActive());
    QSignalSpy refusedSpy(&refused, &DeviceEventSource::deviceEvent);
    QSignalSpy workingSpy(&working, &DeviceEventSource::deviceEvent);
    addDownloadDevice("8-2", "Q");
    uevent(present, "remove");
    QCOMPARE(events(workingSpy, 2), (QStringList{arrival("Q"), removal("P")}));
    QCOMPARE(refusedSpy.count(), 0);
}

int main(int argc, char **argv)
{
    // Without the preload the test bed would not stand in for /sys and netlink.
    // The check looks at /sys, so it is only meaningful once a bed exists.
    UMockdevTestbed *probe = umockdev_testbed_new();
    const bool mocked = umockdev_in_mock_environment();
    g_object_unref(probe);
    if (!mocked) {
        std::fprintf(stderr, "tst_udev SKIPPED: needs the umockdev preload; run it as "
                             "'umockdev-wrapper tst_udev' (Debian package umockdev)\n");
        return 77;
    }
    QApplication app(argc, argv); // one test builds the multi-board window
    tst_Udev test;
    return QTest::qExec(&test, argc, argv);
}

void tst_Udev::boardPluggedWhileStartUnpacksIsLaunched()
{
    // The multi-board window on the udev source: a board whose uevent comes
    // while Start unpacks is listed and launched once the batch exists.
    WindowTestFolder folder;
    QVERIFY(folder.writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    QVERIFY(folder.writeFile(
        QStringLiteral("config/usb_dl.exe"),
        "#!/bin/sh\n"
        "if [ \"$1\" = \"-r\" ]; then printf 'h\\r\\n-\\r\\ndev, portlevel1, portnum3\\r\\n'; exit 0; fi\n"
        "printf 'Waiting for USB device connection\\r\\n'; exec sleep 600\n"));
    QVERIFY(QFile::setPermissions(folder.file(QStringLiteral("config/usb_dl.exe")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("pkg"))));
    const QString zip = folder.file(QStringLiteral("pkg/images.zip"));
    QByteArray noise(48 << 20, '\0');
    for (int i = 0; i < noise.size(); i += 4)
        noise[i] = char((i * 2654435761u) >> 24);
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("rootfs.img", noise)}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);

    UdevDeviceSource source(kDownloadDevice);
    QVERIFY(source.isActive());
    MainWindow window(nullptr, &source);
    auto *start = window.findChild<QPushButton *>(QStringLiteral("startButton"));
    bool duringStart = false;
    QTimer::singleShot(0, &window, [&] {
        duringStart = !start->isEnabled() && window.findChildren<QProcess *>().isEmpty();
        addDownloadDevice("2-1.3", "ST1");
    });
    start->click();
    QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
    QVERIFY(settleListings());
    const auto status = [&] {
        return window.findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(status().contains(QStringLiteral("Board 1 Start Downloading  ...")),
                              qPrintable(status()), kWaitMs);
    window.findChild<QPushButton *>(QStringLiteral("stopButton"))->click();
}

#include "tst_udev.moc"
