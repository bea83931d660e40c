#include "records/boardrun.h"

void BoardRun::begin(const Records::BoardRecord &identity, const QDateTime &now)
{
    m_record = identity;
    m_record.start = now.toUTC();
    m_record.end = QDateTime();
    m_record.lastLine.clear();
    m_outcome = Records::RunOutcome{};
    m_active = true;
}

void BoardRun::noteLine(const QString &line)
{
    // Called for every output line: no copy, and most lines end the scan at
    // their first character.
    for (const QChar c : line) {
        if (!c.isSpace()) {
            m_record.lastLine = line;
            return;
        }
    }
}

void BoardRun::noteFailure(Records::Result failure)
{
    if (!m_outcome.lineFailure)
        m_outcome.lineFailure = failure;
}

Records::BoardRecord BoardRun::finish(int exitCode, bool crashed, const QDateTime &now)
{
    m_active = false;
    m_outcome.crashed = crashed;
    Records::BoardRecord done = m_record;
    // Lines of the single-board tool keep their CR; the record holds the text.
    if (done.lastLine.endsWith(QLatin1Char('\r')))
        done.lastLine.chop(1);
    done.id = Records::newRecordId(done.bench);
    done.end = now.toUTC();
    done.durationMs = qMax<qint64>(0, done.start.msecsTo(done.end));
    done.result = Records::classify(m_outcome);
    const bool ownEnd = !crashed && !m_outcome.watchdog && !m_outcome.stopped &&
                        m_outcome.lineFailure != Records::Result::NotFound;
    done.exitCode = ownEnd ? exitCode : -1;
    return done;
}
