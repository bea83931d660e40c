// usb_dl_bench: drives the simulated bench. It plugs and unplugs boards (the
// state usb_dl reads), picks the scenario of a run without a port, and tells
// the running program about device arrivals and removals.

#include "platform/bench/benchdevicesource.h"
#include "tools/benchcommon/benchstate.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kConnectMs = 2000;
constexpr int kAckMs = 10000;

void say(const QString &text)
{
    std::printf("%s\n", qUtf8Printable(text));
    std::fflush(stdout);
}

void complain(const QString &text)
{
    std::fprintf(stderr, "usb_dl_bench: %s\n", qUtf8Printable(text));
}

int usage(const QString &message)
{
    complain(message);
    std::fprintf(stderr,
                 "usage: usb_dl_bench plug LEVEL NUMBER [SCENARIO] [--no-event]\n"
                 "       usb_dl_bench unplug LEVEL NUMBER [--no-event]\n"
                 "       usb_dl_bench single SCENARIO\n"
                 "       usb_dl_bench list\n"
                 "       usb_dl_bench reset\n"
                 "       usb_dl_bench event arrival|removal NAME\n"
                 "scenarios: %s\n",
                 qUtf8Printable(Bench::scenarioNames().join(QLatin1Char(' '))));
    return kExitUsage;
}

enum class Delivery { Delivered, NoListener, NotConfirmed, Refused };

// Sends one event line and waits for the program to take it, so that events
// of successive calls reach the program in order.
Delivery sendEvent(const QString &dir, const char *kind, const QString &name, QString *answer)
{
    QLocalSocket socket;
    socket.connectToServer(BenchChannel::socketPath(dir));
    if (!socket.waitForConnected(kConnectMs))
        return Delivery::NoListener;
    socket.write(QByteArray(kind) + ' ' + name.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(kConnectMs))
        return Delivery::NotConfirmed;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kAckMs))
            return Delivery::NotConfirmed;
    }
    *answer = QString::fromUtf8(socket.readLine()).trimmed();
    socket.disconnectFromServer();
    return *answer == QLatin1String(BenchChannel::kAck) ? Delivery::Delivered : Delivery::Refused;
}

// Reports the event's fate after a state change; the state stands either way.
int announce(const QString &dir, const char *kind, const QString &name)
{
    QString answer;
    switch (sendEvent(dir, kind, name, &answer)) {
    case Delivery::Delivered:
        say(QStringLiteral("event %1 %2 delivered").arg(QLatin1String(kind), name));
        return 0;
    case Delivery::NoListener:
        say(QStringLiteral("no program is listening on this bench: event %1 not delivered")
                .arg(QLatin1String(kind)));
        return 0;
    case Delivery::NotConfirmed:
        say(QStringLiteral("event %1 sent, but the program has not confirmed it yet")
                .arg(QLatin1String(kind)));
        return 0;
    case Delivery::Refused:
        complain(QStringLiteral("the program refused the event: %1").arg(answer));
        return kExitFailed;
    }
    return kExitFailed;
}

bool portArgs(const QStringList &args, QChar *level, QChar *number, QString *error)
{
    if (args.size() < 3) {
        *error = QStringLiteral("%1 needs LEVEL and NUMBER").arg(args.value(0));
        return false;
    }
    for (int i : {1, 2}) {
        if (!Bench::isPortChar(args.at(i))) {
            *error = QStringLiteral("'%1' is not a port character: LEVEL and NUMBER are one printable "
                                    "character each, not a blank or a comma")
                         .arg(args.at(i));
            return false;
        }
    }
    *level = args.at(1).at(0);
    *number = args.at(2).at(0);
    return true;
}

QString portText(QChar level, QChar number)
{
    return QString(level) + QLatin1Char(',') + QString(number);
}

int plug(const QString &dir, const QStringList &args, bool withEvent)
{
    QChar level, number;
    QString error;
    if (!portArgs(args, &level, &number, &error))
        return usage(error);
    if (args.size() > 4)
        return usage(QStringLiteral("too many arguments for plug"));
    const QString scenario = args.value(3, QLatin1String(Bench::kDefaultScenario));
    if (!Bench::isScenario(scenario))
        return usage(QStringLiteral("unknown scenario '%1'").arg(scenario));
    bool again = false;
    const bool written = Bench::update(
        dir,
        [&](Bench::State &s) {
            const int i = s.indexOf(level, number);
            again = i >= 0;
            if (again)
                s.ports[i].scenario = scenario;
            else
                s.ports.append(Bench::Port{level, number, scenario});
        },
        &error);
    if (!written) {
        complain(error);
        return kExitFailed;
    }
    say(QStringLiteral("%1 %2 (%3)")
            .arg(again ? QStringLiteral("replugged") : QStringLiteral("plugged"), portText(level, number),
                 scenario));
    return withEvent ? announce(dir, BenchChannel::kArrival, Bench::deviceName(level, number)) : 0;
}

int unplug(const QString &dir, const QStringList &args, bool withEvent)
{
    QChar level, number;
    QString error;
    if (!portArgs(args, &level, &number, &error))
        return usage(error);
    if (args.size() > 3)
        return usage(QStringLiteral("too many arguments for unplug"));
    bool found = false;
    const bool written = Bench::update(
        dir,
        [&](Bench::State &s) {
            const int i = s.indexOf(level, number);
            found = i >= 0;
            if (found)
                s.ports.remove(i);
        },
        &error);
    if (!written) {
        complain(error);
        return kExitFailed;
    }
    if (!found) {
        complain(QStringLiteral("no board is plugged on port %1").arg(portText(level, number)));
        return kExitFailed;
    }
    say(QStringLiteral("unplugged %1").arg(portText(level, number)));
    return withEvent ? announce(dir, BenchChannel::kRemoval, Bench::deviceName(level, number)) : 0;
}

int list(const QString &dir)
{
    const Bench::State state = Bench::load(dir);
    say(QStringLiteral("bench: %1").arg(QDir::toNativeSeparators(dir)));
    say(QStringLiteral("single: %1").arg(state.single));
    for (const Bench::Port &p : state.ports)
        say(QStringLiteral("port %1 %2 %3")
                .arg(portText(p.level, p.number), p.scenario, Bench::deviceName(p.level, p.number)));
    return 0;
}

int setSingle(const QString &dir, const QStringList &args)
{
    if (args.size() != 2)
        return usage(QStringLiteral("single needs exactly one SCENARIO"));
    if (!Bench::isScenario(args.at(1)))
        return usage(QStringLiteral("unknown scenario '%1'").arg(args.at(1)));
    QString error;
    if (!Bench::update(
            dir, [&](Bench::State &s) { s.single = args.at(1); }, &error)) {
        complain(error);
        return kExitFailed;
    }
    say(QStringLiteral("single-board scenario: %1").arg(args.at(1)));
    return 0;
}

int reset(const QString &dir, const QStringList &args)
{
    if (args.size() != 1)
        return usage(QStringLiteral("reset takes no argument"));
    QString error;
    if (!Bench::update(
            dir, [](Bench::State &s) { s = Bench::State{}; }, &error)) {
        complain(error);
        return kExitFailed;
    }
    say(QStringLiteral("bench reset: no board plugged, single-board scenario ok"));
    return 0;
}

int event(const QString &dir, const QStringList &args)
{
    if (args.size() != 3)
        return usage(QStringLiteral("event needs arrival|removal and NAME"));
    const char *kind = nullptr;
    if (args.at(1) == QLatin1String(BenchChannel::kArrival))
        kind = BenchChannel::kArrival;
    else if (args.at(1) == QLatin1String(BenchChannel::kRemoval))
        kind = BenchChannel::kRemoval;
    else
        return usage(QStringLiteral("event kind must be arrival or removal, not '%1'").arg(args.at(1)));
    if (args.at(2).contains(QLatin1Char('\n')) || args.at(2).contains(QLatin1Char('\r')))
        return usage(QStringLiteral("an event name cannot hold a line break"));
    return announce(dir, kind, args.at(2));
}

int run(const QStringList &all)
{
    QStringList args = all;
    const bool withEvent = !args.removeAll(QStringLiteral("--no-event"));
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));

    const QString dir = Bench::benchDir(QCoreApplication::applicationDirPath());
    if (!QDir().mkpath(dir)) {
        complain(QStringLiteral("cannot create the bench folder %1").arg(QDir::toNativeSeparators(dir)));
        return kExitFailed;
    }

    const QString command = args.at(0);
    if (command == QLatin1String("plug"))
        return plug(dir, args, withEvent);
    if (command == QLatin1String("unplug"))
        return unplug(dir, args, withEvent);
    if (!withEvent)
        return usage(QStringLiteral("--no-event applies to plug and unplug only"));
    if (command == QLatin1String("single"))
        return setSingle(dir, args);
    if (command == QLatin1String("list"))
        return args.size() == 1 ? list(dir) : usage(QStringLiteral("list takes no argument"));
    if (command == QLatin1String("reset"))
        return reset(dir, args);
    if (command == QLatin1String("event"))
        return event(dir, args);
    return usage(QStringLiteral("unknown command '%1'").arg(command));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return run(QCoreApplication::arguments().mid(1));
}
