#pragma once

#include <QDateTime>
#include <QSet>
#include <QString>

// The counters of one batch in the multi-board window: boards that passed,
// failed (any result but success) or are burning now, boards per hour and the
// batch's elapsed time. A batch runs from Start to Stop.
class BatchCounters final
{
public:
    void startBatch(const QDateTime &now);
    void stopBatch(const QDateTime &now);
    bool isRunning() const { return m_running; }

    void boardStarted(int slot);
    // Counts the slot's run once; a slot not burning is not counted.
    void boardFinished(int slot, bool passed);

    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    int burning() const { return m_burning.size(); }
    qint64 elapsedMs(const QDateTime &now) const;
    // Finished boards per hour of elapsed time; 0 before a second has passed.
    double boardsPerHour(const QDateTime &now) const;
    // "Batch: 5 passed, 1 failed, 2 burning, 120.0 boards/h, 00:03:00"
    QString text(const QDateTime &now) const;

private:
    bool m_running = false;
    QDateTime m_start;
    QDateTime m_stop;
    int m_passed = 0;
    int m_failed = 0;
    QSet<int> m_burning;
};
