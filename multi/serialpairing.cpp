#include "multi/serialpairing.h"

QString serialFromInterfaceName(const QString &interfaceName)
{
    const QStringList parts = interfaceName.split(QLatin1Char('#'));
    return parts.size() > 2 ? parts.at(2) : QString();
}

QString SerialPairing::serialForNewPort(int newPortCount, const QStringList &servedArrivals,
                                        bool arrivalsWaiting)
{
    const bool balanced = newPortCount == servedArrivals.size() && !arrivalsWaiting;
    const bool sure = m_settled && balanced && newPortCount == 1;
    m_settled = balanced;
    return sure ? serialFromInterfaceName(servedArrivals.constFirst()) : QString();
}
