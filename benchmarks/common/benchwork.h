#pragma once

#include "platform/deviceeventsource.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class MainWindow;
class QWidget;

// A throw-away working folder for one benchmark: it becomes the current
// directory and holds config/ (the tool and Board_config.ini) and the user
// settings, so no run touches the real ones.
class BenchFolder final
{
public:
    BenchFolder();
    ~BenchFolder();
    BenchFolder(const BenchFolder &) = delete;
    BenchFolder &operator=(const BenchFolder &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString file(const QString &relative) const;
    bool writeFile(const QString &relative, const QByteArray &content) const;

    // Board_config.ini with chip and OS and, when burnType is not empty, the burn mode.
    bool writeBoardConfig(const QString &burnType = QString()) const;

    // Copies the program `executable` to config/usb_dl.exe, executable.
    bool installTool(const QString &executable) const;

    // Board_config.ini and the replaying stand-in (bench_replay_tool beside
    // this program) as the tool: what the window benchmarks start from.
    bool prepareReplay() const;

    // Remembers a package for the multi-board window and returns the folder
    // its unpack folder would be (the window removes it at construction, so
    // create it afterwards to let Start skip unpacking).
    QString rememberPackage() const;

    // Lines of a file in this folder starting with prefix.
    int countLines(const QString &relative, const QByteArray &prefix) const;

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// Device events under the benchmark's control.
class ScriptedDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
    Q_DISABLE_COPY(ScriptedDeviceSource)
public:
    using DeviceEventSource::DeviceEventSource;
    void arrive(const QString &name) { emit deviceEvent(Kind::Arrival, name); }
};

// The interface name of the download device with the given serial.
QString downloadDeviceName(const QString &serial);

// A program next to this one (all executables land in one folder).
QString siblingProgram(const QString &name);

// A shown multi-board window with a remembered package whose unpack folder
// exists, so Start skips unpacking; Start pressed when pressStart is true.
std::unique_ptr<MainWindow> openMultiWindow(const BenchFolder &folder, DeviceEventSource *devices,
                                            bool pressStart);

// Clicks the push button with that object name; false when there is none.
bool pressButton(QWidget *window, const char *name);

// Runs the event loop until done() is true or timeoutMs has passed; returns done().
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// A recorded download of the simulated tool (scenario ok, no pauses) on port
// 1,1, with the tool's own CRLF line ends; empty when the tool could not run.
QByteArray recordSimulatedRun(const BenchFolder &folder);
