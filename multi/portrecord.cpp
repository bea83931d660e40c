#include "multi/portrecord.h"

bool operator==(const PortRecord &a, const PortRecord &b)
{
    return a.level == b.level && a.number == b.number;
}

bool operator!=(const PortRecord &a, const PortRecord &b)
{
    return !(a == b);
}

QDebug operator<<(QDebug debug, const PortRecord &port)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << '(' << port.level << ", " << port.number << ')';
    return debug;
}
