// End to end on the simulated bench: a batch of eight boards with mixed
// results, one of them silenced by the watchdog, becomes eight records in
// SQLite (queued there when the fleet database cannot be reached) or straight
// in a PostgreSQL server; the counters line agrees and quor_records reads them.
#include "multi/mainwindow.h"
#include "records/recordstore.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"
#include "tests/records/pgcluster.h"

#include <QCryptographicHash>
#include <QtTest>

#include <memory>

namespace {

struct Board
{
    const char *scenario;
    Records::Result result;
    int exitCode;
    const char *lastLine;
};

// Slot n is plugged on port 2,n; its serial on the bench is QB32 + hex of n's digit.
const Board kBatch[8] = {
    {"ok", Records::Result::Success, 0, "USB download complete"},
    {"dlfail", Records::Result::DownloadFailed, 1, "USB download failed"},
    {"hang", Records::Result::Watchdog, -1, "Waiting for USB device connection: ..."},
    {"commfail", Records::Result::CommFailed, 1, "usb commuicate failed!!!"},
    {"toolarge", Records::Result::TooLarge, 1, "[ERR] updating file is too large"},
    {"ok", Records::Result::Success, 0, "USB download complete"},
    {"notfound", Records::Result::NotFound, -1, "usb device not found"},
    {"crash", Records::Result::ToolCrashed, -1, nullptr},
};

QVector<Records::BoardRecord> records(const QString &location)
{
    RecordStore store(location);
    return store.open() ? store.records() : QVector<Records::BoardRecord>();
}

QString quorRecords(const QStringList &args)
{
    QProcess cli;
    cli.start(qEnvironmentVariable("QUOR_BIN_DIR") + QStringLiteral("/quor_records"), args);
    cli.waitForFinished(20000);
    return QString::fromUtf8(cli.readAllStandardOutput());
}

} // namespace

class tst_RecordsE2E : public QObject
{
    Q_OBJECT
private slots:
    void mixedBatchIsRecorded_data();
    void mixedBatchIsRecorded();

private:
    PgCluster cluster;
    QString clusterProblem = QStringLiteral("not started");
};

void tst_RecordsE2E::mixedBatchIsRecorded_data()
{
    QTest::addColumn<QByteArray>("database"); // the fleet database
    QTest::newRow("sqlite") << QByteArray();
    QTest::newRow("fleet database unreachable") << QByteArray("unreachable");
    QTest::newRow("postgresql") << QByteArray("postgresql");
}

void tst_RecordsE2E::mixedBatchIsRecorded()
{
    QFETCH(QByteArray, database);
    WindowTestFolder folder;
    QVERIFY(folder.isValid());
    const QString tool = folder.file(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(qEnvironmentVariable("QUOR_BIN_DIR") + QStringLiteral("/usb_dl"), tool));
    QVERIFY(QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("bench"))));
    qputenv("USB_DL_BENCH", folder.file(QStringLiteral("bench")).toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "15");
    const QString zipPath = folder.file(QStringLiteral("images.zip"));
    QVERIFY(ZipMaker::writeZip(zipPath, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zipPath);

    const bool server = database == "postgresql";
    QString location = folder.file(QStringLiteral("records.sqlite"));
    if (server) {
        if (clusterProblem == QLatin1String("not started"))
            clusterProblem = cluster.start();
        if (!clusterProblem.isEmpty())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for this test: ") + clusterProblem));
        cluster.psql(QStringLiteral("CREATE DATABASE e2e"));
        location = cluster.connectionString(QStringLiteral("e2e"));
        database = location.toUtf8();
    } else if (!database.isEmpty()) {
        // No server behind that socket folder: every record waits in the local outbox.
        database = "host=" + folder.file(QStringLiteral("no-server")).toUtf8() + " port=5432 dbname=e2e";
    }
    QVERIFY(
        folder.writeFile(QStringLiteral("config/Board_config.ini"),
                         "[chip]\nchip_type=CHIPX\n[OS]\nOS_type=OSY\n[Watchdog]\nSilent_Seconds=3\n" +
                             (database.isEmpty() ? QByteArray() : "[Records]\nDatabase=" + database + "\n")));
    MainWindow window;
    MultiWindowView view(&window);
    window.show();
    view.click("startButton");
    auto *counters = view.child<QLabel>(QStringLiteral("batchCountersLabel"));
    QCOMPARE(counters->text(),
             QStringLiteral("Batch: 0 passed, 0 failed, 0 burning, 0.0 boards/h, 00:00:00"));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    for (int n = 1; n <= 8; ++n)
        QVERIFY(runBench({QStringLiteral("plug"), QStringLiteral("2"), QString::number(n),
                          QLatin1String(kBatch[n - 1].scenario)}));
    QTRY_VERIFY_WITH_TIMEOUT(
        counters->text().startsWith(QStringLiteral("Batch: 2 passed, 6 failed, 0 burning, ")), 30000);
    QCOMPARE(view.status().count(QStringLiteral("printed nothing")), 1);
    QVERIFY(view.status().contains(QStringLiteral(
        "Board 3 (USB Port: 2,3, serial QB3233) printed nothing for 3 s: stopped as failed.")));
    QTRY_COMPARE_WITH_TIMEOUT(records(location).size(), 8, 10000);
    auto *queueLabel = view.child<QLabel>(QStringLiteral("recordsQueueLabel"));
    if (!server && !database.isEmpty()) {
        RecordStore outbox(location);
        QVERIFY(outbox.open());
        QCOMPARE(outbox.queuedCount(), 8);
        QTRY_VERIFY2(queueLabel->text().startsWith(QStringLiteral("8 record(s) queued")),
                     qPrintable(queueLabel->text()));
    }
    // With the server there, the line goes once the last record has reached it.
    QTRY_COMPARE(queueLabel->isHidden(), database.isEmpty() || server);

    QFile zip(zipPath);
    QVERIFY(zip.open(QIODevice::ReadOnly));
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(zip.readAll(), QCryptographicHash::Sha256).toHex());
    QSet<QString> ids;
    for (const Records::BoardRecord &r : records(location)) {
        QVERIFY(r.slot >= 1 && r.slot <= 8);
        const Board &expected = kBatch[r.slot - 1];
        QCOMPARE(r.port, QStringLiteral("2,%1").arg(r.slot));
        QCOMPARE(r.serial, QStringLiteral("QB32%1").arg(QChar('0' + r.slot).unicode(), 0, 16));
        QCOMPARE(r.result, expected.result);
        QCOMPARE(r.exitCode, expected.exitCode);
        if (expected.lastLine)
            QCOMPARE(r.lastLine, QLatin1String(expected.lastLine));
        QCOMPARE(QStringList({r.window, r.bench, r.source, r.sha256, r.chip, r.os}),
                 QStringList({QStringLiteral("multi"), Records::benchName(), zipPath, sha,
                              QStringLiteral("CHIPX"), QStringLiteral("OSY")}));
        QVERIFY(r.id.startsWith(r.bench + QLatin1Char('/')));
        ids.insert(r.id);
        QVERIFY(r.start >= before.addSecs(-1) && r.start <= r.end);
        QCOMPARE(r.durationMs, r.start.msecsTo(r.end));
    }
    QCOMPARE(ids.size(), 8);

    const QString summary = quorRecords({QStringLiteral("--database"), location, QStringLiteral("summary"),
                                         QStringLiteral("--since"), before.date().toString(Qt::ISODate)});
    QVERIFY2(summary.simplified().contains(Records::benchName() + QStringLiteral(" 8 2 6 25.0% ")),
             qPrintable(summary));

    // Stop ends the batch; the next Start begins a new one.
    view.click("stopButton");
    view.click("startButton");
    QVERIFY(counters->text().startsWith(QStringLiteral("Batch: 0 passed, 0 failed, 0 burning, ")));
    view.click("stopButton");
}

QTEST_MAIN(tst_RecordsE2E)
#include "tst_records_e2e.moc"
