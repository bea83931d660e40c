// End to end on the simulated bench: a batch of eight boards with mixed
// results, one of them silenced by the watchdog, shows in the window's boxes
// and the tool's calls as the bench's device events came, and becomes eight records in
// SQLite (queued there when the fleet database cannot be reached); the counters
// line agrees and quor_records reads them. A real Prometheus server scraping
// the window, whose endpoint a client that never reads holds meanwhile, reports
// the counts the records hold. A bad Listen value or a port in use costs one
// status line and nothing else. The writer's way to a PostgreSQL server is
// checked in tst_records.
#include "multi/mainwindow.h"
#include "records/recordstore.h"
#include "testfiles.h"
#include "tests/faults/faultbench.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// Slot n's scenario on port 2,n; its record's port, serial, result, exit code and last line.
const char *const kBatch[8][2] = {
    {"ok", "2,1 QB3231 success 0 USB download complete"},
    {"dlfail", "2,2 QB3232 download_failed 1 USB download failed"},
    {"hang", "2,3 QB3233 watchdog -1 Waiting for USB device connection: ..."},
    {"commfail", "2,4 QB3234 comm_failed 1 usb commuicate failed!!!"},
    {"toolarge", "2,5 QB3235 too_large 1 [ERR] updating file is too large"},
    {"ok", "2,6 QB3236 success 0 USB download complete"},
    {"notfound", "2,7 QB3237 not_found -1 usb device not found"},
    {"crash", "2,8 QB3238 tool_crashed -1 updated size: 5242880/20971520(25%)"},
};
// A silent board is stopped after 3 s.
const QByteArray kWatchdog = "[Watchdog]\nSilent_Seconds=3\n";

QVector<Records::BoardRecord> records(const QString &location)
{
    RecordStore store(location);
    return store.open() ? store.records() : QVector<Records::BoardRecord>();
}

// What quor_records prints on standard output for these arguments.
QString quorRecords(const QStringList &args)
{
    QProcess cli;
    cli.start(qEnvironmentVariable("QUOR_BIN_DIR") + "/quor_records", args);
    cli.waitForFinished(20000);
    return QString::fromUtf8(cli.readAllStandardOutput());
}

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// A Prometheus server in a temporary folder scraping one target every second.
class PrometheusServer
{
public:
    ~PrometheusServer()
    {
        server.kill();
        server.waitForFinished(10000);
    }
    // "" when it answers, else why not.
    QString start(int targetPort)
    {
        const QString config = dir.filePath("prometheus.yml");
        TestFiles::writeFile(config,
                             "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                             "  - job_name: quor\n    static_configs:\n      - targets: ['127.0.0.1:" +
                                 QByteArray::number(targetPort) + "']\n");
        port = freePort();
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start("prometheus", {"--config.file=" + config, "--storage.tsdb.path=" + dir.filePath("data"),
                                    QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
        const auto gone = [&] { return server.state() == QProcess::NotRunning; };
        if (!QTest::qWaitFor([&] { return !query("up").isEmpty() || gone(); }, 30000) || gone())
            return "it does not answer: " + server.errorString() +
                   QString::fromUtf8(server.readAll().right(2000));
        return QString();
    }
    // An instant query: each series' labels (as "name=value" joined by " ") and value.
    QMap<QString, double> query(const QString &expression)
    {
        QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(port));
        url.setQuery(QString::fromLatin1("query=" + QUrl::toPercentEncoding(expression)));
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 10000))
            return {};
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        QMap<QString, double> series;
        for (const QJsonValue &item : answer.value("data").toObject().value("result").toArray()) {
            QStringList labels;
            const QJsonObject metric = item.toObject().value("metric").toObject();
            for (auto it = metric.begin(); it != metric.end(); ++it)
                labels << it.key() + '=' + it.value().toString();
            series.insert(labels.join(' '),
                          item.toObject().value("value").toArray().at(1).toString().toDouble());
        }
        return series;
    }

private:
    QTemporaryDir dir;
    QProcess server;
    QNetworkAccessManager network;
    int port = 0;
};

} // namespace

class tst_RecordsE2E : public QObject
{
    Q_OBJECT
private slots:
    void mixedBatchIsRecorded_data();
    void mixedBatchIsRecorded();
    void countersNameAFailingPort();
};

void tst_RecordsE2E::mixedBatchIsRecorded_data()
{
    QTest::addColumn<QByteArray>("database"); // the fleet database, or a folder in place of the file
    QTest::addColumn<QByteArray>("listen");   // "?" stands for a free port, "@" for one another server holds
    QTest::addColumn<QString>("refusal");     // the status line of a refused Listen value
    QTest::newRow("sqlite, scraped by Prometheus") << QByteArray() << QByteArray("127.0.0.1:?") << QString();
    QTest::newRow("fleet database unreachable, bad Listen value")
        << QByteArray("unreachable") << QByteArray("bench-7:9464")
        << "Listen=bench-7:9464 is not an address and port such as 127.0.0.1:9464";
    QTest::newRow("a folder in place of records.sqlite, Listen port in use")
        << QByteArray("folder") << QByteArray("127.0.0.1:@")
        << "cannot listen on 127.0.0.1:@: The bound address is already in use";
}

void tst_RecordsE2E::mixedBatchIsRecorded()
{
    QFETCH(QByteArray, database);
    QFETCH(QByteArray, listen);
    QFETCH(QString, refusal);
    WindowTestFolder folder;
    const QString location = folder.file("records.sqlite");
    const bool blocked = database == "folder";
    if (blocked)
        QVERIFY(QDir().mkdir(location));
    QByteArray ini = kWatchdog;
    if (database == "unreachable") // no server behind that socket folder
        ini += "[Records]\nDatabase=host=" + folder.file("no-server").toUtf8() + " port=5432 dbname=e2e\n";
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    const int metricsPort = freePort();
    listen.replace('?', QByteArray::number(metricsPort))
        .replace('@', QByteArray::number(holder.serverPort()));
    if (!refusal.isEmpty()) { // said once, and the batch burns all the same
        refusal = "Metrics not served: " + refusal.replace('@', QString::number(holder.serverPort())) + '.';
        QTest::ignoreMessage(QtWarningMsg, qPrintable(refusal));
    }
    const QString zip = folder.setUpBench(ini + "[Metrics]\nListen=" + listen + "\n");
    QVERIFY(!zip.isEmpty());
    PrometheusServer prometheus;
    const QString problem = refusal.isEmpty() ? prometheus.start(metricsPort) : QString("not asked for");
    const bool scraped = problem.isEmpty();

    MainWindow window;
    MultiWindowView view(&window);
    window.show();
    QCOMPARE(view.status().count("Metrics not served"), refusal.isEmpty() ? 0 : 1);
    QVERIFY2(view.status().contains(refusal), qPrintable(view.status()));
    QTcpSocket stuck; // a client that connects, asks, and never reads its answer
    const QString bench = Records::benchName();
    if (scraped) {
        stuck.setReadBufferSize(1);
        stuck.connectToHost(QHostAddress::LocalHost, quint16(metricsPort));
        QVERIFY(stuck.waitForConnected(5000));
        stuck.write("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(prometheus.query("up{job=\"quor\"}").values(), QList<double>{1.0}, 20000);
    }
    Faults::LatencyProbe probe;
    view.click("startButton");
    auto *counters = view.child<QLabel>("batchCountersLabel");

    const QDateTime before = QDateTime::currentDateTimeUtc();
    for (int n = 1; n <= 8; ++n)
        QVERIFY(runBench({"plug", "2", QString::number(n), kBatch[n - 1][0]}));
    if (scraped)
        QTRY_VERIFY_WITH_TIMEOUT(prometheus.query("max(quor_slot_silent_seconds)").value("") >= 1.0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(counters->text().startsWith("Batch: 2 passed, 6 failed, 0 burning, "), 30000);
    const qint64 longestGap = probe.longest;
    // Each board's box and the tool's call, the failed ones red (the crashed tool's board aside).
    const QString calls = folder.readFile("bench/calls.log"), images = folder.file("pkg/QuorBurnImage/");
    QStringList shown, expected;
    for (int n = 1; n <= 7; ++n) {
        const QImage picture = view.picture(n);
        shown << QStringLiteral("%1 %2 %3 %4")
                     .arg(view.title(n), picture == MultiWindowView::resource(":/img/success.png")  ? "passed"
                                         : picture == MultiWindowView::resource(":/img/failed.png") ? "failed"
                                                                                                    : "?")
                     .arg(view.bar(n)->styleSheet() == "QProgressBar::chunk {background-color: red;}")
                     .arg(calls.count(QString("-c CHIPX -s OSY -i %1 -p 2,%2\n").arg(images).arg(n)));
        const bool passed = QByteArray(kBatch[n - 1][0]) == "ok";
        expected << QStringLiteral("Board %1->USB Port: 2,%1 %2 %3 1")
                        .arg(n)
                        .arg(passed ? "passed" : "failed")
                        .arg(!passed);
    }
    QCOMPARE(shown, expected);
    for (const int n : {1, 6}) // the ticker takes the passed boards' bars to the end
        QTRY_COMPARE(view.bar(n)->value(), 100);
    for (const char *line : {"Board 1 download complete!\n", "Board 7 download failed! Please restart.\n"})
        QVERIFY(view.status().contains(line));
    QVERIFY(folder.readFile("log_multiplex.txt")
                .contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));
    QCOMPARE(view.status().count("Board 3 (USB Port: 2,3, serial QB3233) printed nothing for 3 s"), 1);
    if (blocked) { // said while it lasts, and the records follow once the folder is gone
        auto *line = view.child<QLabel>("recordsNotKeptLabel");
        QTRY_COMPARE(
            line->isHidden() ? QString() : line->text(),
            QStringLiteral("Records are not being kept: records.sqlite is not a regular file; 8 waiting"));
        QVERIFY(QDir().rmdir(location));
        QTRY_VERIFY_WITH_TIMEOUT(line->isHidden(), 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(records(location).size(), 8, 10000);
    // Without the fleet database every record waits in the outbox, and the window says so.
    const bool queued = database == "unreachable";
    auto *queueLabel = view.child<QLabel>("recordsQueueLabel");
    RecordStore local(location);
    QVERIFY(local.open());
    QCOMPARE(local.queuedCount(), queued ? 8 : 0);
    QTRY_COMPARE(queueLabel->isHidden() ? QString() : queueLabel->text().left(18),
                 queued ? QStringLiteral("8 record(s) queued") : QString());

    QFile package(zip);
    QVERIFY(package.open(QIODevice::ReadOnly));
    const QByteArray sha = QCryptographicHash::hash(package.readAll(), QCryptographicHash::Sha256).toHex();
    // The ids differ: one sent again would be kept once and the count above fall short.
    QStringList got;
    QMap<QString, double> perResult;
    for (const Records::BoardRecord &r : records(location)) {
        got << QStringLiteral("%1 %2 %3 %4 %5")
                   .arg(r.port, r.serial, Records::resultName(r.result), QString::number(r.exitCode),
                        r.lastLine);
        QCOMPARE(QStringList({r.window, r.bench, r.source, r.sha256, r.chip, r.os}),
                 QStringList({"multi", bench, zip, sha, "CHIPX", "OSY"}));
        QVERIFY(r.id.startsWith(r.bench + '/'));
        QVERIFY(r.start >= before.addSecs(-1) && r.start.msecsTo(r.end) == r.durationMs && r.durationMs > 0);
        perResult["result=" + Records::resultName(r.result)] += 1.0;
    }
    got.sort();
    for (int n = 0; n < 8; ++n)
        QCOMPARE(got.value(n), QLatin1String(kBatch[n][1]));

    const QString summary =
        quorRecords({"--database", location, "summary", "--since", before.date().toString(Qt::ISODate)});
    QVERIFY2(summary.simplified().contains(bench + " 8 2 6 25.0% "), qPrintable(summary));
    // Per port: one board each, none flagged.
    const QStringList rows =
        quorRecords({"--database", location, "ports", "--bench", bench}).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 9);
    QVERIFY2(rows.at(2).startsWith(bench + "\t2,2\t1\t1\t100.0%\t") &&
                 !rows.join('\n').contains("check cable"),
             qPrintable(rows.join('\n')));
    if (!refusal.isEmpty())
        return;
    if (!scraped)
        QSKIP(qPrintable("no Prometheus server for this test: " + problem));

    // Prometheus has them once it scraped after the last board ended.
    QTRY_COMPARE_WITH_TIMEOUT(
        prometheus.query("sum by (result) (quor_boards_finished_total{bench=\"" + bench + "\"})"), perResult,
        20000);
    QCOMPARE(prometheus.query("sum(quor_watchdog_stops_total)").value(""), 1.0);
    QCOMPARE(prometheus.query("sum(quor_watchdog_limit_seconds)").value(""), 3.0);
    QCOMPARE(prometheus.query("quor_boards_burning{bench=\"" + bench + "\"}").values(), QList<double>({0.0}));
    QCOMPARE(prometheus.query("quor_board_run_duration_seconds_count").values(), QList<double>({8.0}));
    QCOMPARE(
        prometheus.query("count(quor_package_info{package=\"" + QString(sha.left(12)) + "\"})").value(""),
        1.0);
    QTRY_COMPARE_WITH_TIMEOUT(prometheus.query("count(quor_slot_silent_seconds)").size(), 0, 5000);
    qInfo("longest event-loop gap during the batch: %lld ms", longestGap);
    QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));
    QCOMPARE(stuck.state(), QAbstractSocket::ConnectedState); // it was really held open
}

void tst_RecordsE2E::countersNameAFailingPort()
{
    // Port 2,1 fails every board, port 2,2 passes every one: with two ports the
    // sixth board on each makes it clear, not the fifth.
    WindowTestFolder folder;
    QVERIFY(!folder.setUpBench(kWatchdog).isEmpty());
    MainWindow window;
    MultiWindowView view(&window);
    window.show();
    view.click("startButton");
    auto *counters = view.child<QLabel>("batchCountersLabel");
    const char *const scenario[2] = {"dlfail", "ok"};
    for (int board = 1; board <= 6; ++board) {
        for (int port = 1; port <= 2; ++port) {
            const QString number = QString::number(port);
            // A board that passed leaves its slot done: the next arrival only clears that.
            if (board > 1)
                QVERIFY(runBench({"unplug", "2", number}));
            if (board > 1 && port == 2)
                QVERIFY(runBench({"plug", "2", number, "ok"}) && runBench({"unplug", "2", number}));
            QVERIFY(runBench({"plug", "2", number, scenario[port - 1]}));
            QTRY_VERIFY_WITH_TIMEOUT(
                counters->text().contains(QStringLiteral("Batch: %1 passed, %2 failed, 0 burning")
                                              .arg(board - 1 + port - 1)
                                              .arg(board)),
                20000);
        }
        QCOMPARE(counters->text().endsWith("; port 2,1 fails 100 %: check its cable"), board == 6);
    }
}

QTEST_MAIN(tst_RecordsE2E)
#include "tst_records_e2e.moc"
