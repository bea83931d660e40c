// Tool output of any shape through the single-board line decisions. The first
// byte picks the starting progress and whether "break" was already seen; the
// rest is one notification, cut into lines and decided line by line with the
// state carried along, as the run does.
#include "fuzzcheck.h"
#include "quorDownload/singleoutput.h"

#include <QLatin1String>
#include <QString>

#include <cmath>
#include <cstdint>

using namespace SingleOutput;

namespace {

bool has(const QString &line, const char *text)
{
    return line.contains(QLatin1String(text));
}

void checkLine(const QString &line, RunState &state)
{
    const RunState before = state;
    const LineDecision d = decideLine(line, state);

    FUZZ_CHECK(state.breakSeen == 0 || state.breakSeen == 1);
    FUZZ_CHECK(before.breakSeen == 0 || state.breakSeen == 1); // once seen, never forgotten here
    FUZZ_CHECK(std::isfinite(state.downloadProgress));
    FUZZ_CHECK(state.downloadProgress >= before.downloadProgress); // the bar never goes back
    const int bar = barValue(state.downloadProgress);
    if (state.downloadProgress < 2.0e9f)
        FUZZ_CHECK(bar == static_cast<int>(std::trunc(state.downloadProgress)));
    else
        FUZZ_CHECK(bar >= 2000000000);

    if (has(line, "usb device not found") || has(line, "device not foundce")) {
        FUZZ_CHECK(d.connection == Connection::BoxFirst && !d.countedWait && !d.failure && !d.completion);
        FUZZ_CHECK(state.downloadProgress == before.downloadProgress && state.breakSeen == before.breakSeen);
        return;
    }
    if (d.countedWait) {
        FUZZ_CHECK(before.breakSeen == 1 && has(line, "Waiting for USB device connection:"));
        FUZZ_CHECK(d.connection == Connection::None && d.shown.isEmpty() && !d.failure && !d.completion);
        FUZZ_CHECK(before.downloadProgress >= 10.0f ? state.downloadProgress == before.downloadProgress
                                                    : state.downloadProgress > before.downloadProgress);
        return;
    }
    if (d.connection == Connection::KillFirst) {
        FUZZ_CHECK(has(line, "usb commuicate failed!!!") && !d.failure && !d.completion);
        FUZZ_CHECK(state.downloadProgress == before.downloadProgress);
        return;
    }
    FUZZ_CHECK(d.connection == Connection::None);
    FUZZ_CHECK(!(has(line, "Waiting for USB device connection:") && before.breakSeen == 1));
    FUZZ_CHECK(!has(line, "usb commuicate failed!!!"));

    // Shown as received; the normalized copy differs in the first backslash only.
    FUZZ_CHECK(d.shown == line && d.normalized.size() == line.size());
    const int backslash = line.indexOf(QLatin1Char('\\'));
    for (int i = 0; i < line.size(); ++i) {
        const QChar expected = i == backslash ? QLatin1Char('/') : line.at(i);
        FUZZ_CHECK(d.normalized.at(i) == expected);
    }

    const bool tooLarge = has(d.normalized, "updating file is too large");
    const bool failed = has(d.normalized, "USB download failed");
    FUZZ_CHECK(d.failure == (tooLarge || failed));
    if (tooLarge)
        FUZZ_CHECK(d.failureText == QLatin1String("updating file is too large!!!"));
    else if (failed)
        FUZZ_CHECK(d.failureText == QLatin1String("USB download failed!!!"));
    else
        FUZZ_CHECK(d.failureText.isEmpty());
    FUZZ_CHECK(d.completion == has(d.normalized, "download complete"));

    if (has(d.normalized, "updated size")) {
        FUZZ_CHECK(state.breakSeen == before.breakSeen);
        const std::optional<int> percent = percentFromCounts(d.normalized);
        if (!percent || static_cast<float>(*percent) < before.downloadProgress)
            FUZZ_CHECK(state.downloadProgress == before.downloadProgress);
        else
            FUZZ_CHECK(state.downloadProgress == static_cast<float>(*percent));
    } else if (has(d.normalized, "break")) {
        FUZZ_CHECK(state.breakSeen == 1);
        FUZZ_CHECK(state.downloadProgress ==
                   static_cast<float>(static_cast<double>(before.downloadProgress) + 1.0));
    } else {
        FUZZ_CHECK(state.downloadProgress == before.downloadProgress && state.breakSeen == before.breakSeen);
    }
}

void checkCounts(const QString &line)
{
    const std::optional<int> percent = percentFromCounts(line);
    if (!percent)
        return;
    const int colon = line.lastIndexOf(QLatin1Char(':'));
    const int slash = line.lastIndexOf(QLatin1Char('/'));
    const int paren = line.lastIndexOf(QLatin1Char('('));
    FUZZ_CHECK(colon >= 0 && colon < slash && slash < paren);
    bool ok = false;
    const int total = line.mid(slash + 1, paren - slash - 1).toInt(&ok);
    FUZZ_CHECK(ok && total >= 100); // never a division by zero
    const int done = line.mid(colon + 1, slash - colon - 1).toInt();
    FUZZ_CHECK(*percent == done / (total / 100));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    RunState state;
    state.breakSeen = data[0] & 1;
    state.downloadProgress = static_cast<float>(data[0] >> 1);
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));

    const QStringList lines = splitLines(text);
    FUZZ_CHECK(lines.size() == text.count(QLatin1Char('\n')) + 1);
    FUZZ_CHECK(lines.join(QLatin1Char('\n')) == text);
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\n')));
        checkCounts(line);
        checkLine(line, state);
    }
    return 0;
}
