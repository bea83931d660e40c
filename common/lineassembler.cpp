#include "common/lineassembler.h"

#include <cstring>

QByteArray LineAssembler::feed(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QByteArray();
    m_pending.append(bytes);
    const int endSize = m_lineEnd.size();
    // A line end may start in the last endSize-1 bytes already searched.
    const int from = qMax(0, m_searched - (endSize - 1));
    int last = -1;
    const char *data = m_pending.constData();
    for (int i = m_pending.size() - endSize; i >= from; --i) {
        if (std::memcmp(data + i, m_lineEnd.constData(), size_t(endSize)) == 0) {
            last = i;
            break;
        }
    }
    if (last < 0) {
        m_searched = m_pending.size();
        return QByteArray();
    }
    const int complete = last + endSize;
    QByteArray lines;
    if (complete == m_pending.size()) {
        lines.swap(m_pending);
    } else {
        lines = m_pending.left(complete);
        m_pending.remove(0, complete);
    }
    m_searched = m_pending.size();
    return lines;
}

QByteArray LineAssembler::finish()
{
    QByteArray tail;
    tail.swap(m_pending);
    m_searched = 0;
    return tail;
}

void LineAssembler::clear()
{
    m_pending.clear();
    m_searched = 0;
}
