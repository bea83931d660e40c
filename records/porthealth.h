#pragma once

#include "records/record.h"

#include <QHash>
#include <QString>
#include <QVector>

// Which USB port (or its cable) fails more boards than the rest of its bench.
// A port is flagged when the Wilson interval of its failure rate lies wholly
// above the interval of the bench's other ports taken together. Each of a
// bench's k ports is tested, so the flag uses intervals at 1 - 5 %/k
// (Bonferroni): a bench of healthy ports stays unflagged 95 % of the time, not
// each port alone. The listed interval is the plain 95 % one.
namespace Records {

struct Interval
{
    double low = 0.0;
    double high = 1.0;
};

// Wilson score interval of failures out of boards for the normal quantile z
// (1.96 for 95 %); [0, 1] for no boards.
Interval wilsonInterval(int failures, int boards, double z = 1.959963984540054);

// The two-sided normal quantile for confidence 1 - alpha (alpha 0.05 gives 1.96).
double normalQuantile(double alpha);

// A run counts for its port unless the operator stopped it (a stop says
// nothing about the port); every other result but success is a failure.
bool countsForPort(Result result);

struct PortCount
{
    QString bench;
    QString port; // "L,N"
    int boards = 0;
    int failures = 0;
};

struct PortHealthRow
{
    QString bench;
    QString port;
    int boards = 0;
    int failures = 0;
    double failureRate = 0.0;
    Interval interval; // 95 %
    bool flagged = false;
};

// Counts per bench and port, ordered by bench, then port; runs without a port
// and stopped runs are left out.
QVector<PortCount> countPorts(const QVector<BoardRecord> &records);

// One row per count, in the same order, each compared with its bench's others.
QVector<PortHealthRow> portHealth(const QVector<PortCount> &counts);

// The rows as a text table with a header line; flagged ports say so.
QString portHealthTable(const QVector<PortHealthRow> &rows);

// The multi-board window's running view of its own ports.
class PortWatch final
{
public:
    void boardFinished(const QString &port, Result result);
    // "port 2,2 fails 30 %: check its cable" for each flagged port, joined by
    // "; "; empty when no port is clearly failing.
    QString warning() const;

private:
    QVector<PortCount> m_counts; // in the order ports were first seen
};

} // namespace Records
