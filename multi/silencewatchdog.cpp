#include "multi/silencewatchdog.h"

SilenceWatchdog::SilenceWatchdog(int slotCount, qint64 limitMs)
    : m_limitMs(qMax<qint64>(0, limitMs)), m_lastHeard(slotCount, -1)
{
}

void SilenceWatchdog::arm(int slot, qint64 nowMs)
{
    if (slot >= 0 && slot < m_lastHeard.size())
        m_lastHeard[slot] = nowMs;
}

void SilenceWatchdog::heard(int slot, qint64 nowMs)
{
    if (slot >= 0 && slot < m_lastHeard.size() && m_lastHeard.at(slot) >= 0)
        m_lastHeard[slot] = nowMs;
}

void SilenceWatchdog::disarm(int slot)
{
    if (slot >= 0 && slot < m_lastHeard.size())
        m_lastHeard[slot] = -1;
}

qint64 SilenceWatchdog::silentMs(int slot, qint64 nowMs) const
{
    if (slot < 0 || slot >= m_lastHeard.size() || m_lastHeard.at(slot) < 0)
        return -1;
    return qMax<qint64>(0, nowMs - m_lastHeard.at(slot));
}

QVector<int> SilenceWatchdog::expired(qint64 nowMs)
{
    QVector<int> silent;
    if (!enabled())
        return silent;
    for (int slot = 0; slot < m_lastHeard.size(); ++slot) {
        if (m_lastHeard.at(slot) >= 0 && nowMs - m_lastHeard.at(slot) >= m_limitMs) {
            silent.append(slot);
            m_lastHeard[slot] = -1;
        }
    }
    return silent;
}
