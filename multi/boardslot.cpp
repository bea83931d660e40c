#include "multi/boardslot.h"

#include "multi/boardoutput.h"

#include <utility>

QProcess *BoardSlot::takeProcess()
{
    return std::exchange(m_process, nullptr);
}

void BoardSlot::prepareLaunch()
{
    m_pending.clear();
    m_killedAfterNotFound = false;
    m_silenced = false;
}

QStringList BoardSlot::takeLines(const QByteArray &bytes)
{
    QStringList lines = splitBoardOutput(decodeToolOutput(m_pending.feed(bytes)));
    lines.removeLast();
    return lines;
}

bool BoardSlot::takeTail(QString *tail)
{
    if (m_handling || !m_pending.hasPending())
        return false;
    *tail = decodeToolOutput(m_pending.finish());
    return true;
}
