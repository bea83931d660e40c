#pragma once

#include <QVector>

// Which board slots' tools have printed nothing for too long. Times are
// monotonic milliseconds given by the caller; a limit of 0 turns the stops off
// (how long each busy slot has been silent is still known).
class SilenceWatchdog final
{
public:
    explicit SilenceWatchdog(int slotCount = 8, qint64 limitMs = 0);

    bool enabled() const { return m_limitMs > 0; }
    qint64 limitMs() const { return m_limitMs; }

    void arm(int slot, qint64 nowMs);   // the slot's tool was started
    void heard(int slot, qint64 nowMs); // it printed something
    void disarm(int slot);              // its run ended

    // How long the armed slot has printed nothing; -1 when it is not armed.
    qint64 silentMs(int slot, qint64 nowMs) const;

    // Armed slots silent for the limit or longer, in slot order; they are disarmed.
    QVector<int> expired(qint64 nowMs);

private:
    qint64 m_limitMs;
    QVector<qint64> m_lastHeard; // -1: not armed
};
