#include "common/toolcontract.h"
#include "multi/devicefilter.h"
#include "platform/linux/usbinterfacename.h"

#include <QtTest>

// The Windows-shaped names the udev source reports.
class tst_UsbInterfaceName : public QObject
{
    Q_OBJECT
private slots:
    void names();
};

void tst_UsbInterfaceName::names()
{
    // "vendor|product|instance": whether the udev source takes it for the download device, and
    // the window's one filter for every source's names accepts it, both or neither.
    for (const auto &[ids, device] : std::initializer_list<std::pair<QString, bool>>{
             {"7352|1000|SN1", true},
             {"7352|1000|5&2b1c&0&1", true}, // instance with & parts
             {"7353|1000|SN1", false},       // other vendor
             {"7352|1001|SN1", false}}) {    // other product
        const QStringList p = ids.split(QLatin1Char('|'));
        QVERIFY2(UsbInterfaceName::isDevice(p.at(0), p.at(1),
                                            {ToolContract::kVendorId, ToolContract::kProductId}) == device &&
                     isDownloadDeviceName(UsbInterfaceName::build(p.at(0), p.at(1), p.at(2))) == device,
                 qPrintable(ids));
    }
    // "serial|sys name|bus|device|instance": the instance part made of the others; the serial
    // first, then bus and device, name separators and non-ASCII replaced.
    for (const QString &row : {QStringLiteral("A1B2|1-2|001|005|A1B2"), QStringLiteral("||001|005|001-005"),
                               QStringLiteral("||001||unknown"), QStringLiteral("#x#{y}\\z||||_x_{y}_z"),
                               QString::fromUtf8("n\xc3\xa4me||||n_me")}) {
        const QStringList p = row.split(QLatin1Char('|'));
        QCOMPARE(UsbInterfaceName::instanceId(p.at(0), p.at(1), p.at(2), p.at(3)), p.at(4));
    }
}

QTEST_APPLESS_MAIN(tst_UsbInterfaceName)
#include "tst_usbinterfacename.moc"
