#include "common/toolcontract.h"
#include "multi/devicefilter.h"
#include "platform/linux/usbinterfacename.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

// The Windows-shaped names the udev source reports, and the shipped udev rule.
class tst_UsbInterfaceName : public QObject
{
    Q_OBJECT
private slots:
    void nameHasWindowsShape();
    void namePassesWindowFilter_data();
    void namePassesWindowFilter();
    void downloadDeviceIdentity_data();
    void downloadDeviceIdentity();
    void instanceFallbacks_data();
    void instanceFallbacks();
    void instanceKeepsNameShape();
    void udevRuleGrantsAccess();
};

void tst_UsbInterfaceName::nameHasWindowsShape()
{
    QCOMPARE(
        UsbInterfaceName::build(QStringLiteral("7352"), QStringLiteral("1000"), QStringLiteral("0123abc")),
        QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#0123abc#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
    // Hex digits are upper case as Windows writes them; the serial keeps its case.
    QCOMPARE(UsbInterfaceName::build(QStringLiteral("0bda"), QStringLiteral("8153"), QStringLiteral("aB")),
             QStringLiteral("\\\\?\\USB#VID_0BDA&PID_8153#aB#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
}

void tst_UsbInterfaceName::namePassesWindowFilter_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("instance");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("download device") << "7352"
                                     << "1000"
                                     << "SN1" << true;
    QTest::newRow("no serial, devpath") << "7352"
                                        << "1000"
                                        << "1-1.4" << true;
    QTest::newRow("instance with & parts") << "7352"
                                           << "1000"
                                           << "5&2b1c&0&1" << true;
    QTest::newRow("other vendor") << "7353"
                                  << "1000"
                                  << "SN1" << false;
    QTest::newRow("other product") << "7352"
                                   << "1001"
                                   << "SN1" << false;
}

// The multi-board window applies one filter to every source's names.
void tst_UsbInterfaceName::namePassesWindowFilter()
{
    QFETCH(QString, vendor);
    QFETCH(QString, product);
    QFETCH(QString, instance);
    QFETCH(bool, accepted);
    QCOMPARE(isDownloadDeviceName(UsbInterfaceName::build(vendor, product, instance)), accepted);
}

void tst_UsbInterfaceName::downloadDeviceIdentity_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("product");
    QTest::addColumn<bool>("matches");
    QTest::newRow("exact") << ToolContract::kVendorId << ToolContract::kProductId << true;
    QTest::newRow("swapped") << "1000"
                             << "7352" << false;
    QTest::newRow("vendor only") << "7352"
                                 << "" << false;
    QTest::newRow("product only") << ""
                                  << "1000" << false;
    QTest::newRow("missing") << ""
                             << "" << false;
    QTest::newRow("longer vendor") << "17352"
                                   << "1000" << false;
    QTest::newRow("padded") << " 7352"
                            << "1000" << false;
    QTest::newRow("other product") << "7352"
                                   << "100a" << false;
}

void tst_UsbInterfaceName::downloadDeviceIdentity()
{
    QFETCH(QString, vendor);
    QFETCH(QString, product);
    QFETCH(bool, matches);
    QCOMPARE(UsbInterfaceName::isDevice(vendor, product, {"7352", "1000"}), matches);
}

void tst_UsbInterfaceName::instanceFallbacks_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("sysName");
    QTest::addColumn<QString>("busNum");
    QTest::addColumn<QString>("devNum");
    QTest::addColumn<QString>("expected");
    QTest::newRow("serial first") << "A1B2"
                                  << "1-2"
                                  << "001"
                                  << "005"
                                  << "A1B2";
    QTest::newRow("devpath component") << ""
                                       << "1-2.3"
                                       << "001"
                                       << "005"
                                       << "1-2.3";
    QTest::newRow("bus and device") << ""
                                    << ""
                                    << "001"
                                    << "005"
                                    << "001-005";
    QTest::newRow("bus without device") << ""
                                        << ""
                                        << "001"
                                        << ""
                                        << "unknown";
    QTest::newRow("nothing known") << ""
                                   << ""
                                   << ""
                                   << ""
                                   << "unknown";
    QTest::newRow("hash and backslash") << "a#b\\c"
                                        << ""
                                        << ""
                                        << ""
                                        << "a_b_c";
    QTest::newRow("blanks and controls") << QString::fromUtf8("x y\tz\x01") << ""
                                         << ""
                                         << ""
                                         << "x_y_z_";
    QTest::newRow("non-ASCII") << QString::fromUtf8("n\xc3\xa4me") << ""
                               << ""
                               << ""
                               << "n_me";
    QTest::newRow("ampersand kept") << "5&1a&0"
                                    << ""
                                    << ""
                                    << ""
                                    << "5&1a&0";
}

void tst_UsbInterfaceName::instanceFallbacks()
{
    QFETCH(QString, serial);
    QFETCH(QString, sysName);
    QFETCH(QString, busNum);
    QFETCH(QString, devNum);
    QFETCH(QString, expected);
    QCOMPARE(UsbInterfaceName::instanceId(serial, sysName, busNum, devNum), expected);
}

// A serial that holds separators must not add parts to the name.
void tst_UsbInterfaceName::instanceKeepsNameShape()
{
    const QString name = UsbInterfaceName::build(
        QStringLiteral("7352"), QStringLiteral("1000"),
        UsbInterfaceName::instanceId(QStringLiteral("#x#{y}\\z"), QString(), QString(), QString()));
    const QStringList parts = name.split(QLatin1Char('#'));
    QCOMPARE(parts.size(), 4);
    QCOMPARE(parts.at(2), QStringLiteral("_x_{y}_z"));
    QCOMPARE(parts.at(3), QLatin1String(UsbInterfaceName::kUsbDeviceClass));
    QVERIFY(isDownloadDeviceName(name));
}

// The rule must name the tool's device with match (==) operators and hand the
// device to the seat user and plugdev; a typo here leaves boards unreachable.
void tst_UsbInterfaceName::udevRuleGrantsAccess()
{
    QFile file(qEnvironmentVariable("QUOR_SOURCE_DIR") +
               QStringLiteral("/platform/linux/60-quor-usb-dl.rules"));
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.fileName()));
    QStringList rules;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            rules << line;
    }
    QCOMPARE(rules.size(), 1);
    QStringList keys = rules.first().split(QStringLiteral(", "));
    for (QString &key : keys)
        key = key.trimmed();
    const QStringList expected = {
        QStringLiteral("SUBSYSTEM==\"usb\""),
        QStringLiteral("ENV{DEVTYPE}==\"usb_device\""),
        QStringLiteral("ATTR{idVendor}==\"%1\"").arg(QLatin1String(ToolContract::kVendorId)),
        QStringLiteral("ATTR{idProduct}==\"%1\"").arg(QLatin1String(ToolContract::kProductId)),
        QStringLiteral("MODE=\"0660\""),
        QStringLiteral("GROUP=\"plugdev\""),
        QStringLiteral("TAG+=\"uaccess\""),
    };
    for (const QString &key : expected)
        QVERIFY2(keys.contains(key), qPrintable(QString(QStringLiteral("missing: ") + key)));
    QCOMPARE(keys.size(), expected.size());
}

QTEST_APPLESS_MAIN(tst_UsbInterfaceName)
#include "tst_usbinterfacename.moc"
