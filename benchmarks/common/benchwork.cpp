#include "benchmarks/common/benchwork.h"

#include "common/toolcontract.h"
#include "multi/mainwindow.h"

#include <QProcess>

bool prepareReplay(const WindowTestFolder &folder)
{
    return folder.isValid() && folder.writeBoardConfig() &&
           folder.installTool(siblingProgram(QStringLiteral("bench_replay_tool")));
}

QByteArray recordSimulatedRun(const WindowTestFolder &folder)
{
    const QString simBench = folder.file(QStringLiteral("simbench"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USB_DL_BENCH"), simBench);
    env.insert(QStringLiteral("USB_DL_SIM_DELAY_MS"), QStringLiteral("0"));

    QProcess plug;
    plug.setProcessEnvironment(env);
    plug.start(siblingProgram(QStringLiteral("usb_dl_bench")),
               {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("ok"),
                QStringLiteral("--no-event")});
    if (!plug.waitForFinished(10000) || plug.exitCode() != 0)
        return QByteArray();

    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(siblingProgram(QStringLiteral("usb_dl")),
               {QLatin1String(ToolContract::kOptChip), QStringLiteral("CHIP"),
                QLatin1String(ToolContract::kOptOs), QStringLiteral("OS"),
                QLatin1String(ToolContract::kOptImages), folder.path(), QLatin1String(ToolContract::kOptPort),
                QStringLiteral("1,1")});
    if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
        return QByteArray();
    return tool.readAllStandardOutput();
}

int countLines(const WindowTestFolder &folder, const QString &relative, const QByteArray &prefix)
{
    QList<QByteArray> lines = folder.readFile(relative).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // what follows the last line feed is no line
    int count = 0;
    for (const QByteArray &line : lines)
        count += line.startsWith(prefix);
    return count;
}

bool pressButton(QWidget *window, const char *name)
{
    QPushButton *button = MultiWindowView(window).button(name);
    if (button)
        button->click();
    return button != nullptr;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start();
    loop.exec();
    return done();
}

std::unique_ptr<MainWindow> openMultiWindow(const WindowTestFolder &folder, DeviceEventSource *devices,
                                            bool pressStart)
{
    // A real package: Start starts nothing when the unpack fails. The window removes
    // the unpack folder at construction, so it is made afterwards.
    folder.rememberPackage();
    auto window = std::make_unique<MainWindow>(nullptr, devices);
    QDir().mkpath(folder.file(QStringLiteral("pkg/QuorBurnImage")));
    window->show();
    QCoreApplication::processEvents();
    if (pressStart)
        pressButton(window.get(), "startButton");
    return window;
}
