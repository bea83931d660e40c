#include "multi/porttracker.h"

#include "multi/multilogging.h"
#include "multi/multiplexlog.h"

#include <QDebug>

#include <algorithm>

QVector<PortRecord> PortTracker::applyListing(const QVector<PortRecord> &listed)
{
    const QVector<PortRecord> previous = m_scannedPorts;
    m_scannedPorts = listed;

    QVector<PortRecord> newPorts;
    for (const PortRecord &port : qAsConst(m_scannedPorts)) {
        if (!previous.contains(port))
            newPorts.append(port);
        qCDebug(lcPorts) << port;
        logPortConnected(port);
    }
    qCDebug(lcPorts) << "newPort: " << newPorts;
    return newPorts;
}

void PortTracker::registerPorts(QVector<PortRecord> newPorts)
{
    for (const PortRecord &port : qAsConst(newPorts)) {
        if (!m_boardPorts.contains(port))
            m_boardPorts.append(port);
    }
    qCDebug(lcPorts) << "Register port list: " << m_boardPorts;
    logPortList(m_boardPorts);
}

QVector<int> PortTracker::selectSlots(const QVector<PortRecord> &newPorts, QVector<SlotState> &states) const
{
    QVector<int> launch;
    if (newPorts.isEmpty())
        return launch;

    // Only slots that have a process and a bound port take part.
    const int slotCount = std::min(states.size(), m_boardPorts.size());
    for (int i = 0; i < slotCount; ++i) {
        SlotState &state = states[i];
        if (m_boardPorts.at(i) == newPorts.first() && !state.busy && state.done) {
            // First arrival after a success on this port: only re-arm the
            // slot. Nothing is launched in this event, not even slots decided
            // before this one.
            state.done = false;
            return {};
        }
        if (state.idle && newPorts.contains(m_boardPorts.at(i)))
            launch.append(i);
    }
    return launch;
}
