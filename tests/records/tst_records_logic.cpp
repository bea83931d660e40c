// Decisions behind the records: result classification, the run's record,
// batch counters, summary figures, exports and the silence watchdog.
#include "multi/silencewatchdog.h"
#include "records/batchcounters.h"
#include "records/boardrun.h"
#include "records/summary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using Records::Result;
Q_DECLARE_METATYPE(Records::Result)
Q_DECLARE_METATYPE(std::optional<Records::Result>)

namespace {
QDateTime at(int seconds)
{
    return QDateTime(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC).addSecs(seconds);
}

Records::BoardRecord made(const QString &bench, const QDateTime &start, qint64 ms, Result result)
{
    Records::BoardRecord r;
    r.bench = bench;
    r.start = start;
    r.end = start.addMSecs(ms);
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
    void serial_data();
    void serial();
    void serialOfNewPort_data();
    void serialOfNewPort();
    void runRecord_data();
    void runRecord();
    void counters_data();
    void counters();
    void countersNewBatch();
    void summaryGroupsByDayAndBench();
    void exports();
    void watchdog();
};

void tst_RecordsLogic::classify_data()
{
    QTest::addColumn<bool>("completed");
    QTest::addColumn<std::optional<Result>>("failure");
    QTest::addColumn<bool>("watchdog");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<Result>("expected");
    const std::optional<Result> none;
    QTest::newRow("complete") << true << none << false << false << false << Result::Success;
    QTest::newRow("complete then killed by stop") << true << none << false << true << true << Result::Success;
    QTest::newRow("not found, killed")
        << false << std::optional(Result::NotFound) << false << false << true << Result::NotFound;
    QTest::newRow("comm failure before stop")
        << false << std::optional(Result::CommFailed) << false << true << false << Result::CommFailed;
    QTest::newRow("too large") << false << std::optional(Result::TooLarge) << false << false << false
                               << Result::TooLarge;
    QTest::newRow("watchdog kill") << false << none << true << false << true << Result::Watchdog;
    QTest::newRow("stop kill") << false << none << false << true << true << Result::Stopped;
    QTest::newRow("crash") << false << none << false << false << true << Result::ToolCrashed;
    QTest::newRow("ended silently") << false << none << false << false << false << Result::DownloadFailed;
}

void tst_RecordsLogic::classify()
{
    QFETCH(bool, completed);
    QFETCH(std::optional<Result>, failure);
    QFETCH(bool, watchdog);
    QFETCH(bool, stopped);
    QFETCH(bool, crashed);
    QFETCH(Result, expected);
    QCOMPARE(Records::classify({completed, failure, watchdog, stopped, crashed}), expected);
}

void tst_RecordsLogic::serial_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("serial");
    QTest::newRow("windows") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#QB3133#{A5DCBF10-6530-11D2}")
                             << QStringLiteral("QB3133");
    QTest::newRow("no serial part") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000") << QString();
    QTest::newRow("empty serial") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000##{x}") << QString();
}

void tst_RecordsLogic::serial()
{
    QFETCH(QString, name);
    QFETCH(QString, serial);
    QCOMPARE(Records::serialFromInterfaceName(name), serial);
}

// Listings in a row: "ports/arrivals[+]" is one listing that found that many new
// ports and served that many arrivals ("+": another arrival came meanwhile);
// the expected serials are those of the one-port listings, "-" for unknown.
void tst_RecordsLogic::serialOfNewPort_data()
{
    QTest::addColumn<QStringList>("listings");
    QTest::addColumn<QString>("serials");
    QTest::newRow("boards one by one")
        << QStringList{"1/1", "1/1", "1/1"} << QStringLiteral("QB3131 QB3131 QB3131");
    // Two plugged quickly: the first listing finds both, the second serves the
    // second arrival and finds a third board, whose arrival the next one serves.
    QTest::newRow("quick plugs") << QStringList{"2/1", "1/1", "1/1+", "1/1"} << QStringLiteral("- - - -");
    QTest::newRow("settles again") << QStringList{"2/2", "1/1"} << QStringLiteral("- QB3131");
    QTest::newRow("arrival while listing") << QStringList{"1/1+", "1/1"} << QStringLiteral("- -");
    QTest::newRow("arrival without a new board")
        << QStringList{"0/1", "1/1", "1/1"} << QStringLiteral("- - QB3131");
    QTest::newRow("removal listing keeps pairing")
        << QStringList{"1/1", "0/0", "1/1"} << QStringLiteral("QB3131 - QB3131");
}

void tst_RecordsLogic::serialOfNewPort()
{
    QFETCH(QStringList, listings);
    QFETCH(QString, serials);
    const QString name = QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#QB3131#{x}");
    Records::SerialPairing pairing;
    QStringList got;
    for (const QString &listing : listings) {
        const QStringList counts = QString(listing).remove(QLatin1Char('+')).split(QLatin1Char('/'));
        QStringList served;
        for (int n = counts.at(1).toInt(); n > 0; --n)
            served << name;
        const QString serial =
            pairing.serialForNewPort(counts.at(0).toInt(), served, listing.endsWith(QLatin1Char('+')));
        got << (serial.isEmpty() ? QStringLiteral("-") : serial);
    }
    QCOMPARE(got.join(QLatin1Char(' ')), serials);
}

void tst_RecordsLogic::runRecord_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<Result>("result");
    QTest::addColumn<int>("recordedExit");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("own exit") << QStringList{QStringLiteral("break"), QStringLiteral("USB download failed"),
                                             QString()}
                              << false << 1 << false << Result::DownloadFailed << 1
                              << QStringLiteral("USB download failed");
    QTest::newRow("stopped") << QStringList{QStringLiteral("Waiting"), QStringLiteral("  ")} << true << 9
                             << true << Result::Stopped << -1 << QStringLiteral("Waiting");
    QTest::newRow("crash") << QStringList{QStringLiteral("break")} << false << 0 << true
                           << Result::ToolCrashed << -1 << QStringLiteral("break");
}

void tst_RecordsLogic::runRecord()
{
    QFETCH(QStringList, lines);
    QFETCH(bool, stop);
    QFETCH(int, exitCode);
    QFETCH(bool, crashed);
    QFETCH(Result, result);
    QFETCH(int, recordedExit);
    QFETCH(QString, lastLine);

    Records::BoardRecord identity;
    identity.bench = QStringLiteral("b1");
    identity.slot = 3;
    identity.lastLine = QStringLiteral("left from before");
    BoardRun run;
    run.begin(identity, at(0));
    QVERIFY(run.isActive());
    for (const QString &line : lines) {
        run.noteLine(line);
        if (line.contains(QLatin1String("failed")))
            run.noteFailure(Result::DownloadFailed);
    }
    if (stop)
        run.noteStopped();
    const Records::BoardRecord r = run.finish(exitCode, crashed, at(42).addMSecs(5));
    QVERIFY(!run.isActive());
    QCOMPARE(r.result, result);
    QCOMPARE(r.exitCode, recordedExit);
    QCOMPARE(r.lastLine, lastLine);
    QCOMPARE(r.durationMs, 42005);
    QCOMPARE(Records::isoUtc(r.start), QStringLiteral("2026-03-01T08:00:00.000Z"));
    QCOMPARE(Records::fromIsoUtc(Records::isoUtc(r.end)), r.end);
    QVERIFY(r.id.startsWith(QStringLiteral("b1/")));
    QCOMPARE(r.slot, 3);
}

void tst_RecordsLogic::counters_data()
{
    // Events: "s3" slot 3 starts, "p3" slot 3 passes, "f3" it fails.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("passed");
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("burning");
    QTest::newRow("none") << QStringList{} << 0 << 0 << 0;
    QTest::newRow("mixed") << QStringList{"s0", "s1", "s2", "p0", "f1"} << 1 << 1 << 1;
    QTest::newRow("finish counted once") << QStringList{"s0", "p0", "p0", "f0"} << 1 << 0 << 0;
    QTest::newRow("not started is not counted") << QStringList{"p4", "f5"} << 0 << 0 << 0;
    QTest::newRow("slot reused") << QStringList{"s0", "f0", "s0", "p0"} << 1 << 1 << 0;
}

void tst_RecordsLogic::counters()
{
    QFETCH(QStringList, events);
    QFETCH(int, passed);
    QFETCH(int, failed);
    QFETCH(int, burning);
    BatchCounters c;
    c.startBatch(at(0));
    for (const QString &e : events) {
        const int slot = e.mid(1).toInt();
        if (e.startsWith(QLatin1Char('s')))
            c.boardStarted(slot);
        else
            c.boardFinished(slot, e.startsWith(QLatin1Char('p')));
    }
    QCOMPARE(c.passed(), passed);
    QCOMPARE(c.failed(), failed);
    QCOMPARE(c.burning(), burning);
    // Finished boards over 30 minutes: twice as many per hour.
    QCOMPARE(c.boardsPerHour(at(1800)), 2.0 * (passed + failed));
    QCOMPARE(c.text(at(1800)),
             QStringLiteral("Batch: %1 passed, %2 failed, %3 burning, %4 boards/h, 00:30:00")
                 .arg(passed)
                 .arg(failed)
                 .arg(burning)
                 .arg(2.0 * (passed + failed), 0, 'f', 1));
}

void tst_RecordsLogic::countersNewBatch()
{
    BatchCounters c;
    c.boardStarted(0); // before any Start: no batch
    QCOMPARE(c.burning(), 0);
    c.startBatch(at(0));
    c.boardStarted(0);
    c.boardFinished(0, true);
    c.stopBatch(at(100));
    QCOMPARE(c.elapsedMs(at(5000)), 100000); // frozen at Stop
    c.boardStarted(1);
    QCOMPARE(c.burning(), 0);
    c.startBatch(at(200));
    QCOMPARE(c.passed(), 0);
    QCOMPARE(c.elapsedMs(at(203)), 3000);
    QCOMPARE(c.boardsPerHour(at(200)), 0.0);
}

void tst_RecordsLogic::summaryGroupsByDayAndBench()
{
    const QVector<Records::BoardRecord> records = {
        made(QStringLiteral("b2"), at(0), 3000, Result::Success),
        made(QStringLiteral("b1"), at(10), 1000, Result::Success),
        made(QStringLiteral("b1"), at(20), 5000, Result::DownloadFailed),
        made(QStringLiteral("b1"), at(30), 2000, Result::Success),
        made(QStringLiteral("b1"), at(30), 4000, Result::Stopped),
        made(QStringLiteral("b1"), at(86400), 7000, Result::Watchdog),
        made(QStringLiteral("b1"), at(86400), 9000, Result::Success),
        made(QStringLiteral("b1"), at(86400), 8000, Result::Success),
    };
    const QVector<Records::SummaryRow> rows = Records::summarize(records);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0).bench, QStringLiteral("b1"));
    QCOMPARE(rows.at(0).day, QDate(2026, 3, 1));
    QCOMPARE(rows.at(0).boards, 4);
    QCOMPARE(rows.at(0).passed, 2);
    QCOMPARE(rows.at(0).failed, 2);
    QCOMPARE(rows.at(0).yieldPercent, 50.0);
    QCOMPARE(rows.at(0).medianDurationS, 3.0);
    QCOMPARE(rows.at(1).bench, QStringLiteral("b2"));
    QCOMPARE(rows.at(2).day, QDate(2026, 3, 2));
    QCOMPARE(rows.at(2).yieldPercent, 200.0 / 3);
    QCOMPARE(rows.at(2).medianDurationS, 8.0); // odd count, unsorted
    const QStringList table = Records::summaryTable(rows).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(table.size(), 4);
    QVERIFY2(table.at(1).simplified() == QStringLiteral("2026-03-01 b1 4 2 2 50.0% 3.0"),
             qPrintable(table.at(1)));
}

void tst_RecordsLogic::exports()
{
    Records::BoardRecord r = made(QStringLiteral("b1"), at(0), 1500, Result::TooLarge);
    r.id = QStringLiteral("b1/x");
    r.source = QStringLiteral("/p/a,b \"c\".zip");
    r.lastLine = QStringLiteral("[ERR] updating file is too large");
    r.exitCode = 1;
    const QList<QByteArray> csv = Records::exportCsv({r}).split('\n');
    QCOMPARE(csv.at(0),
             QByteArray("id,bench,window,slot,port,serial,source,sha256,chip,os,start,end,duration_ms,"
                        "result,exit_code,last_line"));
    QCOMPARE(csv.at(1),
             QByteArray("b1/x,b1,,0,,,\"/p/a,b \"\"c\"\".zip\",,,,2026-03-01T08:00:00.000Z,"
                        "2026-03-01T08:00:01.500Z,1500,too_large,1,[ERR] updating file is too large"));
    const QJsonArray json = QJsonDocument::fromJson(Records::exportJson({r, r})).array();
    QCOMPARE(json.size(), 2);
    const QJsonObject first = json.at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("source")).toString(), r.source);
    QCOMPARE(first.value(QStringLiteral("result")).toString(), QStringLiteral("too_large"));
    QCOMPARE(first.value(QStringLiteral("duration_ms")).toInt(), 1500);
}

void tst_RecordsLogic::watchdog()
{
    SilenceWatchdog off(8, 0);
    off.arm(0, 0);
    QVERIFY(off.expired(1000000).isEmpty());

    SilenceWatchdog dog(8, 1000);
    dog.arm(1, 0);
    dog.arm(4, 0);
    dog.heard(6, 0); // never armed: stays off
    dog.heard(4, 600);
    QVERIFY(dog.expired(999).isEmpty());
    QCOMPARE(dog.expired(1000), QVector<int>{1});
    QVERIFY(dog.expired(1500).isEmpty()); // reported once
    QCOMPARE(dog.expired(1600), QVector<int>{4});
    dog.arm(2, 2000);
    dog.disarm(2);
    QVERIFY(dog.expired(9000).isEmpty());
}

QTEST_APPLESS_MAIN(tst_RecordsLogic)
#include "tst_records_logic.moc"
