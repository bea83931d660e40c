// Idle cost: CPU time (user + system, all threads) that a shown window uses
// while nothing happens, as a share of one core. Three kinds run side by side
// as child processes of this program, so they share the machine's state:
// a bare QMainWindow, the multi-board window as constructed (ticker running,
// no receivers yet) and the multi-board window after Start with nothing
// plugged (ticker driving the eight bars). Each child waits one second after
// showing its window, then measures over the chosen time. The device source
// is the one the program itself would create. Last, the time a new progress
// value takes to reach its bar through the ticker.
//
//   bench_idle [--seconds N] [--repeat N]      (children: --child KIND --seconds N)
//
// Defaults: 20 s, 3 rounds.
#include "benchmarks/common/benchutil.h"
#include "benchmarks/common/benchwork.h"

#include "multi/mainwindow.h"
#include "multi/processbarthread.h"

#include <QApplication>
#include <QMainWindow>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

const QStringList kKinds = {QStringLiteral("bare"), QStringLiteral("multi"), QStringLiteral("multi-started")};

int runChild(const QString &kind, double seconds)
{
    WindowTestFolder folder;
    if (!folder.isValid() || !folder.writeBoardConfig())
        return 1;
    std::unique_ptr<QWidget> window;
    if (kind == QLatin1String("bare")) {
        window = std::make_unique<QMainWindow>();
        window->resize(1281, 960);
        window->show();
    } else {
        window = openMultiWindow(folder, nullptr, kind == QLatin1String("multi-started"));
    }
    // Plain event loops with one timer each: the measuring adds no wake-ups.
    QTimer::singleShot(1000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpu0 = BenchUtil::processCpuSeconds();
    const qint64 wall0 = BenchUtil::monotonicNs();
    QTimer::singleShot(int(seconds * 1000), qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpu = BenchUtil::processCpuSeconds() - cpu0;
    const double wall = double(BenchUtil::monotonicNs() - wall0) / 1e9;
    std::printf("IDLE %s %.6f %.6f\n", qPrintable(kind), cpu, wall);
    std::fflush(stdout);
    if (auto *multi = qobject_cast<MainWindow *>(window.get()))
        pressButton(multi, "closeButton");
    return 0;
}

// How long a new progress value takes to reach its bar through the ticker,
// connected the way the window connects it (queued, across threads): the
// value is set at a random point of the ticker's cycle and the bar's
// valueChanged is awaited.
std::vector<double> valueToBarMs(int changes)
{
    processbarthread ticker;
    QProgressBar bar;
    QObject::connect(&ticker, SIGNAL(process1(int)), &bar, SLOT(setValue(int)));
    qint64 setAt = 0;
    int expected = 0;
    std::vector<double> ms;
    QObject::connect(&bar, &QProgressBar::valueChanged, &bar, [&](int value) {
        if (setAt != 0 && value == expected) {
            ms.push_back(double(BenchUtil::monotonicNs() - setAt) / 1e6);
            setAt = 0;
        }
    });
    ticker.start();
    std::srand(1);
    for (int i = 1; i <= changes; ++i) {
        const qint64 pauseUntil = BenchUtil::monotonicNs() + (std::rand() % 20) * 1000000LL;
        waitUntil([pauseUntil] { return BenchUtil::monotonicNs() >= pauseUntil; }, 1000);
        expected = i % 2 ? 37 : 0; // a rise, then a reset to 0 as Stop makes
        setAt = BenchUtil::monotonicNs();
        ticker.setProgress(0, float(expected));
        waitUntil([&setAt] { return setAt == 0; }, 2000);
    }
    ticker.setStopFlag(1);
    ticker.wait();
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchUtil::preferOffscreen();
    qunsetenv("USB_DL_BENCH");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const double seconds = BenchUtil::doubleOption(args, QStringLiteral("--seconds"), 20.0);
    const QString child = BenchUtil::stringOption(args, QStringLiteral("--child"), QString());
    if (!child.isEmpty())
        return runChild(child, seconds);
    const int repeat = BenchUtil::intOption(args, QStringLiteral("--repeat"), 3);

    std::map<QString, std::vector<double>> percent; // share of one core, in %
    for (int r = 0; r < repeat; ++r) {
        std::vector<std::unique_ptr<QProcess>> children;
        for (const QString &kind : kKinds) {
            auto process = std::make_unique<QProcess>();
            process->setProcessChannelMode(QProcess::SeparateChannels);
            process->setStandardErrorFile(QProcess::nullDevice());
            process->start(
                QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), kind, QStringLiteral("--seconds"), QString::number(seconds)});
            children.push_back(std::move(process));
        }
        for (auto &process : children) {
            process->waitForFinished(int(seconds * 1000) + 60000);
            const QList<QByteArray> words = process->readAllStandardOutput().trimmed().split(' ');
            if (words.size() == 4 && words.at(0) == "IDLE")
                percent[QString::fromUtf8(words.at(1))].push_back(100.0 * words.at(2).toDouble() /
                                                                  words.at(3).toDouble());
        }
        std::printf("round %d:", r + 1);
        for (const QString &kind : kKinds)
            if (!percent[kind].empty())
                std::printf(" %s %.3f %%", qPrintable(kind), percent[kind].back());
        std::printf("\n");
        std::fflush(stdout);
    }

    const BenchUtil::Summary bare = BenchUtil::summarize(percent[QStringLiteral("bare")]);
    for (const QString &kind : kKinds)
        std::printf("%-14s %s %% of one core\n", qPrintable(kind),
                    qPrintable(BenchUtil::describe(BenchUtil::summarize(percent[kind]), 3)));
    for (const QString &kind : {QStringLiteral("multi"), QStringLiteral("multi-started")}) {
        const BenchUtil::Summary s = BenchUtil::summarize(percent[kind]);
        const bool measured = s.count == repeat && bare.count == repeat;
        BenchUtil::printTableRow(
            QStringLiteral("idle CPU, %1 window (%2 s)")
                .arg(kind == QLatin1String("multi") ? QStringLiteral("multi-board")
                                                    : QStringLiteral("multi-board after Start"))
                .arg(seconds),
            QStringLiteral("%1 % (%2..%3)")
                .arg(s.median, 0, 'f', 2)
                .arg(s.min, 0, 'f', 2)
                .arg(s.max, 0, 'f', 2),
            QStringLiteral("%1 % bare window").arg(bare.median, 0, 'f', 2),
            // A bare window sleeps almost entirely; a ratio to it says little.
            bare.median >= 0.05 ? QStringLiteral("%1x").arg(s.median / bare.median, 0, 'f', 1)
                                : QStringLiteral("+%1 points").arg(s.median - bare.median, 0, 'f', 2),
            QStringLiteral("<= 1 % of a core"), measured && s.median <= 1.0);
    }

    constexpr int kChanges = 200;
    const std::vector<double> toBar = valueToBarMs(kChanges);
    const BenchUtil::Summary t = BenchUtil::summarize(toBar);
    const double p99 = BenchUtil::percentile(toBar, 99);
    std::printf("progress value to bar: %s ms, p99 %.2f ms\n", qPrintable(BenchUtil::describe(t, 2)), p99);
    BenchUtil::printTableRow(
        QStringLiteral("progress value to its bar through the ticker"),
        QStringLiteral("%1 ms (p99 %2, max %3)")
            .arg(t.median, 0, 'f', 1)
            .arg(p99, 0, 'f', 1)
            .arg(t.max, 0, 'f', 1),
        QStringLiteral("%1 ms ticker cycle").arg(processbarthread::kCycleMs),
        QStringLiteral("%1x").arg(t.median / double(processbarthread::kCycleMs), 0, 'f', 2),
        QStringLiteral("within ~10 ms"),
        t.count == kChanges && t.median <= double(processbarthread::kCycleMs));
    return 0;
}
