// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "multi/mainwindow.h"
#include "platform/linux/udevdevicesource.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"

#include <QSignalSpy>
#include <QtTest>

#include <cstdio>
#include <vector>

// The udev source against a umockdev test bed: uevents reach it through its
// socket notifier while QSignalSpy::wait runs the event loop.
class tst_Udev : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_bed = umockdev_testbed_new(); }
    void cleanup() { g_object_unref(m_bed); }
    void events_data();
    void events();
    void boardPluggedWhileStartUnpacksIsLaunched();

private:
    // attributes and properties: key, value, key, value...
    QString addDevice(const QByteArray &name, const QByteArrayList &attributes,
                      const QByteArrayList &properties, const QString &parent = QString());
    // A download device as udev describes it after its rules ran, or with
    // sysfs attributes only (the rules not run). Serial "-": none.
    QString addDownloadDevice(const QByteArray &name, const QByteArray &serial, bool properties = true)
    {
        QByteArrayList attributes{"idVendor", "7352", "idProduct", "1000", "busnum", "1", "devnum", "7"};
        QByteArrayList props{"DEVTYPE", "usb_device"};
        if (properties)
            props << "ID_VENDOR_ID"
                  << "7352"
                  << "ID_MODEL_ID"
                  << "1000"
                  << "BUSNUM"
                  << "001"
                  << "DEVNUM"
                  << "007";
        if (serial != "-") {
            attributes << "serial" << serial;
            if (properties)
                props << "ID_SERIAL_SHORT" << serial;
        }
        return addDevice(name, attributes, props);
    }
    UMockdevTestbed *m_bed = nullptr;
};

static const UsbDeviceId kDownloadDevice{"7352", "1000"};

static QString nameFor(const QString &instance)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#%1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
        .arg(instance);
}

QString tst_Udev::addDevice(const QByteArray &name, const QByteArrayList &attributes,
                            const QByteArrayList &properties, const QString &parent)
{
    const auto flat = [](const QByteArrayList &list) {
        std::vector<gchar *> out;
        for (const QByteArray &s : list)
            out.push_back(const_cast<gchar *>(s.constData()));
        out.push_back(nullptr);
        return out;
    };
    std::vector<gchar *> attrs = flat(attributes), props = flat(properties);
    const QByteArray parentPath = parent.toUtf8();
    gchar *syspath = umockdev_testbed_add_devicev(m_bed, "usb", name.constData(),
                                                  parent.isEmpty() ? nullptr : parentPath.constData(),
                                                  attrs.data(), props.data());
    const QString result = QString::fromUtf8(syspath);
    g_free(syspath);
    return result;
}

// Steps on the bed, ';' apart: "dl NAME SERIAL" a download device, "attr NAME
// SERIAL" one with sysfs ids only, "other NAME VID PID [MODEL]", "iface NAME
// PARENT", "match NAME" (ids changed to the download device's, no event),
// "start" (the source is made: what came before is present at start),
// "unplug NAME" (the remove uevent, then sysfs gone, as on real hardware),
// "remove NAME" (the uevent only), "vanish NAME" (sysfs only: a lost uevent).
// Events come in the order sent, so a sentinel arrival sent last shows that
// every earlier uevent was read.
void tst_Udev::events_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("events"); // +INSTANCE arrival, -INSTANCE removal
    QTest::addColumn<QString>("known");  // the instances known at the end
    QTest::newRow("present at start: no arrival, removal reported") << "dl 1-1 PRESENT01; start; unplug 1-1"
                                                                    << "-PRESENT01"
                                                                    << "";
    QTest::newRow("present at start remembered, sysfs ids suffice")
        << "dl 1-1 P; attr 5-1 ATTR01; start; attr 5-2 -"
        << "+5-2"
        << "P ATTR01 5-2";
    // The serial keeps its case; without one the devpath stands in. A second
    // removal of the same syspath is not reported again.
    QTest::newRow("arrival and removal once")
        << "start; dl 2-1.3 ab12CD; dl 4-1.2 -; remove 2-1.3; unplug 2-1.3; unplug 4-1.2; dl 1-9 SENTINEL"
        << "+ab12CD +4-1.2 -ab12CD -4-1.2 +SENTINEL"
        << "SENTINEL";
    // Only the cache decides removals; udev's properties win over sysfs; interfaces are no devices.
    QTest::newRow("other devices and interfaces ignored")
        << "other 6-1 7352 2000; start; match 6-1; unplug 6-1; other 3-1 0bda 1000; other 3-2 7352 1001;"
           "other 3-3 7352 1000 2000; dl 3-4 IFACE; iface 3-4:1.0 3-4; remove 3-1; remove 3-2; remove 3-3;"
           "remove 3-4:1.0; dl 3-9 SENTINEL"
        << "+IFACE +SENTINEL"
        << "IFACE SENTINEL";
    // A removal lost in transit leaves a stale entry; another device coming up
    // at that syspath must not later be removed under the old name.
    QTest::newRow("reused syspath forgets stale entry")
        << "start; dl 7-1 OLD; vanish 7-1; other 7-1 046d c52b; remove 7-1; dl 7-2 SENTINEL"
        << "+OLD +SENTINEL"
        << "SENTINEL";
}

void tst_Udev::events()
{
    QFETCH(QString, steps);
    QFETCH(QString, events);
    QFETCH(QString, known);
    QHash<QString, QString> paths; // bed name -> syspath
    std::unique_ptr<UdevDeviceSource> source;
    std::unique_ptr<QSignalSpy> spy;
    for (const QString &step : steps.split(QLatin1Char(';'))) {
        const QStringList w = step.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString &op = w.at(0);
        const QByteArray name = w.value(1).toUtf8(), path = paths.value(w.value(1)).toUtf8();
        if (op == QLatin1String("start")) {
            source = std::make_unique<UdevDeviceSource>(kDownloadDevice);
            QVERIFY(source->isActive());
            spy = std::make_unique<QSignalSpy>(source.get(), &DeviceEventSource::deviceEvent);
        } else if (op == QLatin1String("dl") || op == QLatin1String("attr")) {
            paths[w.at(1)] = addDownloadDevice(name, w.at(2).toUtf8(), op == QLatin1String("dl"));
        } else if (op == QLatin1String("other")) {
            const QByteArray vendor = w.at(2).toUtf8(), product = w.at(3).toUtf8();
            paths[w.at(1)] = addDevice(name, {"idVendor", vendor, "idProduct", product},
                                       {"DEVTYPE", "usb_device", "ID_VENDOR_ID", vendor, "ID_MODEL_ID",
                                        w.value(4, w.at(3)).toUtf8()});
        } else if (op == QLatin1String("iface")) {
            paths[w.at(1)] =
                addDevice(name, {"bInterfaceNumber", "00"},
                          {"DEVTYPE", "usb_interface", "ID_VENDOR_ID", "7352", "ID_MODEL_ID", "1000"},
                          paths.value(w.at(2)));
        } else if (op == QLatin1String("match")) {
            umockdev_testbed_set_property(m_bed, path.constData(), "ID_MODEL_ID", "1000");
            umockdev_testbed_set_attribute(m_bed, path.constData(), "idProduct", "1000");
        } else {
            if (op != QLatin1String("vanish"))
                umockdev_testbed_uevent(m_bed, path.constData(), "remove");
            if (op != QLatin1String("remove"))
                umockdev_testbed_remove_device(m_bed, path.constData());
        }
    }
    QStringList expected, seen, knownNames;
    for (const QString &e : events.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        expected << e.left(1) + QLatin1Char(' ') + nameFor(e.mid(1));
    while (spy->count() < expected.size() && spy->wait(5000)) {
    }
    for (const QList<QVariant> &e : *spy)
        seen << (e.at(0).value<DeviceEventSource::Kind>() == DeviceEventSource::Kind::Arrival ? "+ " : "- ") +
                    e.at(1).toString();
    QCOMPARE(seen, expected);
    for (const QString &k : known.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        knownNames << nameFor(k);
    QStringList have = source->knownDevices().values();
    have.sort();
    knownNames.sort();
    QCOMPARE(have, knownNames);
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
    auto *status = window.findChild<QPlainTextEdit *>(QStringLiteral("statusText"));
    QTRY_VERIFY2_WITH_TIMEOUT(
        status->toPlainText().contains(QStringLiteral("Board 1 Start Downloading  ...")),
        qPrintable(status->toPlainText()), 5000);
    window.findChild<QPushButton *>(QStringLiteral("stopButton"))->click();
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
    qRegisterMetaType<DeviceEventSource::Kind>();
    QApplication app(argc, argv); // one test builds the multi-board window
    tst_Udev test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_udev.moc"
