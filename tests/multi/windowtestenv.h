#pragma once

#include "platform/deviceeventsource.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

// A throw-away working folder for one multi-board window: it becomes the
// current directory, holds config/Board_config.ini and the user settings, so
// no test touches the real ones.
class WindowTestFolder
{
public:
    WindowTestFolder() : previous(QDir::currentPath())
    {
        QDir().mkpath(dir.path() + QStringLiteral("/config"));
        QDir().mkpath(dir.path() + QStringLiteral("/settings"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           dir.path() + QStringLiteral("/settings"));
        QDir::setCurrent(dir.path());
    }
    ~WindowTestFolder() { QDir::setCurrent(previous); }
    WindowTestFolder(const WindowTestFolder &) = delete;
    WindowTestFolder &operator=(const WindowTestFolder &) = delete;

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString configDir() const { return dir.path() + QStringLiteral("/config/"); }
    QString file(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }

    bool writeFile(const QString &relative, const QByteArray &content) const
    {
        QFile out(file(relative));
        if (!out.open(QIODevice::WriteOnly))
            return false;
        return out.write(content) == content.size();
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

// True while a window runs a port listing (a tool process started with "-r").
inline bool listingRuns()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        for (const QProcess *process : top->findChildren<QProcess *>())
            if (process->arguments() == QStringList{QStringLiteral("-r")})
                return true;
    return false;
}

// Lets the listings that device events started run to their end: the window
// no longer waits for them itself.
inline bool settleListings(int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (listingRuns()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Runs usb_dl_bench (from QUOR_BIN_DIR) while the event loop keeps turning:
// the window must take the event the driver waits for. True when it exited 0
// and its event, if any, was delivered and confirmed; then lets the listing
// that event started end, as an operator's next step would.
inline bool runBench(const QStringList &args, QByteArray *output = nullptr)
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    driver.start(QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR")) + QStringLiteral("/usb_dl_bench"), args);
    if (!driver.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (driver.state() != QProcess::NotRunning && timer.elapsed() < 30000)
        QTest::qWait(5);
    const QByteArray out = driver.readAll();
    if (output)
        *output = out;
    if (driver.state() != QProcess::NotRunning) {
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
    QGroupBox *box(int n) const
    {
        return child<QGroupBox>(n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n));
    }
    QString title(int n) const { return box(n)->title(); }
    // The picture slot n shows, null when none.
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
    // Download processes that run (listings, which come and go with device
    // events, are not counted).
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

// Device events under the test's control; each returns once the window has
// handled it, listing included.
class ScriptedDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
public:
    using DeviceEventSource::DeviceEventSource;
    void arrive(const QString &name)
    {
        emit deviceEvent(Kind::Arrival, name);
        settleListings();
    }
    void remove(const QString &name)
    {
        emit deviceEvent(Kind::Removal, name);
        settleListings();
    }
    // Events delivered back to back, as a burst reaches the window; returns
    // without waiting for the listings they start.
    void burst(Kind kind, const QString &name, int count)
    {
        for (int i = 0; i < count; ++i)
            emit deviceEvent(kind, name);
    }
};

inline QString downloadDeviceName(const QString &serial)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#") + serial +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

// Runs `answer` on the next modal widget as soon as one is shown.
inline void answerNextModal(std::function<void(QWidget *)> answer)
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, answer]() {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        }
    });
    timer->start();
}
