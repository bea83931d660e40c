// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "platform/linux/udevdevicesource.h"

#include <QSignalSpy>
#include <QtTest>

#include <cstdio>

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

private:
    // A device by its sysfs name (an interface when it holds ':'), ids, udev's
    // model id and serial ("-": none), as udev describes it after its rules ran.
    QString addDevice(const QString &name, const QByteArray &vendor, const QByteArray &product,
                      const QByteArray &model, const QByteArray &serial = "-")
    {
        QByteArrayList attrs{"idVendor", vendor, "idProduct", product};
        QByteArrayList props{"DEVTYPE",      name.contains(QLatin1Char(':')) ? "usb_interface" : "usb_device",
                             "ID_VENDOR_ID", vendor,
                             "ID_MODEL_ID",  model};
        if (serial != "-") {
            attrs << "serial" << serial;
            props << "ID_SERIAL_SHORT" << serial;
        }
        // As the NULL-terminated string arrays umockdev takes.
        g_auto(GStrv) a = g_strsplit(attrs.join('\n').constData(), "\n", -1);
        g_auto(GStrv) p = g_strsplit(props.join('\n').constData(), "\n", -1);
        g_autofree gchar *syspath =
            umockdev_testbed_add_devicev(m_bed, "usb", name.toUtf8().constData(), nullptr, a, p);
        return QString::fromUtf8(syspath);
    }
    UMockdevTestbed *m_bed = nullptr;
};

static const UsbDeviceId kDownloadDevice{"7352", "1000"};

// The name the source reports for a download device with that instance.
static QString downloadDeviceName(const QString &instance)
{
    return "\\\\?\\USB#VID_7352&PID_1000#" + instance + "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
}

// A row: "steps|events|known". Steps, ';' apart: "dl NAME SERIAL" (download device),
// "add NAME VID PID [MODEL]" (any), "start" (the source is made; what came before is
// present), "unplug NAME" (uevent, then sysfs gone), "remove NAME" (uevent only), "vanish
// NAME" (sysfs only: a lost uevent). Events: +INSTANCE arrival, -INSTANCE removal; known:
// instances known at the end. Uevents come in order: a last sentinel shows all were read.
void tst_Udev::events_data()
{
    QTest::addColumn<QString>("row");
    QTest::newRow("present at start: remembered, no arrival, removal reported")
        << "dl 1-1 PRESENT01; dl 1-2 P2; start; unplug 1-1|-PRESENT01|P2";
    // The serial keeps its case; without one the devpath stands in. A second
    // removal of the same syspath is not reported again.
    QTest::newRow("arrival and removal once")
        << "start; dl 2-1.3 ab12CD; dl 4-1.2 -; remove 2-1.3; unplug 2-1.3; unplug 4-1.2; dl 1-9 SENTINEL"
           "|+ab12CD +4-1.2 -ab12CD -4-1.2 +SENTINEL|SENTINEL";
    // udev's properties win over sysfs; interfaces carry the ids but are no devices.
    QTest::newRow("other devices and interfaces ignored")
        << "start; add 3-1 0bda 1000; add 3-2 7352 1001; add 3-3 7352 1000 2000; dl 3-4 IFACE;"
           "add 3-4:1.0 7352 1000; remove 3-1; remove 3-2; remove 3-3; remove 3-4:1.0; dl 3-9 SENTINEL"
           "|+IFACE +SENTINEL|IFACE SENTINEL";
    // A removal lost in transit leaves a stale entry; another device coming up
    // at that syspath must not later be removed under the old name.
    QTest::newRow("reused syspath forgets stale entry")
        << "start; dl 7-1 OLD; vanish 7-1; add 7-1 046d c52b; remove 7-1; dl 7-2 SENTINEL|+OLD "
           "+SENTINEL|SENTINEL";
}

void tst_Udev::events()
{
    QFETCH(QString, row);
    const QStringList f = row.split(QLatin1Char('|'));
    QHash<QString, QString> paths; // bed name -> syspath
    std::unique_ptr<UdevDeviceSource> source;
    std::unique_ptr<QSignalSpy> spy;
    for (const QString &step : f.at(0).split(QLatin1Char(';'))) {
        const QStringList w = step.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString &op = w.at(0);
        const QByteArray path = paths.value(w.value(1)).toUtf8();
        if (op == QLatin1String("start")) {
            source = std::make_unique<UdevDeviceSource>(kDownloadDevice);
            QVERIFY(source->isActive());
            spy = std::make_unique<QSignalSpy>(source.get(), &DeviceEventSource::deviceEvent);
        } else if (op == QLatin1String("dl")) {
            paths[w.at(1)] = addDevice(w.at(1), "7352", "1000", "1000", w.at(2).toUtf8());
        } else if (op == QLatin1String("add")) {
            paths[w.at(1)] =
                addDevice(w.at(1), w.at(2).toUtf8(), w.at(3).toUtf8(), w.value(4, w.at(3)).toUtf8());
        } else {
            if (op != QLatin1String("vanish"))
                umockdev_testbed_uevent(m_bed, path.constData(), "remove");
            if (op != QLatin1String("remove"))
                umockdev_testbed_remove_device(m_bed, path.constData());
        }
    }
    // A download device's name by its instance alone, any other name whole.
    const auto instance = [](const QString &name) {
        return name == downloadDeviceName(name.section('#', 2, 2)) ? name.section('#', 2, 2) : name;
    };
    while (spy->count() < f.at(1).count(' ') + 1 && spy->wait(5000)) {
    }
    QStringList seen, known;
    for (const QList<QVariant> &e : *spy)
        seen << (e.at(0).value<DeviceEventSource::Kind>() == DeviceEventSource::Kind::Arrival ? "+" : "-") +
                    instance(e.at(1).toString());
    for (const QString &name : source->knownDevices())
        known << instance(name);
    known.sort();
    QCOMPARE(seen.join(' ') + '|' + known.join(' '), f.at(1) + '|' + f.at(2));
}

int main(int argc, char **argv)
{
    // Without the preload the bed does not stand in for /sys and netlink (checked once a bed exists).
    UMockdevTestbed *probe = umockdev_testbed_new();
    const bool mocked = umockdev_in_mock_environment();
    g_object_unref(probe);
    if (!mocked) {
        std::fprintf(stderr, "tst_udev SKIPPED: needs the umockdev preload; run it as "
                             "'umockdev-wrapper tst_udev' (Debian package umockdev)\n");
        return 77;
    }
    qRegisterMetaType<DeviceEventSource::Kind>();
    QCoreApplication app(argc, argv);
    tst_Udev test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_udev.moc"
