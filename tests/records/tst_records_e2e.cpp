// End to end on the simulated bench: a batch of eight boards with mixed
// results becomes eight records in SQLite (queued there when the fleet
// database cannot be reached), the counters line agrees with them,
// quor_records reads them, and the watchdog stops a silent slot alone; the same
// batch straight into a PostgreSQL server. The server stopped and restarted
// mid-batch: tst_records_fleet.
#include "multi/mainwindow.h"
#include "records/recordstore.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"
#include "tests/records/pgcluster.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR"));
}

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
    {"ok", Records::Result::Success, 0, "USB download complete"},
    {"commfail", Records::Result::CommFailed, 1, "usb commuicate failed!!!"},
    {"toolarge", Records::Result::TooLarge, 1, "[ERR] updating file is too large"},
    {"ok", Records::Result::Success, 0, "USB download complete"},
    {"notfound", Records::Result::NotFound, -1, "usb device not found"},
    {"crash", Records::Result::ToolCrashed, -1, nullptr},
};

} // namespace

class tst_RecordsE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void mixedBatchIsRecorded_data();
    void mixedBatchIsRecorded();
    void watchdogStopsTheSilentSlotAlone();

private:
    std::unique_ptr<PgCluster> cluster;
    QString clusterProblem;
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<MainWindow> window;
    QString zipPath;

    void openWindow(const QByteArray &extraIni);
    QString label(const char *name) const { return window->findChild<QLabel *>(QLatin1String(name))->text(); }
    QString statusText() const
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }
    QVector<Records::BoardRecord> records(const QString &location) const
    {
        RecordStore store(location);
        return store.open() ? store.records() : QVector<Records::BoardRecord>();
    }
};

void tst_RecordsE2E::initTestCase()
{
    QVERIFY(QFileInfo(binDir() + QStringLiteral("/usb_dl")).isExecutable());
    cluster = std::make_unique<PgCluster>();
    clusterProblem = cluster->start();
}

void tst_RecordsE2E::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(folder->isValid());
    const QString tool = folder->file(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), tool));
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("bench"))));
    qputenv("USB_DL_BENCH", folder->file(QStringLiteral("bench")).toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "15");
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    zipPath = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(ZipMaker::writeZip(zipPath, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zipPath);
}

void tst_RecordsE2E::cleanup()
{
    window.reset();
    folder.reset();
    qunsetenv("USB_DL_BENCH");
}

void tst_RecordsE2E::openWindow(const QByteArray &extraIni)
{
    QVERIFY(folder->writeFile(QStringLiteral("config/Board_config.ini"),
                              "[chip]\nchip_type=CHIPX\n[OS]\nOS_type=OSY\n" + extraIni));
    window = std::make_unique<MainWindow>();
    window->show();
    window->findChild<QPushButton *>(QStringLiteral("startButton"))->click();
}

void tst_RecordsE2E::mixedBatchIsRecorded_data()
{
    QTest::addColumn<bool>("fleet");
    QTest::addColumn<bool>("server");
    QTest::newRow("sqlite") << false << false;
    QTest::newRow("fleet database unreachable") << true << false;
    QTest::newRow("postgresql") << true << true;
}

void tst_RecordsE2E::mixedBatchIsRecorded()
{
    QFETCH(bool, fleet);
    QFETCH(bool, server);
    QString location = folder->file(QStringLiteral("records.sqlite"));
    QByteArray recordsIni;
    if (server) {
        if (!clusterProblem.isEmpty())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for this test: ") + clusterProblem));
        cluster->psql(QStringLiteral("DROP DATABASE IF EXISTS e2e"));
        cluster->psql(QStringLiteral("CREATE DATABASE e2e"));
        location = cluster->connectionString(QStringLiteral("e2e"));
        recordsIni = "[Records]\nDatabase=" + location.toUtf8() + "\n";
    } else if (fleet) {
        // No server behind that socket folder: every record waits in the local outbox.
        recordsIni = "[Records]\nDatabase=host=" + folder->file(QStringLiteral("no-server")).toUtf8() +
                     " port=5432 dbname=e2e\n";
    }
    openWindow(recordsIni);
    QCOMPARE(label("batchCountersLabel"),
             QStringLiteral("Batch: 0 passed, 0 failed, 0 burning, 0.0 boards/h, 00:00:00"));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    for (int n = 1; n <= 8; ++n) {
        QVERIFY(runBench({QStringLiteral("plug"), QStringLiteral("2"), QString::number(n),
                          QLatin1String(kBatch[n - 1].scenario)}));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        label("batchCountersLabel").startsWith(QStringLiteral("Batch: 3 passed, 5 failed, 0 burning, ")),
        30000);
    QTRY_COMPARE_WITH_TIMEOUT(records(location).size(), 8, 10000);
    auto *queueLabel = window->findChild<QLabel *>(QStringLiteral("recordsQueueLabel"));
    if (fleet && !server) {
        RecordStore outbox(location);
        QVERIFY(outbox.open());
        QCOMPARE(outbox.queuedCount(), 8);
        QTRY_VERIFY2(queueLabel->text().startsWith(QStringLiteral("8 record(s) queued")),
                     qPrintable(queueLabel->text()));
    }
    // With the server there, the line goes once the last record has reached it.
    QTRY_COMPARE(queueLabel->isHidden(), !fleet || server);

    QFile zip(zipPath);
    QVERIFY(zip.open(QIODevice::ReadOnly));
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(zip.readAll(), QCryptographicHash::Sha256).toHex());
    const QVector<Records::BoardRecord> all = records(location);
    QSet<QString> ids;
    for (const Records::BoardRecord &r : all) {
        QVERIFY(r.slot >= 1 && r.slot <= 8);
        const Board &expected = kBatch[r.slot - 1];
        const QString digit = QString::number(r.slot);
        QCOMPARE(r.port, QStringLiteral("2,") + digit);
        QCOMPARE(r.serial, QStringLiteral("QB32") + QString::number(digit.at(0).unicode(), 16));
        QCOMPARE(r.result, expected.result);
        QCOMPARE(r.exitCode, expected.exitCode);
        if (expected.lastLine)
            QCOMPARE(r.lastLine, QLatin1String(expected.lastLine));
        QCOMPARE(r.window, QStringLiteral("multi"));
        QCOMPARE(r.bench, Records::benchName());
        QVERIFY(r.id.startsWith(r.bench + QLatin1Char('/')));
        ids.insert(r.id);
        QCOMPARE(r.source, zipPath);
        QCOMPARE(r.sha256, sha);
        QCOMPARE(r.chip, QStringLiteral("CHIPX"));
        QCOMPARE(r.os, QStringLiteral("OSY"));
        QVERIFY(r.start >= before.addSecs(-1) && r.start <= r.end);
        QCOMPARE(r.durationMs, r.start.msecsTo(r.end));
    }
    QCOMPARE(ids.size(), 8);

    QProcess cli;
    cli.setWorkingDirectory(folder->path());
    cli.start(binDir() + QStringLiteral("/quor_records"),
              server ? QStringList{QStringLiteral("--database"), location, QStringLiteral("summary")}
                     : QStringList{QStringLiteral("summary")});
    QVERIFY(cli.waitForFinished(20000));
    const QString summary = QString::fromUtf8(cli.readAllStandardOutput()).simplified();
    QVERIFY2(summary.contains(Records::benchName() + QStringLiteral(" 8 3 5 37.5% ")), qPrintable(summary));
    cli.start(binDir() + QStringLiteral("/quor_records"),
              {QStringLiteral("--database"), location, QStringLiteral("export"), QStringLiteral("--format"),
               QStringLiteral("csv"), QStringLiteral("--since"), before.date().toString(Qt::ISODate)});
    QVERIFY(cli.waitForFinished(20000));
    const QString csv = QString::fromUtf8(cli.readAllStandardOutput());
    QCOMPARE(csv.count(QLatin1Char('\n')), 9);
    QCOMPARE(csv.count(QStringLiteral(",success,0,")), 3);

    // Stop ends the batch; the next Start begins a new one.
    window->findChild<QPushButton *>(QStringLiteral("stopButton"))->click();
    window->findChild<QPushButton *>(QStringLiteral("startButton"))->click();
    QVERIFY(label("batchCountersLabel").startsWith(QStringLiteral("Batch: 0 passed, 0 failed, 0 burning, ")));
}

void tst_RecordsE2E::watchdogStopsTheSilentSlotAlone()
{
    qputenv("USB_DL_SIM_DELAY_MS", "100"); // ok: a line every 0.1 s for about 4.5 s
    openWindow("[Watchdog]\nSilent_Seconds=1\n");
    QVERIFY(
        runBench({QStringLiteral("plug"), QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("hang")}));
    QVERIFY(
        runBench({QStringLiteral("plug"), QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("ok")}));
    const QString line =
        QStringLiteral("Board 1 (USB Port: 2,1, serial QB3231) printed nothing for 1 s: stopped as failed.");
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(line), 5000);
    QVERIFY(!statusText().contains(QStringLiteral("Board 2 download complete!")));
    QCOMPARE(window->findChild<QProgressBar *>(QStringLiteral("progressBar_1"))->styleSheet(),
             QStringLiteral("QProgressBar::chunk {background-color: red;}"));
    const QPixmap *picture = window->findChild<QLabel *>(QStringLiteral("status_1"))->pixmap();
    QVERIFY(picture);
    QCOMPARE(picture->toImage(), QImage(QStringLiteral(":/img/failed.png"))
                                     .scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation)
                                     .convertToFormat(QImage::Format_ARGB32_Premultiplied));

    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board 2 download complete!")), 15000);
    QCOMPARE(statusText().count(QStringLiteral("printed nothing")), 1);
    const QString location = folder->file(QStringLiteral("records.sqlite"));
    QTRY_COMPARE(records(location).size(), 2);
    for (const Records::BoardRecord &r : records(location))
        QCOMPARE(r.result, r.slot == 1 ? Records::Result::Watchdog : Records::Result::Success);
    QVERIFY(label("batchCountersLabel").startsWith(QStringLiteral("Batch: 1 passed, 1 failed, 0 burning, ")));
}

QTEST_MAIN(tst_RecordsE2E)
#include "tst_records_e2e.moc"
