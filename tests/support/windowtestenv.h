#pragma once

// What the window tests and the benchmarks start from: a throw-away working
// folder with config/ and its own user settings, the simulated tool or a
// script in the tool's place, device events under their control, and the
// multi-board window's widgets by name.

#include "platform/deviceeventsource.h"
#include "zipmaker.h"

#include <QtTest>
#include <QtWidgets>

// A program next to this one (every executable lands in one folder).
QString siblingProgram(const QString &name);

// The remembered package of the multi-board window ("lastPath2"), set first when `set` is valid.
QVariant lastPath2(const QVariant &set = {});

// A throw-away current directory for one window, with config/ and its own
// user settings, so no test or benchmark touches the real ones.
class WindowTestFolder
{
public:
    WindowTestFolder();
    ~WindowTestFolder();
    WindowTestFolder(const WindowTestFolder &) = delete;
    WindowTestFolder &operator=(const WindowTestFolder &) = delete;

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString configDir() const { return dir.path() + QStringLiteral("/config/"); }
    QString file(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
    // Writes the file whole, its folders made first.
    bool writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;
    // Board_config.ini: chip and OS, then `more` (further sections).
    bool writeBoardConfig(const QString &chip = QStringLiteral("CHIP"),
                          const QString &os = QStringLiteral("OS"),
                          const QByteArray &more = QByteArray()) const;
    // A program copied to config/usb_dl.exe, executable: by default the simulated tool.
    bool installTool(const QString &program = siblingProgram(QStringLiteral("usb_dl"))) const;
    // A shell script as config/usb_dl.exe.
    bool installScript(const QByteArray &script) const;
    // pkg/images.zip made of `items` and remembered as the multi-board window's package.
    bool rememberPackage(const QList<ZipMaker::Item> &items = {
                             ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}) const;
    // The simulated bench: the simulated tool, its bench folder (USB_DL_BENCH, steps of
    // USB_DL_SIM_DELAY_MS 15), the remembered package and Board_config.ini (chip CHIPX,
    // OS OSY, then moreIni). The package's path, or "" when something could not be made.
    QString setUpBench(const QByteArray &moreIni = QByteArray()) const;

private:
    QString previous;
    QTemporaryDir dir;
};

// Whether a window holds a port listing process ("-r").
bool listingRuns();

// Waits until no window runs a port listing.
bool settleListings(int timeoutMs = 30000);

// Runs usb_dl_bench while the window takes its event. True when it exited 0
// with the event delivered and confirmed; then lets the listing it started end.
bool runBench(const QStringList &args, QByteArray *output = nullptr);

// The multi-board window's widgets, found by their object names.
class MultiWindowView
{
public:
    explicit MultiWindowView(QWidget *window) : window(window) {}
    template <typename T> T *child(const QString &name) const { return window->findChild<T *>(name); }
    QPushButton *button(const char *name) const { return child<QPushButton>(QLatin1String(name)); }
    void click(const char *name) const { button(name)->click(); }
    QString status() const;
    QProgressBar *bar(int n) const { return child<QProgressBar>(QStringLiteral("progressBar_%1").arg(n)); }
    QString title(int n) const;
    QImage picture(int n) const;
    // A resource picture as a slot shows it.
    static QImage resource(const char *name);
    // Running downloads (listings come and go with device events).
    QList<QProcess *> downloads() const;
    int downloadCount() const { return downloads().size(); }

private:
    QWidget *window;
};

// Device events under the caller's control.
class ScriptedDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
    Q_DISABLE_COPY(ScriptedDeviceSource)
public:
    using DeviceEventSource::DeviceEventSource;
    // `count` events back to back, then, when settle is true, waits for their listings.
    void send(Kind kind, const QString &name, int count = 1, bool settle = true);
};

// The interface name of the download device with the given serial.
QString downloadDeviceName(const QString &serial);
