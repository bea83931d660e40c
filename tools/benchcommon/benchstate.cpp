#include "tools/benchcommon/benchstate.h"

#include "common/toolcontract.h"
#include "platform/toolsupport.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace Bench {

namespace {
constexpr char kSingleKey[] = "single";
constexpr char kPortKey[] = "port";
constexpr int kLockWaitMs = 10000;
} // namespace

const QStringList &scenarioNames()
{
    static const QStringList names{
        QStringLiteral("ok"),       QStringLiteral("slow"),     QStringLiteral("notfound"),
        QStringLiteral("commfail"), QStringLiteral("toolarge"), QStringLiteral("dlfail"),
        QStringLiteral("hang"),     QStringLiteral("crash"),    QStringLiteral("flood"),
        QStringLiteral("garbage"),  QStringLiteral("longline"), QStringLiteral("spawn"),
        QStringLiteral("presskey")};
    return names;
}

bool isScenario(const QString &name)
{
    return scenarioNames().contains(name);
}

bool isPortChar(const QString &text)
{
    if (text.size() != 1)
        return false;
    const ushort c = text.at(0).unicode();
    return c > 0x20 && c < 0x7f && c != ',';
}

int State::indexOf(QChar level, QChar number) const
{
    for (int i = 0; i < ports.size(); ++i) {
        if (ports.at(i).level == level && ports.at(i).number == number)
            return i;
    }
    return -1;
}

QByteArray State::serialize() const
{
    QByteArray out = "# usb_dl bench state: \"single SCENARIO\", then one \"port LEVEL NUMBER SCENARIO\" "
                     "line per plugged board in plug order\n";
    out += QByteArray(kSingleKey) + ' ' + single.toUtf8() + '\n';
    for (const Port &p : ports) {
        out += QByteArray(kPortKey) + ' ' + QString(p.level).toUtf8() + ' ' + QString(p.number).toUtf8() +
               ' ' + p.scenario.toUtf8() + '\n';
    }
    return out;
}

State State::parse(const QByteArray &text)
{
    State state;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList f = line.split(QLatin1Char(' '));
        f.removeAll(QString());
        if (f.size() == 2 && f.at(0) == QLatin1String(kSingleKey)) {
            state.single = f.at(1);
        } else if (f.size() == 4 && f.at(0) == QLatin1String(kPortKey) && isPortChar(f.at(1)) &&
                   isPortChar(f.at(2))) {
            if (state.indexOf(f.at(1).at(0), f.at(2).at(0)) < 0)
                state.ports.append(Port{f.at(1).at(0), f.at(2).at(0), f.at(3)});
        }
    }
    return state;
}

QString benchDir(const QString &executableDir)
{
    const QByteArray env = qgetenv(kEnvBenchDir);
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return executableDir + QStringLiteral("/bench");
}

namespace {

State read(const QString &dir)
{
    QFile file(dir + QLatin1Char('/') + QLatin1String(kStateFile));
    if (!file.open(QIODevice::ReadOnly))
        return State{};
    return State::parse(file.readAll());
}

bool lockBench(ToolSupport::FileLock *lock, const QString &dir, QString *reason)
{
    return lock->acquire(dir + QLatin1Char('/') + QLatin1String(kLockFile), kLockWaitMs, reason);
}

} // namespace

State load(const QString &dir)
{
    // Under the writers' lock: Windows cannot replace a file that another
    // process holds open, so a reader between a writer's write and rename
    // would make that writer fail. A bench that cannot be locked (a read-only
    // folder) is still read.
    ToolSupport::FileLock lock;
    lockBench(&lock, dir, nullptr);
    return read(dir);
}

bool update(const QString &dir, const std::function<void(State &)> &change, QString *error)
{
    // A lock on a lock file that stays in place: the system drops it when its
    // holder exits, so a driver that died never blocks the others.
    ToolSupport::FileLock lock;
    QString reason;
    if (!lockBench(&lock, dir, &reason)) {
        if (error)
            *error = QStringLiteral("cannot lock the bench state in %1: %2").arg(dir, reason);
        return false;
    }
    State state = read(dir);
    change(state);
    QSaveFile file(dir + QLatin1Char('/') + QLatin1String(kStateFile));
    if (!file.open(QIODevice::WriteOnly) || file.write(state.serialize()) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write the bench state in %1: %2").arg(dir, file.errorString());
        return false;
    }
    return true;
}

QString deviceName(QChar level, QChar number)
{
    const QString serial = QStringLiteral("QB%1%2")
                               .arg(level.unicode(), 2, 16, QLatin1Char('0'))
                               .arg(number.unicode(), 2, 16, QLatin1Char('0'))
                               .toUpper();
    return QStringLiteral("\\\\?\\USB#VID_") + QLatin1String(ToolContract::kVendorId) +
           QStringLiteral("&PID_") + QLatin1String(ToolContract::kProductId) + QLatin1Char('#') + serial +
           QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

} // namespace Bench
