#include "benchmarks/common/benchwork.h"

#include "zipmaker.h"

#include "common/boardconfig.h"
#include "common/toolcontract.h"
#include "multi/mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

BenchFolder::BenchFolder()
    : m_previous(QDir::currentPath()), m_dir(QDir::tempPath() + QStringLiteral("/quor-bench-XXXXXX"))
{
    QDir().mkpath(file(QStringLiteral("config")));
    QDir().mkpath(file(QStringLiteral("settings")));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, file(QStringLiteral("settings")));
    QDir::setCurrent(m_dir.path());
}

BenchFolder::~BenchFolder()
{
    QDir::setCurrent(m_previous);
}

QString BenchFolder::file(const QString &relative) const
{
    return m_dir.path() + QLatin1Char('/') + relative;
}

bool BenchFolder::writeFile(const QString &relative, const QByteArray &content) const
{
    QFile out(file(relative));
    QDir().mkpath(QFileInfo(out.fileName()).path());
    if (!out.open(QIODevice::WriteOnly))
        return false;
    return out.write(content) == content.size();
}

bool BenchFolder::writeBoardConfig(const QString &burnType) const
{
    QByteArray ini = "[chip]\nchip_type=CHIP\n[OS]\nOS_type=OS\n";
    if (!burnType.isEmpty())
        ini += "[Burn_Type]\nBurn_Type=" + burnType.toUtf8() + "\n";
    return writeFile(QStringLiteral("config/Board_config.ini"), ini);
}

bool BenchFolder::prepareReplay() const
{
    return isValid() && writeBoardConfig() &&
           installTool(siblingProgram(QStringLiteral("bench_replay_tool")));
}

bool BenchFolder::installTool(const QString &executable) const
{
    const QString target = file(QStringLiteral("config/") + QLatin1String(ToolContract::kExecutable));
    QFile::remove(target);
    if (!QFile::copy(executable, target))
        return false;
    return QFile::setPermissions(target,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QString BenchFolder::rememberPackage() const
{
    // A real package: Start starts nothing when the unpack fails.
    QDir().mkpath(file(QStringLiteral("pkg")));
    ZipMaker::writeZip(file(QStringLiteral("pkg/images.zip")),
                       {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))});
    BoardConfig::userSettings()->setValue(QLatin1String(BoardConfig::kLastPath2Key),
                                          file(QStringLiteral("pkg/images.zip")));
    return file(QStringLiteral("pkg/QuorBurnImage"));
}

int BenchFolder::countLines(const QString &relative, const QByteArray &prefix) const
{
    QFile in(file(relative));
    if (!in.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    QList<QByteArray> lines = in.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // what follows the last line feed is no line
    for (const QByteArray &line : lines)
        if (line.startsWith(prefix))
            ++count;
    return count;
}

QString downloadDeviceName(const QString &serial)
{
    return QStringLiteral("\\\\?\\USB#VID_") + QLatin1String(ToolContract::kVendorId) +
           QStringLiteral("&PID_") + QLatin1String(ToolContract::kProductId) + QLatin1Char('#') + serial +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

QString siblingProgram(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

std::unique_ptr<MainWindow> openMultiWindow(const BenchFolder &folder, DeviceEventSource *devices,
                                            bool pressStart)
{
    const QString unpackFolder = folder.rememberPackage();
    auto window = std::make_unique<MainWindow>(nullptr, devices);
    QDir().mkpath(unpackFolder);
    window->show();
    QCoreApplication::processEvents();
    if (pressStart)
        pressButton(window.get(), "startButton");
    return window;
}

bool pressButton(QWidget *window, const char *name)
{
    auto *button = window->findChild<QPushButton *>(QLatin1String(name));
    if (!button)
        return false;
    button->click();
    return true;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    // A real event loop, looked at every 2 ms: the wait itself must not spin.
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

QByteArray recordSimulatedRun(const BenchFolder &folder)
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
