#include "multi/boardoutput.h"

#include "common/toolcontract.h"

#include <QLatin1String>

namespace {

constexpr float kWaitingCeiling = 10.0f;
constexpr double kWaitingStep = 0.1;
constexpr float kBreakStep = 1.0f;
constexpr float kCompleteValue = 100.0f;
constexpr int kPercentDivisor = 100;

bool has(const QString &line, const char *text)
{
    return line.contains(QLatin1String(text));
}

QString boardText(int slotNumber, const char *rest)
{
    return QStringLiteral("Board ") + QString::number(slotNumber) + QLatin1String(rest);
}

// The text strictly between two positions, or empty when either is missing
// or they are out of order.
QString between(const QString &line, int from, int to)
{
    if (from < 0 || to < 0 || to <= from)
        return QString();
    return line.mid(from + 1, to - from - 1);
}

// "updated size" counts: done after the last ':' up to the last '/', total
// from there up to the last '('. Returns false when the total cannot give a
// percentage (below 100 or not a number), so the caller keeps its value.
bool updatedSizePercent(const QString &line, int &percent)
{
    const int colon = line.lastIndexOf(QLatin1Char(':'));
    const int slash = line.lastIndexOf(QLatin1Char('/'));
    const int paren = line.lastIndexOf(QLatin1Char('('));
    const int done = between(line, colon, slash).toInt(nullptr, 10);
    const int total = between(line, slash, paren).toInt(nullptr, 10);
    if (total < kPercentDivisor)
        return false;
    percent = done / (total / kPercentDivisor);
    return true;
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
        QString counted = line;
        const int backslash = counted.indexOf(QLatin1Char('\\'));
        if (backslash >= 0)
            counted[backslash] = QLatin1Char('/');
        if (has(counted, ToolContract::kUpdatedSize)) {
            result.kind = Kind::Progress;
            int percent = 0;
            if (updatedSizePercent(counted, percent) && static_cast<float>(percent) >= progress)
                result.progress = static_cast<float>(percent);
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
