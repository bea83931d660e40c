// The metrics endpoint: the Listen value, what a scrape shows after the
// window's calls, and clients that never read (a bad address and a port in
// use are fed through the window in tst_metrics_e2e).
#include "metrics/benchmetrics.h"
#include "metrics/listenaddress.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// One GET /metrics over a blocking socket; the body, or "" when none came.
QString scrape(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!socket.waitForConnected(5000))
        return QString();
    socket.write("GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    reply += socket.readAll();
    const int body = reply.indexOf("\r\n\r\n");
    return reply.startsWith("HTTP/1.1 200") && body > 0 ? QString::fromUtf8(reply.mid(body + 4)) : QString();
}

// The sample lines of a scrape that start so (comments left out).
QStringList samples(const QString &text, const QString &prefix)
{
    return text.split('\n').filter(QRegularExpression('^' + QRegularExpression::escape(prefix)));
}

} // namespace

class tst_Metrics : public QObject
{
    Q_OBJECT
private slots:
    void listen();
    void scrapeShowsWhatWasFed();
};

void tst_Metrics::listen()
{
    // A Listen value and the form the server is given (nothing when refused).
    for (const QString row :
         {"127.0.0.1:9464=127.0.0.1:9464", " 0.0.0.0:80 =0.0.0.0:80", "[::1]:9464=[::1]:9464",
          "127.0.0.1:0=127.0.0.1:0", "::1:9464=", "[127.0.0.1]:9464=", "127.0.0.1=", "9464=", ":9464=",
          "127.0.0.1:65536=", "127.0.0.1:-1=", "127.0.0.1:+80=", "localhost:9464=", "127.0.0.1:9464s=",
          "127.0.0.1:1,127.0.0.1:2="}) {
        const std::optional<Metrics::ListenAddress> address = Metrics::parseListen(row.section('=', 0, 0));
        QCOMPARE(row.section('=', 0, 0) + '=' + (address ? address->serverForm() : QString()), row);
    }
}

void tst_Metrics::scrapeShowsWhatWasFed()
{
    if (!BenchMetrics::available())
        QSKIP("this build serves no metrics");
    BenchMetrics metrics("B7");
    QString error;
    QVERIFY2(metrics.start("127.0.0.1:0", &error), qPrintable(error));

    metrics.boardFinished(0, "2,1", Records::Result::Success, 30000);
    metrics.boardFinished(0, "2,1", Records::Result::Success, 40000);
    metrics.boardFinished(2, "2,3", Records::Result::Watchdog, 125000);
    metrics.setBurning(3);
    metrics.setQueuedRecords(5);
    metrics.setPackage("0123456789ab", "");
    metrics.setPackage("ba9876543210", "key-fp"); // the package changed: one info series
    metrics.setWatchdogLimit(120000);
    metrics.setSlotSilence(1, 2500);
    metrics.setSlotSilence(4, 70000);
    metrics.setSlotSilence(4, -1); // slot 5 went idle

    QString text = scrape(metrics.port());
    QVERIFY(!text.isEmpty());
    QStringList finished = samples(text, "quor_boards_finished_total"); // served in no fixed order
    finished.sort();
    QCOMPARE(finished,
             QStringList(
                 {"quor_boards_finished_total{bench=\"B7\",port=\"2,1\",result=\"success\",slot=\"1\"} 2",
                  "quor_boards_finished_total{bench=\"B7\",port=\"2,3\",result=\"watchdog\",slot=\"3\"} 1"}));
    // Each of these alone under its name: the first package's info series is
    // replaced, and slot 5's silence went with the slot.
    for (const char *line :
         {"quor_boards_burning{bench=\"B7\"} 3", "quor_records_queued{bench=\"B7\"} 5",
          "quor_package_info{bench=\"B7\",package=\"ba9876543210\",signing_key=\"key-fp\"} 1",
          "quor_slot_silent_seconds{bench=\"B7\",slot=\"2\"} 2.5",
          "quor_watchdog_limit_seconds{bench=\"B7\"} 120"})
        QCOMPARE(samples(text, QString(line).section('{', 0, 0) + '{'), QStringList(line));
    QCOMPARE(samples(text, "quor_watchdog_stops_total").size(), 8);
    for (const char *line : {"quor_watchdog_stops_total{bench=\"B7\",slot=\"3\"} 1",
                             "quor_watchdog_stops_total{bench=\"B7\",slot=\"1\"} 0",
                             "quor_board_run_duration_seconds_count{bench=\"B7\"} 3",
                             "quor_board_run_duration_seconds_sum{bench=\"B7\"} 195",
                             "quor_board_run_duration_seconds_bucket{bench=\"B7\",le=\"30\"} 1",
                             "quor_board_run_duration_seconds_bucket{bench=\"B7\",le=\"120\"} 2"})
        QVERIFY2(text.contains(QString(line) + '\n'), line);

    // More stuck clients than server threads: some send nothing, some ask and never read.
    std::vector<std::unique_ptr<QTcpSocket>> stuck;
    for (int i = 0; i < 8; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->setReadBufferSize(1);
        socket->connectToHost(QHostAddress::LocalHost, quint16(metrics.port()));
        QVERIFY(socket->waitForConnected(5000));
        if (i % 2)
            socket->write("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        socket->flush();
        stuck.push_back(std::move(socket));
    }
    // Feeding never waits for them.
    QElapsedTimer clock;
    clock.start();
    qint64 slowest = 0;
    for (int i = 0; i < 20000; ++i) {
        const qint64 before = clock.nsecsElapsed();
        metrics.boardFinished(i % 8, "2,1", Records::Result::Success, 1000);
        metrics.setBurning(i % 8);
        metrics.setSlotSilence(i % 8, i);
        slowest = qMax(slowest, clock.nsecsElapsed() - before);
    }
    qInfo("20000 feeds in %lld ms, slowest %lld us", clock.elapsed(), slowest / 1000);
    QVERIFY2(slowest < 50 * 1000 * 1000, qPrintable(QString::number(slowest)));
    // A scrape gets through once the stuck requests time out, within the server's request time-out.
    clock.restart();
    QVERIFY(QTest::qWaitFor([&] { return !(text = scrape(metrics.port())).isEmpty(); }, 20000));
    qInfo("scrape answered after %lld ms", clock.elapsed());
    QVERIFY(text.contains(
        "quor_boards_finished_total{bench=\"B7\",port=\"2,1\",result=\"success\",slot=\"1\"} 2502\n"));
}

QTEST_MAIN(tst_Metrics)
#include "tst_metrics.moc"
