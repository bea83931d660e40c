#pragma once

#include <QString>
#include <QStringList>

// The serial in a device-interface name: its third "#"-separated part
// (\\?\USB#VID_7352&PID_1000#QB3133#{...} gives QB3133); empty when absent.
QString serialFromInterfaceName(const QString &interfaceName);

// Pairs the boards port listings find new with the serials in the device names
// of the arrivals each listing serves. A listing names ports only, and one may
// serve several arrivals or find a board whose arrival the next one serves, so
// a pair is made only when it is sure: this listing served one arrival, found
// one new port, no arrival came while it ran, and the listing before it left
// nothing unpaired. Otherwise the serial is unknown (empty), never another's.
class SerialPairing final
{
public:
    QString serialForNewPort(int newPortCount, const QStringList &servedArrivals, bool arrivalsWaiting);

private:
    bool m_settled = true; // the last listing paired every port with an arrival
};
