#pragma once

#include "multi/portrecord.h"

#include <QVector>

// The multi-board window's port state and the decisions made on a device
// event: which listed ports are new, the binding of ports to board slots (the
// n-th distinct port ever registered belongs to slot n, for good) and which
// slots to launch. Runs no process and touches no widget; logs the port lines
// to the multi-board run log.
class PortTracker final
{
public:
    // Replaces the latest listing by `listed`, logs every listed port
    // ("USB Port connected: ") and returns those that were not in the previous
    // listing, in listing order.
    QVector<PortRecord> applyListing(const QVector<PortRecord> &listed);

    // Binds every port not yet bound to the next slot, then logs the whole
    // binding list ("USB Port removed: ", the label the log has always used).
    void registerPorts(QVector<PortRecord> newPorts);

    // What slot selection reads of a board slot, and the done flag it may clear.
    struct SlotState
    {
        bool idle = false; // the slot's process exists and is not running
        bool busy = false; // launched and not completed
        bool done = false; // completed
    };

    // Slot selection for one arrival over the slots that have a process (none
    // between batches). One-time guard after a success: when the first new
    // port is the port of a slot that is not busy and done, that slot's done
    // flag is cleared and no slot at all is launched. Otherwise returns, in
    // slot order, every slot whose port is among the new ports and whose
    // process is idle.
    QVector<int> selectSlots(const QVector<PortRecord> &newPorts, QVector<SlotState> &states) const;

    const QVector<PortRecord> &scannedPorts() const { return m_scannedPorts; }
    const QVector<PortRecord> &boardPorts() const { return m_boardPorts; }

private:
    QVector<PortRecord> m_scannedPorts;
    QVector<PortRecord> m_boardPorts;
};
