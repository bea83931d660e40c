#pragma once

#include "records/record.h"

// One board run in a window, from launch to its end: collects what the
// result depends on while the tool runs, and gives the record when it ends.
class BoardRun final
{
public:
    // Starts a run; `identity` carries everything but times, result, exit
    // code and last line. A run still active is dropped.
    void begin(const Records::BoardRecord &identity, const QDateTime &now);
    bool isActive() const { return m_active; }
    const Records::BoardRecord &record() const { return m_record; }

    void noteLine(const QString &line);        // keeps the last line that is not empty
    void noteFailure(Records::Result failure); // the first one counts
    void noteCompleted() { m_outcome.completed = true; }
    void noteWatchdog() { m_outcome.watchdog = true; }
    void noteStopped() { m_outcome.stopped = true; }

    // Ends the run and returns its record with a fresh id. exitCode is the
    // tool's, ignored when it crashed or was killed (recorded as -1).
    Records::BoardRecord finish(int exitCode, bool crashed, const QDateTime &now);

private:
    bool m_active = false;
    Records::BoardRecord m_record;
    Records::RunOutcome m_outcome;
};
