#pragma once

#include "common/lineassembler.h"
#include "records/boardrun.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

// One board slot of the multi-board batch: the tool process the running batch
// made for it, the tool's unfinished output, its flags and its run record. The
// session decides what happens; the slot keeps the state.
class BoardSlot final
{
public:
    void setUp(int index) { m_index = index; }
    int index() const { return m_index; }
    int number() const { return m_index + 1; }

    // The process of the running batch; null between batches.
    QProcess *process() const { return m_process; }
    void setProcess(QProcess *process) { m_process = process; }
    QProcess *takeProcess();

    // A new transfer on the slot: no output of an earlier one is left.
    void prepareLaunch();

    // The tool's output cut into whole lines (the empty text after the last
    // line end left out); the unfinished tail waits, undecoded, so a
    // character cut between two reads stays whole.
    QStringList takeLines(const QByteArray &bytes);
    // The cut-off last line, once the process has ended: empty (and false)
    // while lines are being handled or nothing is left over.
    bool takeTail(QString *tail);
    void dropOutput() { m_pending.clear(); }

    // Set while the slot's lines are handled.
    void setHandlingOutput(bool handling) { m_handling = handling; }

    // Slot selection's flags. They outlive a batch: the next batch's first
    // arrival reads what the previous one left.
    bool busy() const { return m_busy; }
    bool done() const { return m_done; }
    void setDone(bool done) { m_done = done; }
    void markStarted() { m_busy = true; }
    void markCompleted()
    {
        m_done = true;
        m_busy = false;
    }

    // A tool that reported "not found" and was killed: its output is no
    // longer read, and the slot is finished when the process reports its end.
    bool killedAfterNotFound() const { return m_killedAfterNotFound; }
    void setKilledAfterNotFound(bool killed) { m_killedAfterNotFound = killed; }
    // Stopped by the silence watchdog: output no longer read.
    bool silenced() const { return m_silenced; }
    void setSilenced(bool silenced) { m_silenced = silenced; }

    BoardRun &run() { return m_run; }

private:
    int m_index = 0;
    QProcess *m_process = nullptr;
    LineAssembler m_pending;
    bool m_handling = false;
    bool m_busy = false;
    bool m_done = false;
    bool m_killedAfterNotFound = false;
    bool m_silenced = false;
    BoardRun m_run;
};
