#pragma once

#include "platform/deviceeventsource.h"

#include <QtTest>
#include <QtWidgets>

// A throw-away current directory for one window, with config/ and its own
// user settings, so no test touches the real ones.
class WindowTestFolder
{
public:
    WindowTestFolder() : previous(QDir::currentPath())
    {
        QDir::setCurrent(dir.path());
        QDir().mkpath("config");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/settings");
    }
    ~WindowTestFolder() { QDir::setCurrent(previous); }

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString configDir() const { return dir.path() + QStringLiteral("/config/"); }
    QString file(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
    bool writeFile(const QString &relative, const QByteArray &content) const
    {
        QFile out(file(relative));
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
    }
    bool writeBoardConfig(const QString &chip, const QString &os) const
    {
        return writeFile(QStringLiteral("config/Board_config.ini"),
                         "[chip]\nchip_type=" + chip.toUtf8() + "\n[OS]\nOS_type=" + os.toUtf8() + "\n");
    }
    QByteArray readFile(const QString &relative) const
    {
        QFile in(file(relative));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

private:
    QString previous;
    QTemporaryDir dir;
};

// Whether a window holds a port listing process ("-r").
inline bool listingRuns()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        for (const QProcess *process : top->findChildren<QProcess *>())
            if (process->arguments() == QStringList{"-r"})
                return true;
    return false;
}

// Waits until no window runs a port listing.
inline bool settleListings(int timeoutMs = 30000)
{
    return QTest::qWaitFor([] { return !listingRuns(); }, timeoutMs);
}

// Runs usb_dl_bench (from QUOR_BIN_DIR) while the window takes its event. True when it
// exited 0 with the event delivered and confirmed; then lets the listing it started end.
inline bool runBench(const QStringList &args, QByteArray *output = nullptr)
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR")) + QStringLiteral("/usb_dl_bench"), args);
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

// The multi-board window's widgets, found by their object names.
class MultiWindowView
{
public:
    explicit MultiWindowView(QWidget *window) : window(window) {}
    template <typename T> T *child(const QString &name) const { return window->findChild<T *>(name); }
    QPushButton *button(const char *name) const { return child<QPushButton>(QLatin1String(name)); }
    void click(const char *name) const { button(name)->click(); }
    QString status() const { return child<QPlainTextEdit>(QStringLiteral("statusText"))->toPlainText(); }
    QProgressBar *bar(int n) const { return child<QProgressBar>(QStringLiteral("progressBar_%1").arg(n)); }
    QString title(int n) const
    {
        return child<QGroupBox>(n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n))
            ->title();
    }
    QImage picture(int n) const
    {
        const QPixmap *pixmap = child<QLabel>(QStringLiteral("status_%1").arg(n))->pixmap();
        return pixmap ? pixmap->toImage() : QImage();
    }
    // A resource picture as a slot shows it.
    static QImage resource(const char *name)
    {
        return QImage(QLatin1String(name))
            .scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation)
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
    // Running downloads (listings come and go with device events).
    QList<QProcess *> downloads() const
    {
        QList<QProcess *> running;
        for (QProcess *p : window->findChildren<QProcess *>())
            if (p->state() != QProcess::NotRunning && p->arguments().contains(QStringLiteral("-p")))
                running.append(p);
        return running;
    }
    int downloadCount() const { return downloads().size(); }

private:
    QWidget *window;
};

class ScriptedDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
public:
    using DeviceEventSource::DeviceEventSource;
    // Device events under the test's control: `count` back to back, then waits for their listings.
    void send(Kind kind, const QString &name, int count = 1, bool settle = true)
    {
        for (int i = 0; i < count; ++i)
            emit deviceEvent(kind, name);
        if (settle)
            settleListings();
    }
};

inline QString downloadDeviceName(const QString &serial)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#") + serial +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}
