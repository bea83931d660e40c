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
#include "bench/common/benchutil.h"
#include "bench/common/benchwork.h"

#include "app/boardconfig.h"
#include "app/startup.h"
#include "app/windowfactory.h"

#include <QApplication>
#include <QMainWindow>
#include <QProcess>
#include <QSettings>
#include <QWindow>

#include <cstdio>
#include <map>
#include <unistd.h>

namespace {

const QStringList kKinds = {QStringLiteral("bare"), QStringLiteral("Multiple"), QStringLiteral("Single"),
                            QStringLiteral("selection")};

// Reports the first expose of any window and ends the process at once.
class ExposeWatch final : public QObject
{
public:
    explicit ExposeWatch(qint64 t0) : m_t0(t0) {}
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window && window->isExposed()) {
                const double ms = double(BenchUtil::monotonicNs() - m_t0) / 1e6;
                std::printf("STARTUP %.3f\n", ms);
                std::fflush(stdout);
                ::_exit(0); // tear-down is not part of the measurement
            }
        }
        return false;
    }

private:
    qint64 m_t0;
};

int runChild(const QString &kind)
{
    const qint64 t0 = qgetenv("BENCH_T0").toLongLong();
    int argc = 1;
    char name[] = "bench_startup";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    ExposeWatch watch(t0);
    app.installEventFilter(&watch);
    std::unique_ptr<QWidget> window;
    if (kind == QLatin1String("bare")) {
        window = std::make_unique<QMainWindow>();
    } else {
        // The program's own path: burn mode from Board_config.ini, its window.
        QSettings config(BoardConfig::path(), QSettings::IniFormat);
        config.beginGroup(QStringLiteral("Burn_Type"));
        const QString burnType = config.value(QStringLiteral("Burn_Type")).toString();
        config.endGroup();
        window = createFirstWindow(Startup::firstWindowFor(burnType));
    }
    window->show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
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
    std::map<QString, std::unique_ptr<BenchFolder>> folders;
    for (const QString &kind : kKinds) {
        auto folder = std::make_unique<BenchFolder>();
        if (!folder->isValid() ||
            !folder->writeBoardConfig(kind == QLatin1String("selection") ? QString() : kind)) {
            std::fprintf(stderr, "cannot prepare the working folders\n");
            return 1;
        }
        folders[kind] = std::move(folder);
    }

    std::map<QString, std::vector<double>> ms;
    for (int r = 0; r < repeat; ++r) {
        for (int k = 0; k < kKinds.size(); ++k) {
            const QString &kind = kKinds.at((k + r) % kKinds.size());
            const BenchFolder &folder = *folders[kind];
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
            if (words.size() == 2 && words.at(0) == "STARTUP")
                ms[kind].push_back(words.at(1).toDouble());
            else
                std::printf("round %d: %s showed no window\n", r + 1, qPrintable(kind));
        }
    }

    const BenchUtil::Summary bare = BenchUtil::summarize(ms[QStringLiteral("bare")]);
    for (const QString &kind : kKinds)
        std::printf("%-10s %s ms to the first expose\n", qPrintable(kind),
                    qPrintable(BenchUtil::describe(BenchUtil::summarize(ms[kind]), 1)));
    const std::map<QString, QString> titles = {
        {QStringLiteral("Multiple"), QStringLiteral("multi-board")},
        {QStringLiteral("Single"), QStringLiteral("single-board")},
        {QStringLiteral("selection"), QStringLiteral("mode selection")}};
    for (const QString &kind : kKinds.mid(1)) {
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
    return 0;
}
