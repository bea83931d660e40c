#pragma once

#include <QByteArray>

#include <utility>

// Turns the tool's output, read in arbitrary pieces, into complete lines.
// Bytes go in as they arrive; what comes out ends with the last line end seen
// so far, and the unfinished tail (even half a character, or a CR whose LF is
// still to come) waits for the next piece or for finish(). NUL bytes are
// ordinary bytes. Each byte is searched once, so a line of any length costs
// time and memory in proportion to its size, never to the number of reads.
class LineAssembler final
{
public:
    // lineEnd: "\r\n" for the multi-board window, "\n" for the single-board one.
    explicit LineAssembler(QByteArray lineEnd = QByteArrayLiteral("\r\n")) : m_lineEnd(std::move(lineEnd)) {}

    // Appends bytes; returns everything up to and including the last complete
    // line end, or an empty array while no line is complete.
    QByteArray feed(const QByteArray &bytes);

    // The unfinished tail, handed out when the output has ended.
    QByteArray finish();

    void clear();
    bool hasPending() const { return !m_pending.isEmpty(); }

private:
    QByteArray m_lineEnd;
    QByteArray m_pending;
    int m_searched = 0; // bytes of m_pending known to hold no complete line end
};
