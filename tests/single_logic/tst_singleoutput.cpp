// Line decisions of the single-board output handler: progress from counts and
// from "break"/waiting lines, the order of the tests, the bar value.
#include "quorDownload/singleoutput.h"

#include <QtTest>

#include <limits>

using namespace SingleOutput;

class tst_SingleOutput : public QObject
{
    Q_OBJECT
private slots:
    void decideLines_data()
    {
        // Lines separated by '|'; "N*line" repeats it. The progress and the "break" flag after them, and what
        // the last line asks for: the connection ("box" or "kill" first), the failure box text, completion.
        QTest::addColumn<QString>("lines");
        QTest::addColumn<float>("progress");
        QTest::addColumn<int>("breakSeen");
        QTest::addColumn<QString>("outcome");
        const QString wait = QStringLiteral("Waiting for USB device connection: ...\r");
        QTest::newRow("total 150: raw count") << "updated size: 120/150(80%)" << 120.0f << 0 << "";
        QTest::newRow("total 99, 0, negative, text, too large, no paren")
            << "updated size: 50/99(50%)|updated size: 0/0(0%)|updated size: -2/-150(x)|updated size: "
               "10/abc(1%)|"
               "updated size: 10/99999999999(0%)|updated size: 300/1200|updated size(: 300/1200"
            << 0.0f << 0 << "";
        QTest::newRow("last markers count") << "a:b/c(d updated size: 900/1800(50%)" << 50.0f << 0 << "";
        QTest::newRow("backslash as slash") << "updated size: 300\\1200(25%)" << 25.0f << 0 << "";
        QTest::newRow("never lower")
            << "updated size: 600/1200(50%)|updated size: 300/1200(25%)|updated size: 5/50(1%)" << 50.0f << 0
            << "";
        QTest::newRow("waiting after break: a tenth each, up to just above 10")
            << "break|95*" + wait << 10.0000019f << 1 << "";
        QTest::newRow("waiting before break counts nothing") << "5*" + wait << 0.0f << 0 << "";
        QTest::newRow("waiting without colon")
            << "break|Waiting for USB device connection" << 1.0f << 1 << "";
        QTest::newRow("count line saying break") << "break updated size: 12/1200(1%)" << 1.0f << 0 << "";
        QTest::newRow("not foundce") << "xx device not foundce yy" << 0.0f << 0 << "box";
        QTest::newRow("not found beats waiting")
            << "break|Waiting for USB device connection: usb device not found" << 1.0f << 1 << "box";
        QTest::newRow("waiting beats commfail")
            << "break|Waiting for USB device connection: usb commuicate failed!!!" << 1.1f << 1 << "";
        QTest::newRow("too large err")
            << "[ERR] updating file is too large" << 0.0f << 0 << "updating file is too large!!!";
        QTest::newRow("failed, complete")
            << "USB download failed, download complete" << 0.0f << 0 << "USB download failed!!! complete";
        QTest::newRow("case matters") << "Download Complete" << 0.0f << 0 << "";
    }

    void decideLines()
    {
        QFETCH(QString, lines);
        QFETCH(float, progress);
        QFETCH(int, breakSeen);
        QFETCH(QString, outcome);
        RunState state;
        LineDecision d;
        for (const QString &item : lines.split(QLatin1Char('|'))) {
            const int star = item.indexOf(QLatin1Char('*'));
            const QString line = star > 0 ? item.mid(star + 1) : item;
            for (int i = 0; i < (star > 0 ? item.left(star).toInt() : 1); ++i) {
                d = decideLine(line, state);
                // Shown as received unless it asks for the connection notice or is a counted wait.
                QCOMPARE(d.shown, d.connection != Connection::None || d.countedWait ? QString() : line);
            }
        }
        QVERIFY2(state.downloadProgress == progress,
                 qPrintable(QString::number(double(state.downloadProgress), 'g', 10)));
        QCOMPARE(state.breakSeen, breakSeen);
        const QStringList connections{"", "box", "kill"};
        QCOMPARE(QStringList({connections.at(int(d.connection)), d.failure ? d.failureText : "",
                              d.completion ? "complete" : ""})
                     .join(' ')
                     .simplified(),
                 outcome);
    }

    void splitAndBarValue()
    {
        QCOMPARE(splitLines(QStringLiteral("a\r\nb\n")), (QStringList{"a\r", "b", ""}));
        QCOMPARE(barValue(99.99f), 99);
        QCOMPARE(barValue(-0.5f), 0);
        QCOMPARE(barValue(3.0e10f), std::numeric_limits<int>::max());
        QCOMPARE(barValue(std::numeric_limits<float>::quiet_NaN()), 0);
    }
};

QTEST_APPLESS_MAIN(tst_SingleOutput)
#include "tst_singleoutput.moc"
