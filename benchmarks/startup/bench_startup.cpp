// Start-up: from process start to the first expose event of the first window,
// for the multi-board, the single-board and the mode selection window, against
// a bare QMainWindow. All four are this same program started as a child (one
// binary, so the same libraries load the same way); the child runs the
// program's own start-up path (burn mode from Board_config.ini, the first
// window for it, show) in a fresh working folder. The parent takes the
// monotonic clock just before starting the child and hands it over in the
// environment; the child reads the clock at the first expose of a window.
// Kinds run in rotating order, the given number of rounds.
//
//   bench_startup [--repeat N]      (children: --child KIND)
//
// Default: 11 rounds.
#include "benchmarks/common/benchutil.h"
#include "benchmarks/common/benchwork.h"

#include "app/startup.h"
#include "app/windowfactory.h"
#include "common/boardconfig.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QSettings>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace {

// "labelled" is a bare window with one line of text: it shows how much of a
// window's first construction is the text machinery's one-time start.
const QStringList kKinds = {QStringLiteral("bare"), QStringLiteral("Multiple"), QStringLiteral("Single"),
                            QStringLiteral("selection"), QStringLiteral("labelled")};

// Milestones of one start, in ms from the parent's clock reading.
struct Milestones
{
    double application = 0; // QApplication constructed
    double built = 0;       // window constructed
    double shown = 0;       // show() returned
};

// Reports the first expose of any window with the milestones before it and
// ends the process at once.
class ExposeWatch final : public QObject
{
public:
    // makeWindow builds the same window again after the expose, to tell the
    // one-time initialisation from the window's own construction.
    ExposeWatch(qint64 t0, const Milestones &milestones, std::function<std::unique_ptr<QWidget>()> makeWindow)
        : m_t0(t0), m_milestones(milestones), m_makeWindow(std::move(makeWindow))
    {
    }
    double sinceStart() const { return double(BenchUtil::monotonicNs() - m_t0) / 1e6; }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window && window->isExposed()) {
                const double exposed = sinceStart();
                const qint64 again = BenchUtil::monotonicNs();
                const std::unique_ptr<QWidget> second = m_makeWindow();
                const double secondMs = double(BenchUtil::monotonicNs() - again) / 1e6;
                std::printf("STARTUP %.3f %.3f %.3f %.3f %.3f\n", exposed, m_milestones.application,
                            m_milestones.built, m_milestones.shown, secondMs);
                std::fflush(stdout);
                ::_exit(0); // tear-down is not part of the measurement
            }
        }
        return false;
    }

private:
    qint64 m_t0;
    const Milestones &m_milestones;
    std::function<std::unique_ptr<QWidget>()> m_makeWindow;
};

int runChild(const QString &kind)
{
    const qint64 t0 = qgetenv("BENCH_T0").toLongLong();
    int argc = 1;
    char name[] = "bench_startup";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const auto makeWindow = [&kind]() -> std::unique_ptr<QWidget> {
        if (kind == QLatin1String("bare"))
            return std::make_unique<QMainWindow>();
        if (kind == QLatin1String("labelled")) {
            auto window = std::make_unique<QMainWindow>();
            window->setCentralWidget(new QLabel(QStringLiteral("Board 1"), window.get()));
            return window;
        }
        // The program's own path: burn mode from Board_config.ini, its window.
        QSettings config(BoardConfig::path(), QSettings::IniFormat);
        config.beginGroup(QStringLiteral("Burn_Type"));
        const QString burnType = config.value(QStringLiteral("Burn_Type")).toString();
        config.endGroup();
        return createFirstWindow(Startup::firstWindowFor(burnType));
    };
    Milestones milestones;
    ExposeWatch watch(t0, milestones, makeWindow);
    milestones.application = watch.sinceStart();
    app.installEventFilter(&watch);
    const std::unique_ptr<QWidget> window = makeWindow();
    milestones.built = watch.sinceStart();
    window->show();
    milestones.shown = watch.sinceStart();
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    BenchUtil::preferOffscreen();
    qunsetenv("USB_DL_BENCH");
    {
        const QStringList args = [&] {
            QStringList list;
            for (int i = 0; i < argc; ++i)
                list.append(QString::fromLocal8Bit(argv[i]));
            return list;
        }();
        const QString child = BenchUtil::stringOption(args, QStringLiteral("--child"), QString());
        if (!child.isEmpty())
            return runChild(child);
    }
    QCoreApplication app(argc, argv);
    const int repeat = BenchUtil::intOption(QCoreApplication::arguments(), QStringLiteral("--repeat"), 11);

    // One working folder per kind, with the burn mode that opens its window.
    std::map<QString, std::unique_ptr<WindowTestFolder>> folders;
    for (const QString &kind : kKinds) {
        auto folder = std::make_unique<WindowTestFolder>();
        if (!folder->isValid() ||
            !folder->writeBoardConfig(QStringLiteral("CHIP"), QStringLiteral("OS"),
                                      kind == QLatin1String("selection")
                                          ? QByteArray()
                                          : "[Burn_Type]\nBurn_Type=" + kind.toUtf8() + "\n")) {
            std::fprintf(stderr, "cannot prepare the working folders\n");
            return 1;
        }
        folders[kind] = std::move(folder);
    }

    std::map<QString, std::vector<double>> ms, application, construction, showing, second;
    for (int r = 0; r < repeat; ++r) {
        for (int k = 0; k < kKinds.size(); ++k) {
            const QString &kind = kKinds.at((k + r) % kKinds.size());
            const WindowTestFolder &folder = *folders[kind];
            QProcess child;
            child.setWorkingDirectory(folder.path());
            child.setStandardErrorFile(QProcess::nullDevice());
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.file(QStringLiteral("settings")));
            env.insert(QStringLiteral("BENCH_T0"), QString::number(BenchUtil::monotonicNs()));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), kind});
            if (!child.waitForFinished(60000)) {
                child.kill();
                child.waitForFinished();
            }
            const QList<QByteArray> words = child.readAllStandardOutput().trimmed().split(' ');
            if (words.size() == 6 && words.at(0) == "STARTUP") {
                second[kind].push_back(words.at(5).toDouble());
                ms[kind].push_back(words.at(1).toDouble());
                application[kind].push_back(words.at(2).toDouble());
                construction[kind].push_back(words.at(3).toDouble() - words.at(2).toDouble());
                showing[kind].push_back(words.at(1).toDouble() - words.at(3).toDouble());
            } else
                std::printf("round %d: %s showed no window\n", r + 1, qPrintable(kind));
        }
    }

    const BenchUtil::Summary bare = BenchUtil::summarize(ms[QStringLiteral("bare")]);
    std::printf(
        "medians in ms: to the first expose = to QApplication + window construction + show to expose; "
        "then the same window constructed a second time\n");
    for (const QString &kind : kKinds)
        std::printf("%-10s %s = %.1f + %.1f + %.1f; second construction %.1f\n", qPrintable(kind),
                    qPrintable(BenchUtil::describe(BenchUtil::summarize(ms[kind]), 1)),
                    BenchUtil::summarize(application[kind]).median,
                    BenchUtil::summarize(construction[kind]).median,
                    BenchUtil::summarize(showing[kind]).median, BenchUtil::summarize(second[kind]).median);
    const std::map<QString, QString> titles = {
        {QStringLiteral("Multiple"), QStringLiteral("multi-board")},
        {QStringLiteral("Single"), QStringLiteral("single-board")},
        {QStringLiteral("selection"), QStringLiteral("mode selection")}};
    for (const QString &kind : kKinds.mid(1, 3)) {
        const BenchUtil::Summary s = BenchUtil::summarize(ms[kind]);
        const double ratio = bare.median > 0 ? s.median / bare.median : 0.0;
        BenchUtil::printTableRow(QStringLiteral("start-up to first expose, %1 window").arg(titles.at(kind)),
                                 QStringLiteral("%1 ms (%2..%3)")
                                     .arg(s.median, 0, 'f', 1)
                                     .arg(s.min, 0, 'f', 1)
                                     .arg(s.max, 0, 'f', 1),
                                 QStringLiteral("%1 ms bare QMainWindow (%2..%3)")
                                     .arg(bare.median, 0, 'f', 1)
                                     .arg(bare.min, 0, 'f', 1)
                                     .arg(bare.max, 0, 'f', 1),
                                 QStringLiteral("%1x").arg(ratio, 0, 'f', 2), QStringLiteral("<= 1.3x"),
                                 s.count == repeat && bare.count == repeat && ratio <= 1.3);
    }
    const BenchUtil::Summary labelled = BenchUtil::summarize(ms[QStringLiteral("labelled")]);
    BenchUtil::printTableRow(
        QStringLiteral("start-up to first expose, bare window with one label (comparison)"),
        QStringLiteral("%1 ms (%2..%3)")
            .arg(labelled.median, 0, 'f', 1)
            .arg(labelled.min, 0, 'f', 1)
            .arg(labelled.max, 0, 'f', 1),
        QStringLiteral("%1 ms bare QMainWindow").arg(bare.median, 0, 'f', 1),
        QStringLiteral("%1x").arg(bare.median > 0 ? labelled.median / bare.median : 0.0, 0, 'f', 2),
        QStringLiteral("-"), QStringLiteral("-"));
    return 0;
}
