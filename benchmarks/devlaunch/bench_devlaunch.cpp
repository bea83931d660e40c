// Device to launch: from a simulated arrival handed to the multi-board window
// (after Start, offscreen) to the started signal of the slot's tool process,
// against the time the port-listing tool itself takes (started and waited
// for, as the window does). The tool is the simulated one (tools/usb_dl) with
// one board plugged on its bench; the board hangs once launched, so the
// measurement ends at the start. Every round builds a fresh window and times
// one listing alone and one arrival, in alternating order.
//
//   bench_devlaunch [--repeat N]
//
// Default: 15 rounds.
#include "benchmarks/common/benchutil.h"
#include "benchmarks/common/benchwork.h"

#include "common/toolcontract.h"
#include "multi/mainwindow.h"

#include <QApplication>
#include <QProcess>

#include <cstdio>

namespace {

double listingMs(const WindowTestFolder &folder)
{
    QProcess listing;
    listing.setWorkingDirectory(folder.file(QStringLiteral("config")));
    listing.setProcessChannelMode(QProcess::MergedChannels);
    const qint64 start = BenchUtil::monotonicNs();
    listing.start(folder.file(QStringLiteral("config/")) + QLatin1String(ToolContract::kExecutable),
                  {QLatin1String(ToolContract::kOptList)});
    listing.waitForStarted(30000);
    const bool finished = listing.waitForFinished(30000);
    const double ms = double(BenchUtil::monotonicNs() - start) / 1e6;
    listing.readAll();
    return finished && listing.exitCode() == 0 ? ms : -1.0;
}

double arrivalToStartMs(const WindowTestFolder &folder)
{
    ScriptedDeviceSource devices;
    auto window = openMultiWindow(folder, &devices, true);
    qint64 started = 0;
    for (QProcess *process : window->findChildren<QProcess *>())
        QObject::connect(process, &QProcess::started, process, [&started] {
            if (started == 0)
                started = BenchUtil::monotonicNs();
        });
    const qint64 arrival = BenchUtil::monotonicNs();
    devices.send(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("QB3131")), 1, false);
    waitUntil([&started] { return started != 0; }, 30000);
    pressButton(window.get(), "closeButton");
    return started ? double(started - arrival) / 1e6 : -1.0;
}

// One board on port 1,1 of the simulated bench that hangs once launched.
bool plugHangingBoard()
{
    QProcess driver;
    driver.start(siblingProgram(QStringLiteral("usb_dl_bench")),
                 {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("hang"),
                  QStringLiteral("--no-event")});
    return driver.waitForFinished(10000) && driver.exitStatus() == QProcess::NormalExit &&
           driver.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchUtil::preferOffscreen();
    QApplication app(argc, argv);
    const int repeat = BenchUtil::intOption(QCoreApplication::arguments(), QStringLiteral("--repeat"), 15);

    WindowTestFolder folder;
    const QString simBench = folder.file(QStringLiteral("simbench"));
    qputenv("USB_DL_BENCH", simBench.toLocal8Bit());
    if (!folder.isValid() || !folder.writeBoardConfig() ||
        !folder.installTool(siblingProgram(QStringLiteral("usb_dl"))) || !plugHangingBoard()) {
        std::fprintf(stderr, "cannot prepare the working folder and the simulated bench\n");
        return 1;
    }

    std::vector<double> ours, listing, extra;
    for (int r = 0; r < repeat; ++r) {
        double a = 0, l = 0;
        if (r % 2 == 0) {
            l = listingMs(folder);
            a = arrivalToStartMs(folder);
        } else {
            a = arrivalToStartMs(folder);
            l = listingMs(folder);
        }
        if (a < 0 || l < 0) {
            std::printf("round %d: %s\n", r + 1, a < 0 ? "no launch" : "listing failed");
            continue;
        }
        ours.push_back(a);
        listing.push_back(l);
        extra.push_back(a - l);
    }
    const BenchUtil::Summary o = BenchUtil::summarize(ours), l = BenchUtil::summarize(listing),
                             e = BenchUtil::summarize(extra);
    std::printf(
        "arrival to tool started: %s ms\nlisting alone:           %s ms\ndifference per round:    %s ms\n",
        qPrintable(BenchUtil::describe(o, 2)), qPrintable(BenchUtil::describe(l, 2)),
        qPrintable(BenchUtil::describe(e, 2)));
    BenchUtil::printTableRow(
        QStringLiteral("arrival to tool process started"),
        QStringLiteral("%1 ms (%2..%3)").arg(o.median, 0, 'f', 1).arg(o.min, 0, 'f', 1).arg(o.max, 0, 'f', 1),
        QStringLiteral("%1 ms listing alone (%2..%3)")
            .arg(l.median, 0, 'f', 1)
            .arg(l.min, 0, 'f', 1)
            .arg(l.max, 0, 'f', 1),
        QStringLiteral("%1x, +%2 ms")
            .arg(l.median > 0 ? o.median / l.median : 0.0, 0, 'f', 2)
            .arg(e.median, 0, 'f', 1),
        QStringLiteral("<= listing + 20 ms"), o.count == repeat && o.median <= l.median + 20.0);
    return 0;
}
