#include "common/toolcontract.h"
#include "multi/devicefilter.h"
#include "platform/linux/usbinterfacename.h"

#include <QtTest>

// The Windows-shaped names the udev source reports.
class tst_UsbInterfaceName : public QObject
{
    Q_OBJECT
private slots:
    void identityAndFilter_data();
    void identityAndFilter();
    void instanceFallbacks_data();
    void instanceFallbacks();
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
    QCOMPARE(isDownloadDeviceName(UsbInterfaceName::build(p.at(0), p.at(1), p.at(2))), accepted);
}

// "serial|sys name|bus|device|instance": the instance part made of the others.
void tst_UsbInterfaceName::instanceFallbacks_data()
{
    QTest::addColumn<QString>("row");
    QTest::newRow("serial first") << "A1B2|1-2|001|005|A1B2";
    QTest::newRow("bus and device") << "||001|005|001-005";
    QTest::newRow("nothing known") << "||001||unknown";
    QTest::newRow("name separators") << "#x#{y}\\z||||_x_{y}_z";
    QTest::newRow("non-ASCII") << QString::fromUtf8("n\xc3\xa4me||||n_me");
}

void tst_UsbInterfaceName::instanceFallbacks()
{
    QFETCH(QString, row);
    const QStringList p = row.split(QLatin1Char('|'));
    QCOMPARE(UsbInterfaceName::instanceId(p.at(0), p.at(1), p.at(2), p.at(3)), p.at(4));
}

QTEST_APPLESS_MAIN(tst_UsbInterfaceName)
#include "tst_usbinterfacename.moc"
