#include "quorDownload/singleoutput.h"

#include "common/toolcontract.h"
#include "common/tooltext.h"

#include <limits>

namespace SingleOutput {

using ToolText::has;

QStringList splitLines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
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
    d.normalized = ToolText::withSlash(line);

    if (has(d.normalized, ToolContract::kUpdatedSize)) {
        if (const std::optional<int> percent = ToolText::updatedSizePercent(d.normalized)) {
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
