#include "records/record.h"

#include <QHostInfo>
#include <QUuid>

#include <array>
#include <utility>

namespace Records {

namespace {
const std::array<std::pair<Result, const char *>, 8> kNames = {{
    {Result::Success, "success"},
    {Result::NotFound, "not_found"},
    {Result::CommFailed, "comm_failed"},
    {Result::TooLarge, "too_large"},
    {Result::DownloadFailed, "download_failed"},
    {Result::ToolCrashed, "tool_crashed"},
    {Result::Stopped, "stopped"},
    {Result::Watchdog, "watchdog"},
}};
const char kIsoFormat[] = "yyyy-MM-ddTHH:mm:ss.zzzZ";
} // namespace

QString resultName(Result result)
{
    for (const auto &entry : kNames)
        if (entry.first == result)
            return QLatin1String(entry.second);
    return QString();
}

std::optional<Result> resultFromName(const QString &name)
{
    for (const auto &entry : kNames)
        if (name == QLatin1String(entry.second))
            return entry.first;
    return std::nullopt;
}

QString isoUtc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs); // "Z" for UTC
}

QDateTime fromIsoUtc(const QString &text)
{
    QDateTime time = QDateTime::fromString(text, QLatin1String(kIsoFormat));
    if (!time.isValid())
        time = QDateTime::fromString(text, Qt::ISODateWithMs);
    time.setTimeSpec(Qt::UTC);
    return time;
}

QString newRecordId(const QString &bench)
{
    return bench + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString benchName()
{
    const QString name = QHostInfo::localHostName();
    return name.isEmpty() ? QStringLiteral("bench") : name;
}

Result classify(const RunOutcome &outcome)
{
    if (outcome.completed)
        return Result::Success;
    if (outcome.lineFailure)
        return *outcome.lineFailure;
    if (outcome.watchdog)
        return Result::Watchdog;
    if (outcome.stopped)
        return Result::Stopped;
    if (outcome.crashed)
        return Result::ToolCrashed;
    return Result::DownloadFailed;
}

} // namespace Records
