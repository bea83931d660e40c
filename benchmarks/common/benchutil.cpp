#include "benchmarks/common/benchutil.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace BenchUtil {

void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Summary summarize(std::vector<double> values)
{
    Summary s;
    s.count = int(values.size());
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    s.min = values.front();
    s.max = values.back();
    return s;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const std::size_t index = rank < 1.0 ? 0 : std::min(values.size() - 1, std::size_t(rank) - 1);
    return values[index];
}

QString describe(const Summary &s, int decimals)
{
    return QStringLiteral("%1 (%2..%3, n=%4)")
        .arg(s.median, 0, 'f', decimals)
        .arg(s.min, 0, 'f', decimals)
        .arg(s.max, 0, 'f', decimals)
        .arg(s.count);
}

void printTableRow(const QString &measurement, const QString &ours, const QString &reference,
                   const QString &ratio, const QString &goal, bool met)
{
    printTableRow(measurement, ours, reference, ratio, goal,
                  met ? QStringLiteral("yes") : QStringLiteral("NO"));
}

void printTableRow(const QString &measurement, const QString &ours, const QString &reference,
                   const QString &ratio, const QString &goal, const QString &met)
{
    std::printf("TABLE\t%s\t%s\t%s\t%s\t%s\t%s\n", qPrintable(measurement), qPrintable(ours),
                qPrintable(reference), qPrintable(ratio), qPrintable(goal), qPrintable(met));
    std::fflush(stdout);
}

QString stringOption(const QStringList &args, const QString &name, const QString &fallback)
{
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

int intOption(const QStringList &args, const QString &name, int fallback)
{
    bool ok = false;
    const int value = stringOption(args, name, QString()).toInt(&ok);
    return ok ? value : fallback;
}

double doubleOption(const QStringList &args, const QString &name, double fallback)
{
    bool ok = false;
    const double value = stringOption(args, name, QString()).toDouble(&ok);
    return ok ? value : fallback;
}

} // namespace BenchUtil
