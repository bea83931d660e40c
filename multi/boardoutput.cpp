#include "multi/boardoutput.h"

#include "common/toolcontract.h"
#include "common/tooltext.h"

#include <QLatin1String>

namespace {

constexpr float kWaitingCeiling = 10.0f;
constexpr double kWaitingStep = 0.1;
constexpr float kBreakStep = 1.0f;
constexpr float kCompleteValue = 100.0f;

using ToolText::has;

QString boardText(int slotNumber, const char *rest)
{
    return QStringLiteral("Board ") + QString::number(slotNumber) + QLatin1String(rest);
}

} // namespace

QString decodeToolOutput(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

QStringList splitBoardOutput(const QString &text)
{
    return text.split(QLatin1String(ToolContract::kLineEnd));
}

QString boardLogPrefix(int slotNumber)
{
    return boardText(slotNumber, "] ").prepend(QLatin1Char('['));
}

BoardLineResult interpretBoardLine(const QString &line, int slotNumber, float progress)
{
    using Kind = BoardLineResult::Kind;
    BoardLineResult result;
    result.progress = progress;

    if (has(line, ToolContract::kNotFound) || has(line, ToolContract::kNotFoundAlt)) {
        result.kind = Kind::NotFound;
        result.statusMessage = boardText(slotNumber, " download failed! Please restart.\n");
        return result;
    }
    if (has(line, ToolContract::kWaiting)) {
        result.kind = Kind::Waiting;
        if (progress < kWaitingCeiling)
            result.progress = static_cast<float>(static_cast<double>(progress) + kWaitingStep);
        return result;
    }

    if (has(line, ToolContract::kCommFailed)) {
        result.kind = Kind::CommFailed;
        result.statusMessage =
            boardText(slotNumber, " usb commuicate failed! Please check your usb and restart.\n");
    } else if (has(line, ToolContract::kTooLargeErr) || has(line, ToolContract::kTooLarge)) {
        result.kind = Kind::TooLarge;
        result.statusMessage = boardText(slotNumber, " updating file is too large!!!");
    } else if (has(line, ToolContract::kDownloadFailed)) {
        result.kind = Kind::DownloadFailed;
        result.statusMessage = boardText(slotNumber, " USB download failed!!!");
    } else {
        const QString counted = ToolText::withSlash(line);
        if (has(counted, ToolContract::kUpdatedSize)) {
            result.kind = Kind::Progress;
            const std::optional<int> percent = ToolText::updatedSizePercent(counted);
            if (percent && static_cast<float>(*percent) >= progress)
                result.progress = static_cast<float>(*percent);
        } else if (has(counted, ToolContract::kBreak)) {
            result.kind = Kind::Break;
            result.progress = progress + kBreakStep;
        }
    }

    if (has(line, ToolContract::kComplete)) {
        result.complete = true;
        result.progress = kCompleteValue;
        result.completeMessage = boardText(slotNumber, " download complete!\n");
    }
    return result;
}
