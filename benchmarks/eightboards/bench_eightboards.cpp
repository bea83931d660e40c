// Eight boards at once: eight stand-in tools each replay the simulated tool's
// recorded download at a fixed rate (default 1,000 lines a second each) into
// a real multi-board window (offscreen), all eight launched by one arrival
// whose listing shows eight ports. Meanwhile a 10 ms single-shot timer on the
// GUI thread is re-armed at every timeout; its lateness against the due time
// is the event-loop latency. The reference is the same window after Start with
// nothing plugged (ticker running), measured in the same run.
//
//   bench_eightboards [--seconds N] [--reference-seconds N] [--rate LINES_PER_S] [--metrics]
//
// Defaults: 30 s loaded, 10 s reference, 1000 lines per second per tool.
// --metrics serves the live metrics on loopback and scrapes them every 100 ms
// from another thread while both runs measure.
#include "benchmarks/common/benchutil.h"
#include "benchmarks/common/benchwork.h"

#include "multi/mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kTimerMs = 10;

struct Sample
{
    qint64 at;     // ns, monotonic
    double lateMs; // how late the timeout came
};

// Every timeout of a re-armed single-shot timer over `seconds`.
std::vector<Sample> timerLateness(double seconds)
{
    std::vector<Sample> samples;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    qint64 due = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = BenchUtil::monotonicNs();
        samples.push_back({now, std::max<double>(0.0, double(now - due) / 1e6)});
        due = now + kTimerMs * 1000000LL;
        timer.start(kTimerMs);
    });
    const qint64 end = BenchUtil::monotonicNs() + qint64(seconds * 1e9);
    due = BenchUtil::monotonicNs() + kTimerMs * 1000000LL;
    timer.start(kTimerMs);
    waitUntil([end] { return BenchUtil::monotonicNs() >= end; }, int(seconds * 1000) + 60000);
    timer.stop();
    return samples;
}

std::vector<double> latenessOf(const std::vector<Sample> &samples)
{
    std::vector<double> values;
    for (const Sample &sample : samples)
        values.push_back(sample.lateMs);
    return values;
}

// The p99 of each whole 5 s window, so that the spread over the run shows.
std::vector<double> windowP99(const std::vector<Sample> &samples)
{
    constexpr qint64 kWindowNs = 5000000000LL;
    std::vector<double> result;
    if (samples.empty())
        return result;
    std::vector<double> window;
    qint64 windowEnd = samples.front().at + kWindowNs;
    for (const Sample &sample : samples) {
        if (sample.at >= windowEnd) {
            result.push_back(BenchUtil::percentile(window, 99));
            window.clear();
            windowEnd += kWindowNs;
        }
        window.push_back(sample.lateMs);
    }
    return result; // a last, partial window is left out
}

struct LatencyRun
{
    BenchUtil::Summary windows; // p99 per 5 s window
    double p50 = 0, p99 = 0, max = 0;
    int samples = 0;
    qint64 bytesRead = 0; // tool output that reached the window's handlers
    int running = 0;
};

LatencyRun measure(const WindowTestFolder &folder, bool loaded, double seconds, int rate)
{
    qputenv("BENCH_REPLAY_FILE", folder.file(QStringLiteral("ok.rec")).toLocal8Bit());
    qputenv("BENCH_REPLAY_RATE", QByteArray::number(rate));
    // Enough lines to outlast the measurement; the tools are killed at the end.
    qputenv("BENCH_REPLAY_LINES", QByteArray::number(qint64(rate * (seconds + 30))));
    qputenv("BENCH_REPLAY_HANG", "1");
    qputenv("BENCH_PORTS", "11,12,13,14,15,16,17,18");

    LatencyRun run;
    ScriptedDeviceSource devices;
    auto window = openMultiWindow(folder, &devices, true);
    bool counting = true;
    for (QProcess *process : window->findChildren<QProcess *>())
        // Emitted just before the window's handler reads everything available.
        QObject::connect(process, &QProcess::channelReadyRead, process, [&run, &counting, process](int) {
            if (counting)
                run.bytesRead += process->bytesAvailable();
        });
    if (loaded)
        devices.send(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("QB3131")), 1,
                     false);
    const std::vector<Sample> samples = timerLateness(seconds);
    counting = false;
    // Counted at the end: the tools are launched once the listing, which runs
    // in the background, has named their ports; they hang rather than end.
    for (QProcess *process : window->findChildren<QProcess *>())
        if (process->state() == QProcess::Running)
            ++run.running;
    const std::vector<double> lateness = latenessOf(samples);
    run.p50 = BenchUtil::percentile(lateness, 50);
    run.p99 = BenchUtil::percentile(lateness, 99);
    run.max = BenchUtil::percentile(lateness, 100);
    run.samples = int(lateness.size());
    run.windows = BenchUtil::summarize(windowP99(samples));
    pressButton(window.get(), "closeButton");
    return run;
}

// Scrapes http://127.0.0.1:port/metrics every 100 ms on its own thread, as a
// busy Prometheus server would.
class Scraper final
{
public:
    explicit Scraper(int port)
        : thread([this, port] {
              while (!stop) {
                  QTcpSocket socket;
                  socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
                  if (socket.waitForConnected(1000)) {
                      socket.write("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
                      QByteArray reply;
                      while (socket.waitForReadyRead(1000))
                          reply += socket.readAll();
                      if (reply.startsWith("HTTP/1.1 200"))
                          ++scrapes;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          })
    {
    }
    ~Scraper()
    {
        stop = true;
        thread.join();
    }
    std::atomic<int> scrapes{0};

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

} // namespace

int main(int argc, char *argv[])
{
    BenchUtil::preferOffscreen();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const double seconds = BenchUtil::doubleOption(args, QStringLiteral("--seconds"), 30.0);
    const double refSeconds = BenchUtil::doubleOption(args, QStringLiteral("--reference-seconds"), 10.0);
    const int rate = BenchUtil::intOption(args, QStringLiteral("--rate"), 1000);
    const bool metrics = args.contains(QStringLiteral("--metrics"));

    WindowTestFolder folder;
    if (!prepareReplay(folder)) {
        std::fprintf(stderr, "cannot prepare the working folder\n");
        return 1;
    }
    std::unique_ptr<Scraper> scraper;
    if (metrics) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        const int port = probe.serverPort();
        probe.close();
        QFile config(folder.file(QStringLiteral("config/Board_config.ini")));
        if (!config.open(QIODevice::Append) ||
            config.write("\n[Metrics]\nListen=127.0.0.1:" + QByteArray::number(port) + "\n") <= 0) {
            std::fprintf(stderr, "cannot turn the metrics on\n");
            return 1;
        }
        scraper = std::make_unique<Scraper>(port);
    }
    const QByteArray recorded = recordSimulatedRun(folder);
    if (recorded.isEmpty() || !folder.writeFile(QStringLiteral("ok.rec"), recorded)) {
        std::fprintf(stderr, "cannot record the simulated tool's output\n");
        return 1;
    }

    const LatencyRun reference = measure(folder, false, refSeconds, rate);
    std::printf(
        "reference (Start, nothing plugged, %.0f s): p50 %.2f ms, p99 %.2f ms, max %.2f ms, %d samples\n",
        refSeconds, reference.p50, reference.p99, reference.max, reference.samples);
    const LatencyRun loaded = measure(folder, true, seconds, rate);
    // Lines that reached the handlers, from the bytes read and the recording's mean line length.
    const double bytesPerLine = double(recorded.size()) / double(recorded.count('\n'));
    const double linesPerToolSecond = double(loaded.bytesRead) / bytesPerLine / 8.0 / seconds;
    std::printf(
        "eight tools at %d lines/s each (%.0f s): %d tools running, p50 %.2f ms, p99 %.2f ms, max %.2f ms, "
        "%d samples; %lld bytes read = %.0f lines/s per tool\n",
        rate, seconds, loaded.running, loaded.p50, loaded.p99, loaded.max, loaded.samples,
        static_cast<long long>(loaded.bytesRead), linesPerToolSecond);
    const bool delivered = loaded.running == 8 && linesPerToolSecond >= 0.95 * rate;
    if (!delivered)
        std::printf("WARNING: the window did not take the intended load (eight tools, %d lines/s each)\n",
                    rate);
    if (scraper)
        std::printf("metrics served and scraped %d times\n", scraper->scrapes.load());
    BenchUtil::printTableRow(QStringLiteral("8 boards x %1 lines/s%3, timer latency p99 (%2 s)")
                                 .arg(rate)
                                 .arg(seconds)
                                 .arg(metrics ? QStringLiteral(", metrics scraped") : QString()),
                             QStringLiteral("%1 ms (5 s windows %2..%3; max %4; %5 lines/s/tool)")
                                 .arg(loaded.p99, 0, 'f', 1)
                                 .arg(loaded.windows.min, 0, 'f', 1)
                                 .arg(loaded.windows.max, 0, 'f', 1)
                                 .arg(loaded.max, 0, 'f', 1)
                                 .arg(linesPerToolSecond, 0, 'f', 0),
                             QStringLiteral("%1 ms after Start, nothing plugged (max %2)")
                                 .arg(reference.p99, 0, 'f', 1)
                                 .arg(reference.max, 0, 'f', 1),
                             reference.p99 > 0
                                 ? QStringLiteral("%1x").arg(loaded.p99 / reference.p99, 0, 'f', 1)
                                 : QStringLiteral("-"),
                             QStringLiteral("p99 < 50 ms"), delivered && loaded.p99 < 50.0);
    return 0;
}
