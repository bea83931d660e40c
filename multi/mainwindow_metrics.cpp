// Live metrics and the port watch of the multi-board window: the window hands
// over what it already knows (finished runs, the counters, the outbox, the
// package, per-slot silence); the metrics are served on other threads.
#include "multi/mainwindow.h"

#include "common/boardconfig.h"
#include "metrics/benchmetrics.h"
#include "platform/logging.h"

#include <QDebug>

namespace {
const int kShortHashDigits = 12;
} // namespace

void MainWindow::setUpMetrics()
{
    const QString listen = BoardConfig::metricsListen();
    if (listen.isEmpty())
        return;
    auto served = std::make_unique<BenchMetrics>(benchName);
    QString error;
    if (!served->start(listen, &error)) {
        const QString line = tr("Metrics not served: %1.").arg(error);
        appendStatus(line);
        qCWarning(lcMetrics).noquote() << line;
        return;
    }
    qCInfo(lcMetrics).noquote() << "metrics served on port" << served->port();
    served->setWatchdogLimit(silenceWatchdog.limitMs());
    metrics = std::move(served);
    feedMetrics();
}

void MainWindow::feedMetrics()
{
    if (!metrics)
        return;
    metrics->setBurning(batchCounters.burning());
    metrics->setQueuedRecords(queuedRecords);
    metrics->setPackage(batchPackageHash.left(kShortHashDigits), QString());
    const qint64 now = monotonic.elapsed();
    for (BoardSlot &slot : boardSlots)
        metrics->setSlotSilence(slot.index(),
                                slot.run().isActive() ? silenceWatchdog.silentMs(slot.index(), now) : -1);
}

void MainWindow::noteRunForMetrics(const BoardSlot &slot, const Records::BoardRecord &record)
{
    portWatch.boardFinished(record.port, record.result);
    if (metrics)
        metrics->boardFinished(slot.index(), record.port, record.result, record.durationMs);
}

QString MainWindow::countersText() const
{
    const QString counters = batchCounters.text(QDateTime::currentDateTimeUtc());
    const QString warning = portWatch.warning();
    return warning.isEmpty() ? counters : counters + QStringLiteral("; ") + warning;
}
