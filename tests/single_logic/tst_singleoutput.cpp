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
    void breakThenWaitingLinesStopJustAboveTen();
    void waitingLinesBeforeBreakAreShownAndCountNothing();
    void countLinesNeverLowerProgress();
    void smallOrBrokenTotalsKeepTheLastValue();
    void testOrder_data();
    void testOrder();
    void backslashIsNormalizedForCountsButShownAsReceived();
    void barValueTruncatesAndNeverOverflows();
};

void tst_SingleOutput::splitKeepsEmptyPiecesAndCarriageReturns()
{
    QCOMPARE(splitLines(QStringLiteral("a\r\nb\n")),
             (QStringList{QStringLiteral("a\r"), QStringLiteral("b"), QString()}));
    QCOMPARE(splitLines(QStringLiteral("half a li")), QStringList{QStringLiteral("half a li")});
    QCOMPARE(splitLines(QStringLiteral("\n\n")), (QStringList{QString(), QString(), QString()}));
}

void tst_SingleOutput::percentFromCounts_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("expected"); // -1: no percentage

    QTest::newRow("quarter") << "updated size: 300/1200(25%)" << 25;
    QTest::newRow("half") << "updated size: 600/1200(50%)" << 50;
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
    QTest::newRow("no slash") << "updated size: 300 of 1200(25%)" << -1;
    QTest::newRow("markers out of order") << "updated size(: 300/1200" << -1;
    QTest::newRow("last markers count") << "a:b/c(d updated size: 900/1800(50%)" << 50;
}

void tst_SingleOutput::percentFromCounts()
{
    QFETCH(QString, line);
    QFETCH(int, expected);
    const std::optional<int> percent = SingleOutput::percentFromCounts(line);
    if (expected < 0)
        QVERIFY2(!percent.has_value(), qPrintable(QString::number(percent.value_or(0))));
    else
        QCOMPARE(percent.value_or(-12345), expected);
}

void tst_SingleOutput::breakThenWaitingLinesStopJustAboveTen()
{
    RunState state;
    const LineDecision b = decideLine(QStringLiteral("break"), state);
    QCOMPARE(state.breakSeen, 1);
    QCOMPARE(state.downloadProgress, 1.0f);
    QCOMPARE(b.shown, QStringLiteral("break"));

    const QString waiting = QStringLiteral("Waiting for USB device connection: ...\r");
    QVector<float> after;
    for (int i = 0; i < 95; ++i) {
        const LineDecision d = decideLine(waiting, state);
        QVERIFY(d.countedWait);
        QVERIFY(d.shown.isEmpty()); // kept out of the status view
        QVERIFY(!d.failure && !d.completion && d.connection == Connection::None);
        after << state.downloadProgress;
    }
    QVERIFY2(after.at(88) < 10.0f, qPrintable(QString::number(double(after.at(88)), 'g', 10)));
    QVERIFY2(after.at(89) > 10.0f && after.at(89) < 10.01f,
             qPrintable(QString::number(double(after.at(89)), 'g', 10)));
    QCOMPARE(after.at(94), after.at(89));
    QCOMPARE(barValue(state.downloadProgress), 10);
}

void tst_SingleOutput::waitingLinesBeforeBreakAreShownAndCountNothing()
{
    RunState state;
    const QString waiting = QStringLiteral("Waiting for USB device connection: ...");
    for (int i = 0; i < 5; ++i) {
        const LineDecision d = decideLine(waiting, state);
        QVERIFY(!d.countedWait);
        QCOMPARE(d.shown, waiting);
    }
    QCOMPARE(state.downloadProgress, 0.0f);
    QCOMPARE(state.breakSeen, 0);
    // Without the colon the line is never counted, even after "break".
    decideLine(QStringLiteral("break"), state);
    QVERIFY(!decideLine(QStringLiteral("Waiting for USB device connection"), state).countedWait);
    QCOMPARE(state.downloadProgress, 1.0f);
}

void tst_SingleOutput::countLinesNeverLowerProgress()
{
    RunState state;
    decideLine(QStringLiteral("updated size: 600/1200(50%)"), state);
    QCOMPARE(state.downloadProgress, 50.0f);
    decideLine(QStringLiteral("updated size: 300/1200(25%)"), state);
    QCOMPARE(state.downloadProgress, 50.0f);
    decideLine(QStringLiteral("updated size: 120/150(80%)"), state);
    QCOMPARE(state.downloadProgress, 120.0f);
    // A count line that also says "break" is a count line only.
    RunState other;
    decideLine(QStringLiteral("break updated size: 12/1200(1%)"), other);
    QCOMPARE(other.breakSeen, 0);
    QCOMPARE(other.downloadProgress, 1.0f);
}

void tst_SingleOutput::smallOrBrokenTotalsKeepTheLastValue()
{
    RunState state;
    decideLine(QStringLiteral("updated size: 300/1200(25%)"), state);
    for (const char *line : {"updated size: 5/50(10%)", "updated size: 5/0(0%)", "updated size: 5/-3(0%)",
                             "updated size: 5/zz(0%)", "updated size: garbage"}) {
        const LineDecision d = decideLine(QString::fromLatin1(line), state);
        QCOMPARE(state.downloadProgress, 25.0f);
        QCOMPARE(d.shown, QString::fromLatin1(line)); // the line itself is still shown
    }
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
    QTest::newRow("too large err") << "[ERR] updating file is too large" << 0 << none << false
                                   << "updating file is too large!!!" << false;
    QTest::newRow("too large") << "updating file is too large" << 0 << none << false
                               << "updating file is too large!!!" << false;
    QTest::newRow("download failed") << "USB download failed" << 0 << none << false
                                     << "USB download failed!!!" << false;
    QTest::newRow("failed then complete")
        << "USB download failed, download complete" << 0 << none << false << "USB download failed!!!" << true;
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
    const bool stopsEarly = d.connection != Connection::None || d.countedWait;
    QCOMPARE(d.shown, stopsEarly ? QString() : line);
}

void tst_SingleOutput::backslashIsNormalizedForCountsButShownAsReceived()
{
    RunState state;
    const QString line = QStringLiteral("updated size: 300\\1200(25%)\\x");
    const LineDecision d = decideLine(line, state);
    QCOMPARE(d.shown, line);
    QCOMPARE(d.normalized, QStringLiteral("updated size: 300/1200(25%)\\x"));
    QCOMPARE(state.downloadProgress, 25.0f);
}

void tst_SingleOutput::barValueTruncatesAndNeverOverflows()
{
    QCOMPARE(barValue(99.99f), 99);
    QCOMPARE(barValue(10.0000019f), 10);
    QCOMPARE(barValue(-0.5f), 0);
    QCOMPARE(barValue(3.0e10f), std::numeric_limits<int>::max());
    QCOMPARE(barValue(-3.0e10f), std::numeric_limits<int>::min());
    QCOMPARE(barValue(std::numeric_limits<float>::quiet_NaN()), 0);
}

QTEST_APPLESS_MAIN(tst_SingleOutput)
#include "tst_singleoutput.moc"
