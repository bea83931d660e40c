#include "multi/batchcounters.h"

void BatchCounters::startBatch(const QDateTime &now)
{
    *this = BatchCounters{};
    m_running = true;
    m_start = now;
}

void BatchCounters::stopBatch(const QDateTime &now)
{
    if (!m_running)
        return;
    m_running = false;
    m_stop = now;
}

void BatchCounters::boardStarted(int slot)
{
    if (m_running)
        m_burning.insert(slot);
}

void BatchCounters::boardFinished(int slot, bool passed)
{
    if (!m_burning.remove(slot))
        return;
    if (passed)
        ++m_passed;
    else
        ++m_failed;
}

qint64 BatchCounters::elapsedMs(const QDateTime &now) const
{
    if (!m_start.isValid())
        return 0;
    return qMax<qint64>(0, m_start.msecsTo(m_running ? now : m_stop));
}

double BatchCounters::boardsPerHour(const QDateTime &now) const
{
    const qint64 ms = elapsedMs(now);
    if (ms < 1000)
        return 0.0;
    return (m_passed + m_failed) * 3600000.0 / static_cast<double>(ms);
}

QString BatchCounters::text(const QDateTime &now) const
{
    const qint64 seconds = elapsedMs(now) / 1000;
    return QStringLiteral("Batch: %1 passed, %2 failed, %3 burning, %4 boards/h, %5:%6:%7")
        .arg(m_passed)
        .arg(m_failed)
        .arg(burning())
        .arg(boardsPerHour(now), 0, 'f', 1)
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
