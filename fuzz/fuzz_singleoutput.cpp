// Tool output of any shape through the single-board line decisions. The first byte picks the starting
// progress and whether "break" was already seen; the rest is one notification, cut into lines and
// decided line by line with the state carried along, as the run does.
#include "common/tooltext.h"
#include "fuzzcheck.h"
#include "quorDownload/singleoutput.h"

#include <cmath>

using namespace SingleOutput;

static bool has(const QString &line, const char *text)
{
    return line.contains(QLatin1String(text));
}

static void checkLine(const QString &line, RunState &state)
{
    const RunState before = state;
    const LineDecision d = decideLine(line, state);
    FUZZ_CHECK(state.breakSeen == 1 || (state.breakSeen == 0 && before.breakSeen == 0)); // never forgotten
    FUZZ_CHECK(std::isfinite(state.downloadProgress) && state.downloadProgress >= before.downloadProgress);
    const int bar = barValue(state.downloadProgress);
    FUZZ_CHECK(state.downloadProgress < 2.0e9f ? bar == static_cast<int>(std::trunc(state.downloadProgress))
                                               : bar >= 2000000000);
    if (d.connection != Connection::None || d.countedWait) {
        FUZZ_CHECK(!d.failure && !d.completion && state.breakSeen == before.breakSeen);
        FUZZ_CHECK(!d.countedWait || before.downloadProgress >= 10.0f
                       ? state.downloadProgress == before.downloadProgress
                       : state.downloadProgress > before.downloadProgress);
        return;
    }
    // Shown as received; the normalized copy differs in the first backslash only.
    const int backslash = line.indexOf(QLatin1Char('\\'));
    FUZZ_CHECK(d.shown == line &&
               d.normalized ==
                   (backslash < 0 ? line : QString(line).replace(backslash, 1, QLatin1Char('/'))));
    FUZZ_CHECK(d.failureText.isEmpty() != d.failure);
    // Only a count line moves the bar, or "break" by one.
    const bool counts = has(d.normalized, "updated size"), isBreak = !counts && has(d.normalized, "break");
    FUZZ_CHECK(state.breakSeen == (isBreak ? 1 : before.breakSeen));
    FUZZ_CHECK(counts || isBreak || state.downloadProgress == before.downloadProgress);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    RunState state;
    state.breakSeen = data[0] & 1;
    state.downloadProgress = static_cast<float>(data[0] >> 1);
    const QString text = QString::fromUtf8(fuzzBytes(data + 1, size - 1));
    const QStringList lines = splitLines(text);
    FUZZ_CHECK(lines.join(QLatin1Char('\n')) == text && lines.size() == text.count(QLatin1Char('\n')) + 1);
    for (const QString &line : lines) {
        (void)ToolText::updatedSizePercent(
            line); // a total below 100 must not divide by zero (UBSan stops here)
        checkLine(line, state);
    }
    return 0;
}
