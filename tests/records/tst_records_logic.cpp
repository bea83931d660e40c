// Decisions behind the records: result classification, serial pairing, batch
// counters, summary figures and exports.
#include "records/batchcounters.h"
#include "records/summary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using Records::Result;

namespace {
QDateTime at(int seconds)
{
    return QDateTime(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC).addSecs(seconds);
}

Records::BoardRecord made(const char *bench, int startS, qint64 ms, Result result)
{
    Records::BoardRecord r;
    r.bench = bench;
    r.start = at(startS);
    r.end = r.start.addMSecs(ms);
    r.durationMs = ms;
    r.result = result;
    return r;
}
} // namespace

class tst_RecordsLogic : public QObject
{
    Q_OBJECT
private slots:
    void classify_data();
    void classify();
    void serialOfNewPort_data();
    void serialOfNewPort();
    void counters_data();
    void counters();
    void summaryAndExports();
};

// What the run showed: "c" completed, "n" a not-found line, "m" a comm
// failure line, "w" watchdog, "s" stopped by the operator, "x" crashed.
void tst_RecordsLogic::classify_data()
{
    QTest::addColumn<QString>("seen");
    QTest::addColumn<QString>("result");
    QTest::newRow("complete, then killed by stop") << "csx"
                                                   << "success";
    QTest::newRow("not found, killed") << "nx"
                                       << "not_found";
    QTest::newRow("comm failure before stop") << "ms"
                                              << "comm_failed";
    QTest::newRow("watchdog kill") << "wsx"
                                   << "watchdog";
    QTest::newRow("stop kill") << "sx"
                               << "stopped";
    QTest::newRow("crash") << "x"
                           << "tool_crashed";
    QTest::newRow("ended silently") << ""
                                    << "download_failed";
}

void tst_RecordsLogic::classify()
{
    QFETCH(QString, seen);
    QFETCH(QString, result);
    Records::RunOutcome o{seen.contains('c'), std::nullopt, seen.contains('w'), seen.contains('s'),
                          seen.contains('x')};
    if (seen.contains('n') || seen.contains('m'))
        o.lineFailure = seen.contains('n') ? Result::NotFound : Result::CommFailed;
    QCOMPARE(Records::resultName(Records::classify(o)), result);
}

// Listings in a row: "ports/arrivals[+]" is one listing that found that many new
// ports and served that many arrivals ("+": another arrival came meanwhile);
// the expected serial of each listing, "-" for unknown.
void tst_RecordsLogic::serialOfNewPort_data()
{
    QTest::addColumn<QStringList>("listings");
    QTest::addColumn<QString>("serials");
    QTest::newRow("boards one by one") << QStringList{"1/1", "1/1"} << "QB3131 QB3131";
    // Two plugged quickly: the first listing finds both, the second serves the
    // second arrival and finds a third board, whose arrival the next one serves.
    QTest::newRow("quick plugs") << QStringList{"2/1", "1/1", "1/1+", "1/1"} << "- - - -";
    QTest::newRow("settles again") << QStringList{"2/2", "1/1"} << "- QB3131";
    QTest::newRow("arrival without a new board") << QStringList{"0/1", "1/1", "1/1"} << "- - QB3131";
    QTest::newRow("removal listing keeps pairing") << QStringList{"1/1", "0/0", "1/1"} << "QB3131 - QB3131";
}

void tst_RecordsLogic::serialOfNewPort()
{
    QFETCH(QStringList, listings);
    QFETCH(QString, serials);
    Records::SerialPairing pairing;
    QStringList got;
    for (const QString &listing : listings) {
        QStringList served;
        for (int n = listing.at(2).digitValue(); n > 0; --n)
            served << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#QB3131#{x}");
        const QString serial =
            pairing.serialForNewPort(listing.at(0).digitValue(), served, listing.endsWith('+'));
        got << (serial.isEmpty() ? QStringLiteral("-") : serial);
    }
    QCOMPARE(got.join(' '), serials);
}

// Events: "s3" slot 3 starts, "p3" passes, "f3" fails; "S" Stop at 10 minutes,
// "B" a new batch at 20 minutes. The counters are read at 30 minutes.
void tst_RecordsLogic::counters_data()
{
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("text");
    QTest::newRow("mixed") << QStringList{"s0", "s1", "s2", "p0", "f1"}
                           << "Batch: 1 passed, 1 failed, 1 burning, 4.0 boards/h, 00:30:00";
    QTest::newRow("finish counted once, not started not counted")
        << QStringList{"s0", "p0", "p0", "f0", "f5"}
        << "Batch: 1 passed, 0 failed, 0 burning, 2.0 boards/h, 00:30:00";
    QTest::newRow("slot reused") << QStringList{"s0", "f0", "s0", "p0"}
                                 << "Batch: 1 passed, 1 failed, 0 burning, 4.0 boards/h, 00:30:00";
    QTest::newRow("frozen at stop") << QStringList{"s0", "p0", "S", "s1"}
                                    << "Batch: 1 passed, 0 failed, 0 burning, 6.0 boards/h, 00:10:00";
    QTest::newRow("new batch starts at zero")
        << QStringList{"s0", "p0", "S", "B", "s1"}
        << "Batch: 0 passed, 0 failed, 1 burning, 0.0 boards/h, 00:10:00";
}

void tst_RecordsLogic::counters()
{
    QFETCH(QStringList, events);
    QFETCH(QString, text);
    BatchCounters c;
    c.startBatch(at(0));
    for (const QString &e : events) {
        if (e == "S")
            c.stopBatch(at(600));
        else if (e == "B")
            c.startBatch(at(1200));
        else if (e.startsWith('s'))
            c.boardStarted(e.mid(1).toInt());
        else
            c.boardFinished(e.mid(1).toInt(), e.startsWith('p'));
    }
    QCOMPARE(c.text(at(1800)), text);
}

void tst_RecordsLogic::summaryAndExports()
{
    const QVector<Records::BoardRecord> records = {
        made("b2", 0, 3000, Result::Success),         made("b1", 10, 1000, Result::Success),
        made("b1", 20, 5000, Result::DownloadFailed), made("b1", 30, 2000, Result::Success),
        made("b1", 30, 4000, Result::Stopped),        made("b1", 86400, 7000, Result::Watchdog),
        made("b1", 86400, 9000, Result::Success),     made("b1", 86400, 8000, Result::Success),
    };
    // By day, then bench; the median of an even count is the mean of the middle two.
    QCOMPARE(Records::summaryTable(Records::summarize(records)).simplified(),
             QStringLiteral("day bench boards passed failed yield median_s 2026-03-01 b1 4 2 2 50.0% 3.0 "
                            "2026-03-01 b2 1 1 0 100.0% 3.0 2026-03-02 b1 3 2 1 66.7% 8.0"));

    Records::BoardRecord r = records.at(0);
    r.id = "b1/x";
    r.source = "/p/a,b \"c\".zip";
    r.result = Result::TooLarge;
    r.exitCode = 1;
    QCOMPARE(Records::exportCsv({r}),
             QByteArray("id,bench,window,slot,port,serial,source,sha256,chip,os,start,end,duration_ms,"
                        "result,exit_code,last_line\nb1/x,b2,,0,,,\"/p/a,b \"\"c\"\".zip\",,,,"
                        "2026-03-01T08:00:00.000Z,2026-03-01T08:00:03.000Z,3000,too_large,1,\n"));
    const QJsonArray json = QJsonDocument::fromJson(Records::exportJson({r, r})).array();
    QCOMPARE(json.size(), 2);
    QCOMPARE(json.at(1).toObject().value("source").toString(), r.source);
    QCOMPARE(json.at(1).toObject().value("duration_ms").toInt(), 3000);
}

QTEST_APPLESS_MAIN(tst_RecordsLogic)
#include "tst_records_logic.moc"
