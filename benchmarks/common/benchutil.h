#pragma once

#include <QString>

#include <vector>

// Measuring and reporting for the benchmark programs. Every program prints its
// details for a human and, per measurement, one tab-separated result line
// starting with "TABLE" that scripts/bench.sh gathers into one table.
namespace BenchUtil {

// Benchmarks draw offscreen unless QT_QPA_PLATFORM says otherwise; call
// before constructing the application.
void preferOffscreen();

// CLOCK_MONOTONIC in nanoseconds: comparable between processes on one machine.
qint64 monotonicNs();

// CPU time (user + system, all threads) of this process so far, in seconds.
double processCpuSeconds();

struct Summary
{
    double median = 0.0;
    double min = 0.0;
    double max = 0.0;
    int count = 0;
};

Summary summarize(std::vector<double> values);

// Nearest-rank percentile, p in 0..100; 0 for no values.
double percentile(std::vector<double> values, double p);

// "12.3 (11.9..13.0, n=5)" with the given number of decimals.
QString describe(const Summary &s, int decimals);

// One result line for the table: measurement | ours | reference | ratio | goal | met.
void printTableRow(const QString &measurement, const QString &ours, const QString &reference,
                   const QString &ratio, const QString &goal, bool met);
// The same with the last column as given (for rows without a goal: "-").
void printTableRow(const QString &measurement, const QString &ours, const QString &reference,
                   const QString &ratio, const QString &goal, const QString &met);

// Value of "--name" in the arguments, or fallback when absent.
int intOption(const QStringList &args, const QString &name, int fallback);
double doubleOption(const QStringList &args, const QString &name, double fallback);
QString stringOption(const QStringList &args, const QString &name, const QString &fallback);

} // namespace BenchUtil
