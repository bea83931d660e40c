// Line decisions of the single-board output handler: splitting, the order of
// the tests, progress from counts and from "break"/waiting lines.
#include "quorDownload/singleoutput.h"

#include <QtTest>

#include <limits>

using namespace SingleOutput;

class tst_SingleOutput : public QObject
{
    Q_OBJECT
private slots:
    void splitKeepsEmptyPiecesAndCarriageReturns();
    void percentFromCounts_data();
    void percentFromCounts();
    void progressOverLines_data();
    void progressOverLines();
    void testOrder_data();
    void testOrder();
    void barValueTruncatesAndNeverOverflows();
};

void tst_SingleOutput::splitKeepsEmptyPiecesAndCarriageReturns()
{
    QCOMPARE(splitLines(QStringLiteral("a\r\nb\n")),
             (QStringList{QStringLiteral("a\r"), QStringLiteral("b"), QString()}));
    QCOMPARE(splitLines(QStringLiteral("half a li")), QStringList{QStringLiteral("half a li")});
}

void tst_SingleOutput::percentFromCounts_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("expected"); // -1: no percentage
    QTest::newRow("tool format") << "updated size: 1048576/20971520(5%)" << 5;
    QTest::newRow("total 150 gives raw count") << "updated size: 120/150(80%)" << 120;
    QTest::newRow("total exactly 100") << "updated size: 37/100(37%)" << 37;
    QTest::newRow("total 99") << "updated size: 50/99(50%)" << -1;
    QTest::newRow("total 0") << "updated size: 0/0(0%)" << -1;
    QTest::newRow("total negative") << "updated size: -2147483648/-150(x)" << -1;
    QTest::newRow("total not a number") << "updated size: 10/abc(10%)" << -1;
    QTest::newRow("total too large for int") << "updated size: 10/99999999999(0%)" << -1;
    QTest::newRow("done not a number") << "updated size: xyz/1200(0%)" << 0;
    QTest::newRow("no paren") << "updated size: 300/1200" << -1;
    QTest::newRow("markers out of order") << "updated size(: 300/1200" << -1;
    QTest::newRow("last markers count") << "a:b/c(d updated size: 900/1800(50%)" << 50;
}

void tst_SingleOutput::percentFromCounts()
{
    QFETCH(QString, line);
    QFETCH(int, expected);
    QCOMPARE(SingleOutput::percentFromCounts(line).value_or(-1), expected);
}

void tst_SingleOutput::progressOverLines_data()
{
    // Lines separated by '|'; "N*line" repeats it. The bar value and the flag after them.
    QTest::addColumn<QString>("lines");
    QTest::addColumn<float>("progress");
    QTest::addColumn<int>("breakSeen");
    QTest::addColumn<int>("shown"); // lines with something for the status view
    const QString wait = QStringLiteral("Waiting for USB device connection: ...\r");
    QTest::newRow("waiting after break: a tenth each, up to just above 10")
        << "break|95*" + wait << 10.0000019f << 1 << 1;
    QTest::newRow("89 waiting lines stay below 10") << "break|89*" + wait << 9.9000015f << 1 << 1;
    QTest::newRow("waiting before break: shown, counts nothing") << "5*" + wait << 0.0f << 0 << 5;
    QTest::newRow("waiting without colon is never counted")
        << "break|Waiting for USB device connection" << 1.0f << 1 << 2;
    QTest::newRow("counts never lower the progress")
        << "updated size: 600/1200(50%)|updated size: 300/1200(25%)" << 50.0f << 0 << 2;
    QTest::newRow("small or broken totals keep the last value")
        << "updated size: 300/1200(25%)|updated size: 5/50(10%)|updated size: 5/0(0%)|updated size: garbage"
        << 25.0f << 0 << 4;
    QTest::newRow("a count line saying break is a count line")
        << "break updated size: 12/1200(1%)" << 1.0f << 0 << 1;
    QTest::newRow("backslash read as slash for counts") << "updated size: 300\\1200(25%)" << 25.0f << 0 << 1;
}

void tst_SingleOutput::progressOverLines()
{
    QFETCH(QString, lines);
    QFETCH(float, progress);
    QFETCH(int, breakSeen);
    QFETCH(int, shown);
    RunState state;
    int shownCount = 0;
    for (const QString &item : lines.split(QLatin1Char('|'))) {
        const int star = item.indexOf(QLatin1Char('*'));
        const int times = star > 0 ? item.left(star).toInt() : 1;
        const QString line = star > 0 ? item.mid(star + 1) : item;
        for (int i = 0; i < times; ++i) {
            const LineDecision d = decideLine(line, state);
            QCOMPARE(d.countedWait, d.shown.isEmpty());
            QVERIFY(d.shown.isEmpty() || d.shown == line); // shown as received
            shownCount += d.shown.isEmpty() ? 0 : 1;
        }
    }
    QVERIFY2(state.downloadProgress == progress,
             qPrintable(QString::number(double(state.downloadProgress), 'g', 10)));
    QCOMPARE(state.breakSeen, breakSeen);
    QCOMPARE(shownCount, shown);
}

void tst_SingleOutput::testOrder_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("breakSeen");
    QTest::addColumn<int>("connection"); // Connection as int
    QTest::addColumn<bool>("counted");
    QTest::addColumn<QString>("failureText");
    QTest::addColumn<bool>("completion");
    const int none = int(Connection::None), boxFirst = int(Connection::BoxFirst),
              killFirst = int(Connection::KillFirst);
    const QString tooLarge = QStringLiteral("updating file is too large!!!");
    const QString failed = QStringLiteral("USB download failed!!!");
    QTest::newRow("not found") << "usb device not found" << 0 << boxFirst << false << QString() << false;
    QTest::newRow("not foundce") << "xx device not foundce yy" << 0 << boxFirst << false << QString()
                                 << false;
    QTest::newRow("not found beats waiting") << "Waiting for USB device connection: usb device not found" << 1
                                             << boxFirst << false << QString() << false;
    QTest::newRow("waiting beats commfail") << "Waiting for USB device connection: usb commuicate failed!!!"
                                            << 1 << none << true << QString() << false;
    QTest::newRow("commfail") << "usb commuicate failed!!!\r" << 0 << killFirst << false << QString()
                              << false;
    QTest::newRow("commfail spelled right is nothing")
        << "usb communicate failed!!!" << 0 << none << false << QString() << false;
    QTest::newRow("too large err") << "[ERR] updating file is too large" << 0 << none << false << tooLarge
                                   << false;
    QTest::newRow("too large") << "updating file is too large" << 0 << none << false << tooLarge << false;
    QTest::newRow("download failed") << "USB download failed" << 0 << none << false << failed << false;
    QTest::newRow("failed then complete")
        << "USB download failed, download complete" << 0 << none << false << failed << true;
    QTest::newRow("usb complete") << "USB download complete\r" << 0 << none << false << QString() << true;
    QTest::newRow("complete") << "download complete" << 0 << none << false << QString() << true;
    QTest::newRow("case matters") << "Download Complete" << 0 << none << false << QString() << false;
}

void tst_SingleOutput::testOrder()
{
    QFETCH(QString, line);
    QFETCH(int, breakSeen);
    QFETCH(int, connection);
    QFETCH(bool, counted);
    QFETCH(QString, failureText);
    QFETCH(bool, completion);
    RunState state;
    state.breakSeen = breakSeen;
    const LineDecision d = decideLine(line, state);
    QCOMPARE(int(d.connection), connection);
    QCOMPARE(d.countedWait, counted);
    QCOMPARE(d.failure, !failureText.isEmpty());
    QCOMPARE(d.failureText, failureText);
    QCOMPARE(d.completion, completion);
    QCOMPARE(d.shown, d.connection != Connection::None || d.countedWait ? QString() : line);
}

void tst_SingleOutput::barValueTruncatesAndNeverOverflows()
{
    QCOMPARE(barValue(99.99f), 99);
    QCOMPARE(barValue(-0.5f), 0);
    QCOMPARE(barValue(3.0e10f), std::numeric_limits<int>::max());
    QCOMPARE(barValue(-3.0e10f), std::numeric_limits<int>::min());
    QCOMPARE(barValue(std::numeric_limits<float>::quiet_NaN()), 0);
}

QTEST_APPLESS_MAIN(tst_SingleOutput)
#include "tst_singleoutput.moc"
