#pragma once

#include "records/record.h"

#include <QString>

#include <memory>

// The bench's live metrics for a Prometheus server to scrape: what the
// multi-board window feeds in (finished boards, boards burning, queued
// records, the package, per-slot silence) is served over HTTP at /metrics by
// the server's own threads; feeding never waits for a scrape. Every metric
// carries the bench's name as label "bench". Builds without the metrics
// library get an implementation that serves nothing.
class BenchMetrics final
{
public:
    explicit BenchMetrics(const QString &bench);
    ~BenchMetrics();
    BenchMetrics(const BenchMetrics &) = delete;
    BenchMetrics &operator=(const BenchMetrics &) = delete;

    // Whether this build can serve metrics at all.
    static bool available();

    // Serves at listen (see Metrics::parseListen). False, with one line for
    // the operator in *error, when the value is bad, the address cannot be
    // bound, or this build has no endpoint.
    bool start(const QString &listen, QString *error);
    // The bound TCP port; 0 when not serving.
    int port() const;

    // slot 0..7; port "L,N"; the run's result and length.
    void boardFinished(int slot, const QString &port, Records::Result result, qint64 durationMs);
    void setBurning(int boards);
    void setQueuedRecords(int records);
    // The package being burned: its hash's short form and the key that signed
    // it (its public fingerprint; empty when unsigned or unknown).
    void setPackage(const QString &shortHash, const QString &signingKey);
    // The silence watchdog's limit; 0 when it is off.
    void setWatchdogLimit(qint64 limitMs);
    // How long a busy slot's tool has printed nothing; negative for an idle slot.
    void setSlotSilence(int slot, qint64 silentMs);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
