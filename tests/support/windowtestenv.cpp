#include "windowtestenv.h"

QString siblingProgram(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

QVariant lastPath2(const QVariant &set)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"),
                       QString());
    if (set.isValid())
        settings.setValue(QStringLiteral("lastPath2"), set);
    return settings.value(QStringLiteral("lastPath2"));
}

WindowTestFolder::WindowTestFolder() : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
    QDir().mkpath(QStringLiteral("config"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, file(QStringLiteral("settings")));
}

WindowTestFolder::~WindowTestFolder()
{
    QDir::setCurrent(previous);
}

bool WindowTestFolder::writeFile(const QString &relative, const QByteArray &content) const
{
    return QDir().mkpath(QFileInfo(file(relative)).path()) && ZipMaker::saveFile(file(relative), content);
}

QByteArray WindowTestFolder::readFile(const QString &relative) const
{
    QFile in(file(relative));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

bool WindowTestFolder::writeBoardConfig(const QString &chip, const QString &os, const QByteArray &more) const
{
    return writeFile(QStringLiteral("config/Board_config.ini"),
                     "[chip]\nchip_type=" + chip.toUtf8() + "\n[OS]\nOS_type=" + os.toUtf8() + "\n" + more);
}

bool WindowTestFolder::installTool(const QString &program) const
{
    const QString target = file(QStringLiteral("config/usb_dl.exe"));
    QFile::remove(target);
    return QFile::copy(program, target) &&
           QFile::setPermissions(target,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool WindowTestFolder::installScript(const QByteArray &script) const
{
    const QString target = file(QStringLiteral("config/usb_dl.exe"));
    QFile::remove(target);
    return writeFile(QStringLiteral("config/usb_dl.exe"), "#!/bin/sh\n" + script) &&
           QFile::setPermissions(target,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool WindowTestFolder::rememberPackage(const QList<ZipMaker::Item> &items) const
{
    const QString zip = file(QStringLiteral("pkg/images.zip"));
    if (!QDir().mkpath(file(QStringLiteral("pkg"))) || !ZipMaker::writeZip(zip, items))
        return false;
    lastPath2(zip);
    return true;
}

QString WindowTestFolder::setUpBench(const QByteArray &moreIni) const
{
    if (!installTool() || !QDir().mkpath(file(QStringLiteral("bench"))) ||
        !writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY"), moreIni) || !rememberPackage())
        return QString();
    qputenv("USB_DL_BENCH", QFile::encodeName(file(QStringLiteral("bench"))));
    qputenv("USB_DL_SIM_DELAY_MS", "15");
    return file(QStringLiteral("pkg/images.zip"));
}

bool listingRuns()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        for (const QProcess *process : top->findChildren<QProcess *>())
            if (process->arguments() == QStringList{QStringLiteral("-r")})
                return true;
    return false;
}

bool settleListings(int timeoutMs)
{
    return QTest::qWaitFor([] { return !listingRuns(); }, timeoutMs);
}

bool runBench(const QStringList &args, QByteArray *output)
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(siblingProgram(QStringLiteral("usb_dl_bench")), args);
    const bool ended = driver.waitForStarted(10000) &&
                       QTest::qWaitFor([&] { return driver.state() == QProcess::NotRunning; }, 30000);
    const QByteArray out = driver.readAll();
    if (output)
        *output = out;
    if (!ended) {
        driver.kill();
        driver.waitForFinished(5000);
        qWarning() << "bench did not end" << args;
        return false;
    }
    if (driver.exitCode() != 0 || out.contains("not delivered") || out.contains("not confirmed")) {
        qWarning() << "bench" << args << out;
        return false;
    }
    return settleListings();
}

QString MultiWindowView::status() const
{
    return child<QPlainTextEdit>(QStringLiteral("statusText"))->toPlainText();
}

QString MultiWindowView::title(int n) const
{
    return child<QGroupBox>(n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n))
        ->title();
}

QImage MultiWindowView::picture(int n) const
{
    const QPixmap *pixmap = child<QLabel>(QStringLiteral("status_%1").arg(n))->pixmap();
    return pixmap ? pixmap->toImage() : QImage();
}

QImage MultiWindowView::resource(const char *name)
{
    return QImage(QLatin1String(name))
        .scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QList<QProcess *> MultiWindowView::downloads() const
{
    QList<QProcess *> running;
    for (QProcess *p : window->findChildren<QProcess *>())
        if (p->state() != QProcess::NotRunning && p->arguments().contains(QStringLiteral("-p")))
            running.append(p);
    return running;
}

void ScriptedDeviceSource::send(Kind kind, const QString &name, int count, bool settle)
{
    for (int i = 0; i < count; ++i)
        emit deviceEvent(kind, name);
    if (settle)
        settleListings();
}

QString downloadDeviceName(const QString &serial)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#") + serial +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}
