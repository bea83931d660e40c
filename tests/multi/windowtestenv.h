#pragma once

#include "platform/deviceeventsource.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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
