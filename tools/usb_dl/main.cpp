// usb_dl: a stand-in for the download tool, driven by the simulated bench.
// It lists the plugged boards ("-r") or plays the scenario of the board on the
// requested port, printing the tool's lines with CRLF and flushing each one,
// because the caller reads them through a pipe as they come.

#include "common/toolcontract.h"
#include "platform/toolsupport.h"
#include "tools/benchcommon/benchstate.h"
#include "tools/usb_dl/scenario.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kExitUsage = 2;

int usageError(const QString &message)
{
    std::fprintf(stderr, "usb_dl: %s\n", qUtf8Printable(message));
    std::fprintf(stderr, "usage: usb_dl -r\n"
                         "       usb_dl -c CHIP -s OS -i IMAGE_FOLDER [-p LEVEL,NUMBER]\n");
    return kExitUsage;
}

QString executableDir(const char *argv0)
{
    // /proc/self/exe finds the real file even when started through PATH.
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!self.isEmpty())
        return QFileInfo(self).absolutePath();
    return QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath();
}

// One argument as the call log shows it: quoted when it would not read back
// as one word.
QString logWord(const QString &arg)
{
    if (!arg.isEmpty() && !arg.contains(QLatin1Char(' ')) && !arg.contains(QLatin1Char('\t')) &&
        !arg.contains(QLatin1Char('"')))
        return arg;
    QString quoted = arg;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void appendCallLog(const QString &dir, const QStringList &args)
{
    QStringList words;
    for (const QString &a : args)
        words << logWord(a);
    // One unbuffered write in append mode keeps lines of concurrent calls whole
    // on Linux; Windows appends by seeking to the end first, so concurrent
    // calls take a lock of their own (not the state's) to keep every line.
    ToolSupport::FileLock lock;
    lock.acquire(dir + QLatin1Char('/') + QLatin1String(Bench::kCallsLockFile), 10000, nullptr);
    QFile log(dir + QLatin1Char('/') + QLatin1String(Bench::kCallsLog));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        log.write(words.join(QLatin1Char(' ')).toUtf8() + '\n');
}

bool isOption(const QString &arg)
{
    static const QStringList options{
        QLatin1String(ToolContract::kOptList), QLatin1String(ToolContract::kOptChip),
        QLatin1String(ToolContract::kOptOs), QLatin1String(ToolContract::kOptImages),
        QLatin1String(ToolContract::kOptPort)};
    return options.contains(arg);
}

// True when folder exists and holds at least one file, at any depth, that
// is not a partition description (*.xml): a description names images, it is
// none itself.
bool hasImages(const QString &folder)
{
    if (!QFileInfo(folder).isDir())
        return false;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (!it.next().endsWith(QLatin1String(".xml"), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

namespace {

// "-r" alone, or option/value pairs. Returns an exit status when the call is
// refused, -1 when it parsed.
int parseArguments(const QStringList &args, bool *list, QMap<QString, QString> *values)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String(ToolContract::kOptList)) {
            *list = true;
            continue;
        }
        if (!isOption(a))
            return usageError(QStringLiteral("unknown argument '%1'").arg(a));
        if (values->contains(a))
            return usageError(QStringLiteral("option %1 given twice").arg(a));
        if (i + 1 >= args.size() || isOption(args.at(i + 1)))
            return usageError(QStringLiteral("option %1 needs a value").arg(a));
        values->insert(a, args.at(++i));
    }
    return -1;
}

// The scenario the bench has for the call: the port's, or the single-board
// one without a port. Returns an exit status when the port is malformed, -1
// otherwise.
int scenarioFor(const Bench::State &state, const QMap<QString, QString> &values, QString *scenario)
{
    *scenario = state.single;
    const auto port = values.constFind(QLatin1String(ToolContract::kOptPort));
    if (port == values.constEnd())
        return -1;
    const QString &portText = *port;
    const QStringList lm = portText.split(QLatin1Char(','));
    if (lm.size() != 2 || !Bench::isPortChar(lm.at(0)) || !Bench::isPortChar(lm.at(1)))
        return usageError(
            QStringLiteral("port '%1' is not LEVEL,NUMBER with one character each").arg(portText));
    const int index = state.indexOf(lm.at(0).at(0), lm.at(1).at(0));
    // No board on that port: the tool waits briefly and gives up.
    *scenario = index < 0 ? QStringLiteral("notfound") : state.ports.at(index).scenario;
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.size() == 2 && args.at(0) == QLatin1String(Sim::kHoldOption)) // a "spawn" helper, not a call
        return Sim::hold(qBound(0, args.at(1).toInt(), Sim::kHelperSeconds));

    const QString dir = Bench::benchDir(executableDir(argv[0]));
    if (!QFileInfo(dir).isDir()) {
        std::fprintf(stderr,
                     "usb_dl: bench folder %s does not exist (set %s or create it with usb_dl_bench)\n",
                     qUtf8Printable(QDir::toNativeSeparators(dir)), Bench::kEnvBenchDir);
        return kExitUsage;
    }
    appendCallLog(dir, args);

    bool list = false;
    QMap<QString, QString> values;
    if (const int refused = parseArguments(args, &list, &values); refused >= 0)
        return refused;

    ToolSupport::useBinaryOutput();
    Sim::Output out(stdout);
    const Bench::State state = Bench::load(dir);
    if (list) {
        if (!values.isEmpty())
            return usageError(
                QStringLiteral("%1 takes no other option").arg(QLatin1String(ToolContract::kOptList)));
        Sim::printListing(out, state);
        return 0;
    }

    for (const char *required : {ToolContract::kOptChip, ToolContract::kOptOs, ToolContract::kOptImages}) {
        if (!values.contains(QLatin1String(required)))
            return usageError(QStringLiteral("missing option %1").arg(QLatin1String(required)));
    }

    QString scenario;
    if (const int refused = scenarioFor(state, values, &scenario); refused >= 0)
        return refused;
    if (!Bench::isScenario(scenario)) {
        std::fprintf(stderr, "usb_dl: unknown scenario '%s' in %s/%s\n", qUtf8Printable(scenario),
                     qUtf8Printable(QDir::toNativeSeparators(dir)), Bench::kStateFile);
        return kExitUsage;
    }
    // As the real tool: a board that answers but no images to write fails the
    // transfer. Without a board it is still "not found" first.
    const QString images = values.value(QLatin1String(ToolContract::kOptImages));
    if (scenario != QLatin1String("notfound") && !hasImages(images))
        return Sim::playMissingImages(out, images, Sim::delayFromEnvironment());
    return Sim::play(out, scenario, Sim::delayFromEnvironment(), Sim::seedFromEnvironment(), dir);
}
