#pragma once

#include <QDebug>
#include <QString>
#include <QVector>

// A USB port as the multi-board window knows it: the level and the number
// characters that the port listing yields. Two records are equal when both
// strings are equal, in order.
struct PortRecord
{
    QString level;
    QString number;
};

bool operator==(const PortRecord &a, const PortRecord &b);
bool operator!=(const PortRecord &a, const PortRecord &b);

// Debug output: ("L", "M").
QDebug operator<<(QDebug debug, const PortRecord &port);

Q_DECLARE_TYPEINFO(PortRecord, Q_MOVABLE_TYPE);
