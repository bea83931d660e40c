#include "records/porthealth.h"

#include <QtMath>

#include <cmath>

#include <algorithm>
#include <map>
#include <utility>

namespace Records {

namespace {

const double kFamilyAlpha = 0.05;

} // namespace

double normalQuantile(double alpha)
{
    // erfc(z / sqrt 2) is the two-sided tail beyond z; it falls as z grows.
    double low = 0.0;
    double high = 40.0;
    for (int i = 0; i < 64; ++i) {
        const double mid = (low + high) / 2.0;
        (std::erfc(mid / M_SQRT2) > alpha ? low : high) = mid;
    }
    return (low + high) / 2.0;
}

Interval wilsonInterval(int failures, int boards, double z)
{
    if (boards <= 0)
        return {};
    const double n = boards;
    const double p = double(failures) / n;
    const double z2 = z * z;
    const double denominator = 1.0 + z2 / n;
    const double centre = (p + z2 / (2.0 * n)) / denominator;
    const double half = z * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / denominator;
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

bool countsForPort(Result result)
{
    return result != Result::Stopped;
}

QVector<PortCount> countPorts(const QVector<BoardRecord> &records)
{
    std::map<std::pair<QString, QString>, PortCount> groups;
    for (const BoardRecord &r : records) {
        if (r.port.isEmpty() || !countsForPort(r.result))
            continue;
        PortCount &count = groups[{r.bench, r.port}];
        count.bench = r.bench;
        count.port = r.port;
        ++count.boards;
        if (r.result != Result::Success)
            ++count.failures;
    }
    QVector<PortCount> counts;
    for (const auto &entry : groups)
        counts.append(entry.second);
    return counts;
}

QVector<PortHealthRow> portHealth(const QVector<PortCount> &counts)
{
    QHash<QString, PortCount> benchTotals; // boards: all the bench's; failures: likewise; port: unused
    QHash<QString, int> benchPorts;
    for (const PortCount &c : counts) {
        PortCount &total = benchTotals[c.bench];
        total.boards += c.boards;
        total.failures += c.failures;
        ++benchPorts[c.bench];
    }
    QHash<QString, double> benchZ;
    for (auto it = benchPorts.cbegin(); it != benchPorts.cend(); ++it)
        benchZ.insert(it.key(), normalQuantile(kFamilyAlpha / it.value()));
    QVector<PortHealthRow> rows;
    rows.reserve(counts.size());
    for (const PortCount &c : counts) {
        PortHealthRow row;
        row.bench = c.bench;
        row.port = c.port;
        row.boards = c.boards;
        row.failures = c.failures;
        row.failureRate = c.boards > 0 ? double(c.failures) / c.boards : 0.0;
        row.interval = wilsonInterval(c.failures, c.boards);
        const PortCount &total = benchTotals.value(c.bench);
        const int otherBoards = total.boards - c.boards;
        if (otherBoards > 0) {
            const double z = benchZ.value(c.bench);
            const Interval others = wilsonInterval(total.failures - c.failures, otherBoards, z);
            row.flagged = wilsonInterval(c.failures, c.boards, z).low > others.high;
        }
        rows.append(row);
    }
    return rows;
}

QString portHealthTable(const QVector<PortHealthRow> &rows)
{
    QString out = QStringLiteral("bench\tport\tboards\tfailures\tfailure_rate\tci95_low\tci95_high\tflag\n");
    const auto percent = [](double value) -> QString {
        return QString::number(value * 100.0, 'f', 1) + QLatin1Char('%');
    };
    for (const PortHealthRow &r : rows) {
        out += QStringList{r.bench,
                           r.port,
                           QString::number(r.boards),
                           QString::number(r.failures),
                           percent(r.failureRate),
                           percent(r.interval.low),
                           percent(r.interval.high),
                           r.flagged ? QStringLiteral("check cable") : QString()}
                   .join(QLatin1Char('\t')) +
               QLatin1Char('\n');
    }
    return out;
}

void PortWatch::boardFinished(const QString &port, Result result)
{
    if (port.isEmpty() || !countsForPort(result))
        return;
    auto it =
        std::find_if(m_counts.begin(), m_counts.end(), [&](const PortCount &c) { return c.port == port; });
    if (it == m_counts.end()) {
        m_counts.append(PortCount{QString(), port, 0, 0});
        it = m_counts.end() - 1;
    }
    ++it->boards;
    if (result != Result::Success)
        ++it->failures;
}

QString PortWatch::warning() const
{
    QStringList lines;
    for (const PortHealthRow &row : portHealth(m_counts)) {
        if (row.flagged)
            lines.append(QStringLiteral("port %1 fails %2 %: check its cable")
                             .arg(row.port)
                             .arg(qRound(row.failureRate * 100.0)));
    }
    return lines.join(QStringLiteral("; "));
}

} // namespace Records
