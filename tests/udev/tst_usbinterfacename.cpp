#include "common/toolcontract.h"
#include "multi/devicefilter.h"
#include "platform/linux/usbinterfacename.h"

#include <QFile>
#include <QtTest>

// The Windows-shaped names the udev source reports, and the shipped udev rule.
class tst_UsbInterfaceName : public QObject
{
    Q_OBJECT
private slots:
    void identityAndFilter_data();
    void identityAndFilter();
    void instanceFallbacks_data();
    void instanceFallbacks();
    void udevRuleGrantsAccess();
};

// "vendor|product|instance": whether the udev source takes it for the download
// device, and whether the window's one filter for every source's names accepts it.
void tst_UsbInterfaceName::identityAndFilter_data()
{
    QTest::addColumn<QString>("ids");
    QTest::addColumn<bool>("device");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("download device") << "7352|1000|SN1" << true << true;
    QTest::newRow("instance with & parts") << "7352|1000|5&2b1c&0&1" << true << true;
    QTest::newRow("other vendor") << "7353|1000|SN1" << false << false;
    QTest::newRow("other product") << "7352|1001|SN1" << false << false;
    QTest::newRow("swapped") << "1000|7352|SN1" << false << false;
    QTest::newRow("product missing") << "7352||SN1" << false << false;
    QTest::newRow("longer vendor") << "17352|1000|SN1" << false << true; // the filter reads the ends
    QTest::newRow("other product digit") << "7352|100a|SN1" << false << false;
}

void tst_UsbInterfaceName::identityAndFilter()
{
    QFETCH(QString, ids);
    QFETCH(bool, device);
    QFETCH(bool, accepted);
    const QStringList p = ids.split(QLatin1Char('|'));
    QCOMPARE(
        UsbInterfaceName::isDevice(p.at(0), p.at(1), {ToolContract::kVendorId, ToolContract::kProductId}),
        device);
    if (!p.at(1).isEmpty())
        QCOMPARE(isDownloadDeviceName(UsbInterfaceName::build(p.at(0), p.at(1), p.at(2))), accepted);
    // Hex digits upper case as Windows writes them; the serial keeps its case.
    QCOMPARE(UsbInterfaceName::build(QStringLiteral("0bda"), QStringLiteral("8153"), QStringLiteral("aB")),
             QStringLiteral("\\\\?\\USB#VID_0BDA&PID_8153#aB#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
}

// "serial|sys name|bus|device" and the instance part made of them.
void tst_UsbInterfaceName::instanceFallbacks_data()
{
    QTest::addColumn<QString>("parts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("serial first") << "A1B2|1-2|001|005"
                                  << "A1B2";
    QTest::newRow("devpath component") << "|1-2.3|001|005"
                                       << "1-2.3";
    QTest::newRow("bus and device") << "||001|005"
                                    << "001-005";
    QTest::newRow("bus without device") << "||001|"
                                        << "unknown";
    QTest::newRow("name separators") << "#x#{y}\\z|||"
                                     << "_x_{y}_z";
    QTest::newRow("blanks and controls") << QString::fromUtf8("x y\tz\x01|||") << "x_y_z_";
    QTest::newRow("non-ASCII") << QString::fromUtf8("n\xc3\xa4me|||") << "n_me";
    QTest::newRow("ampersand kept") << "5&1a&0|||"
                                    << "5&1a&0";
}

void tst_UsbInterfaceName::instanceFallbacks()
{
    QFETCH(QString, parts);
    QFETCH(QString, expected);
    const QStringList p = parts.split(QLatin1Char('|'));
    QCOMPARE(UsbInterfaceName::instanceId(p.at(0), p.at(1), p.at(2), p.at(3)), expected);
}

// The rule must name the tool's device with match (==) operators and hand the
// device to the seat user and plugdev; a typo here leaves boards unreachable.
void tst_UsbInterfaceName::udevRuleGrantsAccess()
{
    QFile file(qEnvironmentVariable("QUOR_SOURCE_DIR") +
               QStringLiteral("/platform/linux/60-quor-usb-dl.rules"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    QStringList rules;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty() && !line.startsWith('#'))
            rules << QString::fromUtf8(line.trimmed());
    QCOMPARE(rules.size(), 1);
    QStringList keys = rules.first().split(QStringLiteral(", "));
    keys.sort();
    QCOMPARE(keys, QStringList({QStringLiteral("ATTR{idProduct}==\"1000\""),
                                QStringLiteral("ATTR{idVendor}==\"7352\""),
                                QStringLiteral("ENV{DEVTYPE}==\"usb_device\""),
                                QStringLiteral("GROUP=\"plugdev\""), QStringLiteral("MODE=\"0660\""),
                                QStringLiteral("SUBSYSTEM==\"usb\""), QStringLiteral("TAG+=\"uaccess\"")}));
}

QTEST_APPLESS_MAIN(tst_UsbInterfaceName)
#include "tst_usbinterfacename.moc"
