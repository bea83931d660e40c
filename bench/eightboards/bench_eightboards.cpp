// Eight boards at once: eight stand-in tools each replay the simulated tool's
// recorded download at a fixed rate (default 1,000 lines a second each) into
// a real multi-board window (offscreen), all eight launched by one arrival
// whose listing shows eight ports. Meanwhile a 10 ms single-shot timer on the
// GUI thread is re-armed at every timeout; its lateness against the due time
// is the event-loop latency. The reference is the same window after Start with
// nothing plugged (ticker running), measured in the same run.
//
//   bench_eightboards [--seconds N] [--reference-seconds N] [--rate LINES_PER_S]
//
// Defaults: 30 s loaded, 10 s reference, 1000 lines per second per tool.
#include "bench/common/benchutil.h"
#include "bench/common/benchwork.h"

#include "multi/mainwindow.h"
#include "multi/multiplexlog.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kTimerMs = 10;

// Lateness (ms) of every timeout of a re-armed single-shot timer over `seconds`.
std::vector<double> timerLateness(double seconds)
{
    std::vector<double> lateness;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    qint64 due = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = BenchUtil::monotonicNs();
        lateness.push_back(std::max<double>(0.0, double(now - due) / 1e6));
        due = now + kTimerMs * 1000000LL;
        timer.start(kTimerMs);
    });
    const qint64 end = BenchUtil::monotonicNs() + qint64(seconds * 1e9);
    due = BenchUtil::monotonicNs() + kTimerMs * 1000000LL;
    timer.start(kTimerMs);
    waitUntil([end] { return BenchUtil::monotonicNs() >= end; }, int(seconds * 1000) + 60000);
    timer.stop();
    return lateness;
}

struct LatencyRun
{
    double p50 = 0, p99 = 0, max = 0;
    int samples = 0;
    int logLines = 0;
    int running = 0;
};

LatencyRun measure(const BenchFolder &folder, bool loaded, double seconds, int rate)
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
    if (loaded)
        devices.arrive(downloadDeviceName(QStringLiteral("QB3131")));
    for (QProcess *process : window->findChildren<QProcess *>())
        if (process->state() == QProcess::Running)
            ++run.running;
    const std::vector<double> lateness = timerLateness(seconds);
    run.p50 = BenchUtil::percentile(lateness, 50);
    run.p99 = BenchUtil::percentile(lateness, 99);
    run.max = BenchUtil::percentile(lateness, 100);
    run.samples = int(lateness.size());
    run.logLines = folder.countLines(QLatin1String(MultiplexLog::kFileName), "[Board ");
    pressButton(window.get(), "closeButton");
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const double seconds = BenchUtil::doubleOption(args, QStringLiteral("--seconds"), 30.0);
    const double refSeconds = BenchUtil::doubleOption(args, QStringLiteral("--reference-seconds"), 10.0);
    const int rate = BenchUtil::intOption(args, QStringLiteral("--rate"), 1000);

    BenchFolder folder;
    if (!folder.isValid() || !folder.writeBoardConfig() ||
        !folder.installTool(siblingProgram(QStringLiteral("bench_replay_tool")))) {
        std::fprintf(stderr, "cannot prepare the working folder\n");
        return 1;
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
    const double linesPerToolSecond = loaded.logLines / 8.0 / seconds;
    std::printf(
        "eight tools at %d lines/s each (%.0f s): %d tools running, p50 %.2f ms, p99 %.2f ms, max %.2f ms, "
        "%d samples; %d lines logged = %.0f lines/s per tool\n",
        rate, seconds, loaded.running, loaded.p50, loaded.p99, loaded.max, loaded.samples, loaded.logLines,
        linesPerToolSecond);
    const bool delivered = loaded.running == 8 && linesPerToolSecond >= 0.9 * rate;
    if (!delivered)
        std::printf("WARNING: the eight tools did not deliver the intended load\n");
    BenchUtil::printTableRow(
        QStringLiteral("8 boards x %1 lines/s, timer latency p99 (%2 s)").arg(rate).arg(seconds),
        QStringLiteral("%1 ms (max %2, %3 lines/s/tool)")
            .arg(loaded.p99, 0, 'f', 1)
            .arg(loaded.max, 0, 'f', 1)
            .arg(linesPerToolSecond, 0, 'f', 0),
        QStringLiteral("%1 ms idle (max %2)").arg(reference.p99, 0, 'f', 1).arg(reference.max, 0, 'f', 1),
        reference.p99 > 0 ? QStringLiteral("%1x").arg(loaded.p99 / reference.p99, 0, 'f', 1)
                          : QStringLiteral("-"),
        QStringLiteral("p99 < 50 ms"), delivered && loaded.p99 < 50.0);
    return 0;
}
