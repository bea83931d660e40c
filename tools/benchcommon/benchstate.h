#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The simulated bench's shared state: which ports carry a board (in plug order)
// with the scenario each board plays, and the scenario of a run without a port.
// It lives in "state.txt" inside the bench folder. Readers and writers take
// turns on a lock file and writers replace the file by rename, so readers
// never see half a file and several usb_dl_bench/usb_dl processes may run at
// once.
namespace Bench {

inline constexpr char kEnvBenchDir[] = "USB_DL_BENCH";
inline constexpr char kEnvDelay[] = "USB_DL_SIM_DELAY_MS";
inline constexpr char kEnvSeed[] = "USB_DL_SIM_SEED";
inline constexpr char kStateFile[] = "state.txt";
inline constexpr char kLockFile[] = "state.lock";
inline constexpr char kCallsLockFile[] = "calls.lock";
inline constexpr char kCallsLog[] = "calls.log";
inline constexpr char kChildrenLog[] = "children.log"; // process ids of helpers the "spawn" scenario started
inline constexpr char kDefaultScenario[] = "ok";

// Scenario names a board or the single-board run can play.
const QStringList &scenarioNames();
bool isScenario(const QString &name);

// A port character must be one printable ASCII character other than a blank
// or a comma: the listing carries one character per field and "-p L,M" needs
// the comma as separator.
bool isPortChar(const QString &text);

struct Port
{
    QChar level;
    QChar number;
    QString scenario;
};

struct State
{
    QString single = QString::fromLatin1(kDefaultScenario);
    QVector<Port> ports; // plug order

    int indexOf(QChar level, QChar number) const;
    QByteArray serialize() const;
    // Lines that do not parse are skipped; unknown scenarios are kept as
    // written so that usb_dl can report them.
    static State parse(const QByteArray &text);
};

// The bench folder: $USB_DL_BENCH, else "bench" beside the executable.
QString benchDir(const QString &executableDir);

// Reads the state under the bench's lock. A missing state file is an empty
// bench.
State load(const QString &dir);

// Locks the bench, reads the state, lets change() edit it and writes it back
// atomically. Returns false with a reason if the lock or the write failed.
bool update(const QString &dir, const std::function<void(State &)> &change, QString *error);

// The device-interface name the system reports for the board on a port; the
// serial is derived from the port so it is stable across plugs.
QString deviceName(QChar level, QChar number);

} // namespace Bench
