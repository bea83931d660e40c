#include "multi/porttracker.h"

#include "multi/multiplexlog.h"
#include "platform/logging.h"

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

QVector<int> PortTracker::selectSlots(const QVector<PortRecord> &newPorts, const QVector<bool> &processIdle,
                                      const QVector<int> &boardBusy, QVector<int> &boardDone) const
{
    QVector<int> launch;
    if (newPorts.isEmpty())
        return launch;

    // Only slots that have a process, a bound port and both flags take part.
    const int slotCount =
        std::min({processIdle.size(), m_boardPorts.size(), boardBusy.size(), boardDone.size()});
    for (int i = 0; i < slotCount; ++i) {
        if (m_boardPorts.at(i) == newPorts.first() && boardBusy.at(i) == 0 && boardDone.at(i) == 1) {
            // First arrival after a success on this port: only re-arm the
            // slot. Nothing is launched in this event, not even slots decided
            // before this one.
            boardDone[i] = 0;
            return {};
        }
        if (processIdle.at(i) && newPorts.contains(m_boardPorts.at(i)))
            launch.append(i);
    }
    return launch;
}
