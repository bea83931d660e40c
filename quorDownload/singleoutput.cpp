#include "quorDownload/singleoutput.h"

#include "common/toolcontract.h"

#include <limits>

namespace SingleOutput {

namespace {

bool has(const QString &line, const char *text)
{
    return line.contains(QLatin1String(text), Qt::CaseSensitive);
}

} // namespace

QStringList splitLines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
}

std::optional<int> percentFromCounts(const QString &line)
{
    const int colon = line.lastIndexOf(QLatin1Char(':'));
    const int slash = line.lastIndexOf(QLatin1Char('/'));
    const int paren = line.lastIndexOf(QLatin1Char('('));
    if (colon < 0 || slash < colon || paren < slash)
        return std::nullopt;
    bool totalOk = false;
    const int total = line.mid(slash + 1, paren - slash - 1).toInt(&totalOk);
    if (!totalOk || total < 100)
        return std::nullopt;
    const int done = line.mid(colon + 1, slash - colon - 1).toInt(); // 0 when not a number
    return done / (total / 100);
}

LineDecision decideLine(const QString &line, RunState &state)
{
    LineDecision d;
    if (has(line, ToolContract::kNotFound) || has(line, ToolContract::kNotFoundAlt)) {
        d.connection = Connection::BoxFirst;
        return d;
    }
    if (has(line, ToolContract::kWaitingSingle) && state.breakSeen == 1) {
        if (state.downloadProgress < 10.0f)
            state.downloadProgress = float(double(state.downloadProgress) + 0.1);
        d.countedWait = true;
        return d;
    }
    if (has(line, ToolContract::kCommFailed)) {
        d.connection = Connection::KillFirst;
        return d;
    }
    d.shown = line;
    d.normalized = line;
    const int backslash = d.normalized.indexOf(QLatin1Char('\\'));
    if (backslash >= 0)
        d.normalized[backslash] = QLatin1Char('/');

    if (has(d.normalized, ToolContract::kUpdatedSize)) {
        if (const std::optional<int> percent = percentFromCounts(d.normalized)) {
            const float value = float(*percent);
            if (value >= state.downloadProgress)
                state.downloadProgress = value;
        }
    } else if (has(d.normalized, ToolContract::kBreak)) {
        state.breakSeen = 1;
        state.downloadProgress = float(double(state.downloadProgress) + 1.0);
    }

    if (has(d.normalized, ToolContract::kTooLargeErr) || has(d.normalized, ToolContract::kTooLarge)) {
        d.failure = true;
        d.failureText = QStringLiteral("updating file is too large!!!");
    } else if (has(d.normalized, ToolContract::kDownloadFailed)) {
        d.failure = true;
        d.failureText = QStringLiteral("USB download failed!!!");
    }
    d.completion =
        has(d.normalized, ToolContract::kUsbComplete) || has(d.normalized, ToolContract::kComplete);
    return d;
}

int barValue(float progress)
{
    // Huge counts must not overflow the conversion; such values are outside
    // the bar's range anyway.
    if (!(progress > -2147483648.0f))
        return progress != progress ? 0 : std::numeric_limits<int>::min();
    if (progress >= 2147483648.0f)
        return std::numeric_limits<int>::max();
    return int(progress);
}

} // namespace SingleOutput
