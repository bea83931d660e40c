#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The pure part of reading the download tool's output on the single-board
// page: cutting a notification into lines and deciding, line by line, what
// the run does with each. The run object applies the decisions to widgets,
// the log and message boxes.
namespace SingleOutput {

// The status view is cleared when a notification finds more text than this.
inline constexpr int kStatusTextLimit = 30720;

// Progress state shared by the lines of all notifications of a window.
struct RunState
{
    float downloadProgress = 0.0f; // percent
    int breakSeen = 0;             // 1 once a "break" line was seen
};

enum class Connection { None, BoxFirst, KillFirst };

struct LineDecision
{
    Connection connection = Connection::None; // ends the notification's handling
    bool countedWait = false;                 // a waiting line after "break": counted, nothing else
    QString shown;                            // the line as received, for the status view
    QString normalized;                       // the first backslash replaced by "/"
    bool failure = false;
    QString failureText;     // text of the failure box
    bool completion = false; // ends the notification's handling
};

// Splits at every line feed, keeping empty pieces and carriage returns.
QStringList splitLines(const QString &text);

// Tests one line in the fixed order and updates the progress state for the
// waiting, count and "break" lines. Clearing breakSeen on a connection
// problem is left to the caller, after the problem has been handled.
LineDecision decideLine(const QString &line, RunState &state);

// The bar's value for a progress: truncated towards zero.
int barValue(float progress);

} // namespace SingleOutput
