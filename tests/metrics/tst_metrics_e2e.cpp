// End to end: a real Prometheus server on loopback scrapes the multi-board
// window while the simulated bench burns a mixed batch and a client that never
// reads holds a connection to the endpoint; Prometheus' HTTP API must report
// the counts the records hold, and the window keeps answering. A bad Listen
// value or a port in use costs one status line and nothing else.
#include "multi/mainwindow.h"
#include "records/recordstore.h"
#include "tests/faults/faultbench.h"
#include "windowtestenv.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// Slot n's scenario on port 2,n.
const char *const kBatch[8] = {"ok", "dlfail", "hang", "commfail", "toolarge", "ok", "notfound", "crash"};
// A silent board is stopped after 3 s; the Listen value follows.
const QByteArray kIni = "[Watchdog]\nSilent_Seconds=3\n[Metrics]\nListen=";

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
        const QString program = QStandardPaths::findExecutable("prometheus");
        if (program.isEmpty())
            return "prometheus is not installed";
        const QString config = dir.filePath("prometheus.yml");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QStringLiteral("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                      "scrape_configs:\n  - job_name: quor\n    static_configs:\n"
                                      "      - targets: ['127.0.0.1:%1']\n")
                           .arg(targetPort)
                           .toUtf8()) < 0)
            return "cannot write its configuration";
        file.close();
        port = freePort();
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(program, {"--config.file=" + config, "--storage.tsdb.path=" + dir.filePath("data"),
                               QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
        const auto gone = [&] { return server.state() == QProcess::NotRunning; };
        if (!QTest::qWaitFor([&] { return !query("up").isEmpty() || gone(); }, 30000) || gone())
            return "it does not answer: " + QString::fromUtf8(server.readAll().right(2000));
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

class tst_MetricsE2E : public QObject
{
    Q_OBJECT
private slots:
    void prometheusSeesTheRecords();
    void refusedListenKeepsBurning_data();
    void refusedListenKeepsBurning();
    void countersNameAFailingPort();
};

void tst_MetricsE2E::prometheusSeesTheRecords()
{
    WindowTestFolder folder;
    const int metricsPort = freePort();
    const QString zip = folder.setUpBench(kIni + "127.0.0.1:" + QByteArray::number(metricsPort));
    QVERIFY(!zip.isEmpty());
    PrometheusServer prometheus;
    const QString problem = prometheus.start(metricsPort);
    if (!problem.isEmpty())
        QSKIP(qPrintable("no Prometheus server for this test: " + problem));

    MainWindow window;
    MultiWindowView view(&window);
    window.show();
    QVERIFY(!view.status().contains("Metrics not served"));
    // A client that connects, asks, and never reads its answer.
    QTcpSocket stuck;
    stuck.setReadBufferSize(1);
    stuck.connectToHost(QHostAddress::LocalHost, quint16(metricsPort));
    QVERIFY(stuck.waitForConnected(5000));
    stuck.write("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");

    const QString bench = Records::benchName();
    QTRY_COMPARE_WITH_TIMEOUT(
        prometheus.query("up{job=\"quor\"}")
            .value("__name__=up instance=127.0.0.1:" + QString::number(metricsPort) + " job=quor"),
        1.0, 20000);
    Faults::LatencyProbe probe;
    view.click("startButton");
    auto *counters = view.child<QLabel>("batchCountersLabel");
    for (int n = 1; n <= 8; ++n)
        QVERIFY(runBench({"plug", "2", QString::number(n), kBatch[n - 1]}));
    QTRY_VERIFY_WITH_TIMEOUT(prometheus.query("max(quor_slot_silent_seconds)").value("") >= 1.0, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(counters->text().startsWith("Batch: 2 passed, 6 failed, 0 burning, "), 30000);
    const qint64 longestGap = probe.longest;

    RecordStore store(folder.file("records.sqlite"));
    QVERIFY(store.open());
    QTRY_COMPARE_WITH_TIMEOUT(store.records().size(), 8, 10000);
    QMap<QString, double> expected;
    for (const Records::BoardRecord &r : store.records())
        expected["result=" + Records::resultName(r.result)] += 1.0;
    // Prometheus has them once it scraped after the last board ended.
    const QString perResult = "sum by (result) (quor_boards_finished_total{bench=\"" + bench + "\"})";
    QTRY_COMPARE_WITH_TIMEOUT(prometheus.query(perResult), expected, 20000);
    QCOMPARE(prometheus.query("sum(quor_watchdog_stops_total)").value(""), 1.0);
    QCOMPARE(prometheus.query("sum(quor_watchdog_limit_seconds)").value(""), 3.0);
    QCOMPARE(prometheus.query("quor_boards_burning{bench=\"" + bench + "\"}").values(), QList<double>({0.0}));
    QCOMPARE(prometheus.query("quor_board_run_duration_seconds_count").values(), QList<double>({8.0}));
    QFile package(zip);
    QVERIFY(package.open(QIODevice::ReadOnly));
    const QString shortHash =
        QCryptographicHash::hash(package.readAll(), QCryptographicHash::Sha256).toHex().left(12);
    QCOMPARE(prometheus.query("count(quor_package_info{package=\"" + shortHash + "\"})").value(""), 1.0);
    QTRY_COMPARE_WITH_TIMEOUT(prometheus.query("count(quor_slot_silent_seconds)").size(), 0, 5000);

    // The same records per port: one board each, none flagged.
    QProcess cli;
    cli.start(qEnvironmentVariable("QUOR_BIN_DIR") + "/quor_records",
              {"--database", folder.file("records.sqlite"), "ports", "--bench", bench});
    QVERIFY(cli.waitForFinished(20000));
    const QStringList rows = QString::fromUtf8(cli.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 9);
    QVERIFY2(rows.at(2).startsWith(bench + "\t2,2\t1\t1\t100.0%\t") &&
                 !rows.join('\n').contains("check cable"),
             qPrintable(rows.join('\n')));

    qInfo("longest event-loop gap during the batch: %lld ms", longestGap);
    QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));
    QCOMPARE(stuck.state(), QAbstractSocket::ConnectedState); // it was really held open
}

void tst_MetricsE2E::refusedListenKeepsBurning_data()
{
    QTest::addColumn<QByteArray>("listen"); // "@" stands for a port another server holds
    QTest::addColumn<QString>("line");
    QTest::newRow("bad value") << QByteArray("bench-7:9464")
                               << "Listen=bench-7:9464 is not an address and port such as 127.0.0.1:9464";
    QTest::newRow("port in use") << QByteArray("127.0.0.1:@")
                                 << "cannot listen on 127.0.0.1:@: The bound address is already in use";
}

void tst_MetricsE2E::refusedListenKeepsBurning()
{
    QFETCH(QByteArray, listen);
    QFETCH(QString, line);
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    listen.replace('@', QByteArray::number(holder.serverPort()));
    line = "Metrics not served: " + line.replace('@', QString::number(holder.serverPort())) + '.';
    WindowTestFolder folder;
    QVERIFY(!folder.setUpBench(kIni + listen).isEmpty());
    QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    MainWindow window;
    MultiWindowView view(&window);
    window.show();
    QCOMPARE(view.status().count("Metrics not served"), 1);
    QVERIFY2(view.status().contains(line), qPrintable(view.status()));
    view.click("startButton");
    QVERIFY(runBench({"plug", "2", "1", "ok"}));
    QTRY_VERIFY_WITH_TIMEOUT(
        view.child<QLabel>("batchCountersLabel")->text().startsWith("Batch: 1 passed, 0 failed"), 20000);
}

void tst_MetricsE2E::countersNameAFailingPort()
{
    // Port 2,1 fails every board, port 2,2 passes every one: with two ports the
    // sixth board on each makes it clear, not the fifth.
    WindowTestFolder folder;
    QVERIFY(!folder.setUpBench(kIni).isEmpty());
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

QTEST_MAIN(tst_MetricsE2E)
#include "tst_metrics_e2e.moc"
