#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>

// One board run as a production record: who burned what, where, when and how
// it ended. Built by the windows when a run ends, written by RecordWriter,
// read back by quor_records.
namespace Records {

enum class Result { Success, NotFound, CommFailed, TooLarge, DownloadFailed, ToolCrashed, Stopped, Watchdog };

// "success", "not_found", "comm_failed", "too_large", "download_failed",
// "tool_crashed", "stopped", "watchdog".
QString resultName(Result result);
std::optional<Result> resultFromName(const QString &name);

struct BoardRecord
{
    QString id;     // unique across benches: bench + "/" + UUID
    QString bench;  // host name
    QString window; // "multi" or "single"
    int slot = 0;   // 1..8 in the multi-board window, 1 in the single-board one
    QString port;   // "L,N", empty when the tool picks the board itself
    QString serial; // the board's serial, empty when unknown
    QString source; // the package or description path
    QString sha256; // its SHA-256, 64 lowercase hex digits; empty when unknown
    QString chip;
    QString os;
    QDateTime start; // UTC
    QDateTime end;   // UTC
    qint64 durationMs = 0;
    Result result = Result::DownloadFailed;
    int exitCode = -1; // -1 when the tool did not exit by itself
    QString lastLine;  // the tool's last output line
    QString signedBy;  // key id(s) of the verified release signature; empty when not checked
};

// "2026-12-06T17:04:10.123Z"; the stores keep times in this form, so text order is time order.
QString isoUtc(const QDateTime &time);
QDateTime fromIsoUtc(const QString &text);

// bench + "/" + a fresh UUID without braces.
QString newRecordId(const QString &bench);

// This machine's name as records carry it.
QString benchName();

// What a finished run showed, as far as the result depends on it.
struct RunOutcome
{
    bool completed = false;            // the completion text was seen
    std::optional<Result> lineFailure; // the first failure line seen (not found, comm, too large, download)
    bool watchdog = false;             // stopped because the tool fell silent
    bool stopped = false;              // stopped by the operator (Stop, Restart, closing the window)
    bool crashed = false;              // the tool ended by a signal we did not send
};

// A completion wins, then the first failure line, then the watchdog, the
// operator's stop and a crash; a tool that ended without any of them failed
// the download.
Result classify(const RunOutcome &outcome);

} // namespace Records

Q_DECLARE_METATYPE(Records::BoardRecord)
