// Builds without prometheus-cpp (the Windows build): nothing is served, and a
// configured endpoint says so once.
#include "metrics/benchmetrics.h"

struct BenchMetrics::Impl
{
};

BenchMetrics::BenchMetrics(const QString &) {}

BenchMetrics::~BenchMetrics() = default;

bool BenchMetrics::available()
{
    return false;
}

bool BenchMetrics::start(const QString &, QString *error)
{
    if (error)
        *error = QStringLiteral("this build serves no metrics");
    return false;
}

int BenchMetrics::port() const
{
    return 0;
}

void BenchMetrics::boardFinished(int, const QString &, Records::Result, qint64) {}

void BenchMetrics::setBurning(int) {}

void BenchMetrics::setQueuedRecords(int) {}

void BenchMetrics::setPackage(const QString &, const QString &) {}

void BenchMetrics::setWatchdogLimit(qint64) {}

void BenchMetrics::setSlotSilence(int, qint64) {}
