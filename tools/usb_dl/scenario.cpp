#include "tools/usb_dl/scenario.h"

#include "common/toolcontract.h"
#include "platform/toolsupport.h"

#include <QFile>
#include <QRandomGenerator>

#include <chrono>
#include <iterator>
#include <thread>

namespace Sim {

namespace {

constexpr int kSteps = 20;               // progress steps of a full transfer
constexpr qint64 kImageBytes = 20971520; // total the progress lines count to (20 MiB)
constexpr int kExitFailed = 1;

void pause(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QByteArray waitingLine()
{
    return QByteArray(ToolContract::kWaitingSingle) + " ...";
}

QByteArray sizeLine(qint64 done, qint64 total)
{
    return QByteArray(ToolContract::kUpdatedSize) + ": " + QByteArray::number(done) + '/' +
           QByteArray::number(total) + '(' + QByteArray::number(done * 100 / total) + "%)";
}

// Prints the lines of a transfer up to `steps` of kSteps, each step a "break"
// line and a size line.
class Player final
{
public:
    Player(Output &out, int delayMs) : m_out(out), m_delay(delayMs) {}

    void say(const QByteArray &text)
    {
        m_out.line(text);
        pause(m_delay);
    }
    void waiting(int count)
    {
        for (int i = 0; i < count; ++i)
            say(waitingLine());
    }
    void progress(int steps)
    {
        for (int k = 1; k <= steps; ++k) {
            say(ToolContract::kBreak);
            say(sizeLine(kImageBytes * k / kSteps, kImageBytes));
        }
    }

private:
    Output &m_out;
    int m_delay;
};

QByteArray garbage(QRandomGenerator &rng)
{
    // Invalid UTF-8: a lone continuation byte, an overlong slash, a bad
    // two-byte start, an encoded surrogate, bytes that never occur, a cut
    // three-byte sequence.
    static const QByteArray invalid[] = {QByteArray("\x80"),     QByteArray("\xc0\xaf"),
                                         QByteArray("\xc3\x28"), QByteArray("\xed\xa0\x80"),
                                         QByteArray("\xfe\xff"), QByteArray("\xe2\x82")};
    QByteArray bytes;
    const int length = rng.bounded(8, 96);
    for (int i = 0; i < length; ++i)
        bytes += char(rng.bounded(256));
    bytes += invalid[rng.bounded(int(std::size(invalid)))];
    bytes += QByteArray(1, '\0');
    return bytes;
}

// Exits when the reading end of the output is gone, otherwise never.
int hangForever()
{
    for (;;) {
        if (ToolSupport::outputReaderGone(1000))
            return kExitFailed;
    }
}

} // namespace

void Output::line(const QByteArray &text)
{
    raw(text + ToolContract::kLineEnd);
}

void Output::raw(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
    std::fflush(m_stream);
}

int delayFromEnvironment()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(Bench::kEnvDelay, &ok);
    if (!ok || value < 0)
        return kDefaultDelayMs;
    return qMin(value, 60000);
}

quint32 seedFromEnvironment()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(Bench::kEnvSeed, &ok);
    return ok ? quint32(value) : 1u;
}

void printListing(Output &out, const Bench::State &state)
{
    out.line("USB download tool: port listing");
    out.line("devices found: " + QByteArray::number(state.ports.size()));
    for (int i = 0; i < state.ports.size(); ++i) {
        const Bench::Port &p = state.ports.at(i);
        out.line("dev " + QByteArray::number(i) + ", vid " + ToolContract::kVendorId + ", pid " +
                 ToolContract::kProductId + ToolContract::kFieldSeparator + ToolContract::kPortLevelField +
                 QString(p.level).toLatin1() + ToolContract::kFieldSeparator + ToolContract::kPortNumField +
                 QString(p.number).toLatin1());
    }
}

int playMissingImages(Output &out, const QString &imageFolder, int delayMs)
{
    Player player(out, delayMs);
    player.waiting(1);
    player.say("[ERR] no image files in " + imageFolder.toUtf8());
    player.say(ToolContract::kDownloadFailed);
    return kExitFailed;
}

int hold(int seconds)
{
    pause(seconds * 1000);
    return 0;
}

namespace {

// A helper of its own that outlives the tool unless it is ended with it.
int playSpawn(Player &player, const QString &benchDir)
{
    player.waiting(1);
    const qint64 helper =
        ToolSupport::startSelf({QLatin1String(kHoldOption), QString::number(kHelperSeconds)});
    QFile log(benchDir + QLatin1Char('/') + QLatin1String(Bench::kChildrenLog));
    if (helper > 0 && log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(QByteArray::number(helper) + '\n');
    log.close();
    return hangForever();
}

// A console tool that asks for a key after its work; a closed input ends it.
int playPressKey(Output &out, Player &player)
{
    player.waiting(3);
    player.progress(kSteps);
    player.say(ToolContract::kUsbComplete);
    out.raw("Press any key to continue . . . ");
    std::fgetc(stdin);
    return 0;
}

int playFlood(Output &out)
{
    for (int i = 1; i <= kFloodLines; ++i)
        out.line(sizeLine(i, kFloodLines));
    out.line(ToolContract::kUsbComplete);
    return 0;
}

// One 50 MiB line without a line break in between, written in pieces.
int playLongLine(Output &out, Player &player)
{
    const QByteArray piece(1024 * 1024, 'x');
    for (int written = 0; written < kLongLineBytes; written += piece.size())
        out.raw(piece);
    out.line(QByteArray());
    player.say(ToolContract::kBreak);
    player.say(sizeLine(kImageBytes, kImageBytes));
    player.say(ToolContract::kUsbComplete);
    return 0;
}

int playGarbage(Output &out, Player &player, quint32 seed)
{
    QRandomGenerator rng(seed);
    player.waiting(2);
    for (int k = 1; k <= kSteps; ++k) {
        out.line(garbage(rng));
        player.say(ToolContract::kBreak);
        out.raw(garbage(rng));
        player.say(sizeLine(kImageBytes * k / kSteps, kImageBytes));
    }
    player.say(ToolContract::kUsbComplete);
    return 0;
}

} // namespace

int play(Output &out, const QString &scenario, int delayMs, quint32 seed, const QString &benchDir)
{
    Player player(out, scenario == QLatin1String("slow") ? delayMs * kSlowFactor : delayMs);

    // The scenarios that wait, show some progress and end with one result line.
    struct Plain
    {
        const char *name;
        int waitingLines;
        int steps;
        const char *result;
        int exitCode;
    };
    static const Plain kPlain[] = {
        {"ok", 3, kSteps, ToolContract::kUsbComplete, 0},
        {"slow", 3, kSteps, ToolContract::kUsbComplete, 0},
        {"notfound", 2, 0, ToolContract::kNotFound, kExitFailed},
        {"commfail", 3, 4, ToolContract::kCommFailed, kExitFailed},
        {"toolarge", 3, 0, ToolContract::kTooLargeErr, kExitFailed},
        {"dlfail", 3, 6, ToolContract::kDownloadFailed, kExitFailed},
    };
    for (const Plain &plain : kPlain) {
        if (scenario == QLatin1String(plain.name)) {
            player.waiting(plain.waitingLines);
            player.progress(plain.steps);
            player.say(plain.result);
            return plain.exitCode;
        }
    }
    if (scenario == QLatin1String("hang")) {
        player.waiting(1);
        return hangForever();
    }
    if (scenario == QLatin1String("spawn"))
        return playSpawn(player, benchDir);
    if (scenario == QLatin1String("presskey"))
        return playPressKey(out, player);
    if (scenario == QLatin1String("crash")) {
        player.waiting(2);
        player.progress(5);
        ToolSupport::killSelf();
    }
    if (scenario == QLatin1String("flood"))
        return playFlood(out);
    if (scenario == QLatin1String("longline"))
        return playLongLine(out, player);
    if (scenario == QLatin1String("garbage"))
        return playGarbage(out, player, seed);
    return kExitFailed;
}

} // namespace Sim
