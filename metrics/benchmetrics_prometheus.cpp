// The metrics endpoint on prometheus-cpp: the registry's counters and gauges
// are updated from the window's thread (atomics, or a short lock per family),
// and the exposer's HTTP server threads read them when scraped.
#include "metrics/benchmetrics.h"

#include "metrics/listenaddress.h"

#include <QHostAddress>
#include <QTcpServer>

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <array>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int kSlots = 8;
// HTTP threads: a client that connects and never reads holds one until the
// request time-out, the others go on serving scrapes.
const char kServerThreads[] = "4";
const char kRequestTimeoutMs[] = "5000";

std::string utf8(const QString &text)
{
    return text.toStdString();
}

std::string slotLabel(int slot)
{
    return std::to_string(slot + 1);
}

// Why the address cannot be listened on, in the network layer's words.
QString listenFailure(const Metrics::ListenAddress &address)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(address.host), quint16(address.port)))
        return probe.errorString();
    return QStringLiteral("the HTTP server did not start");
}

} // namespace

struct BenchMetrics::Impl
{
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    std::unique_ptr<prometheus::Exposer> exposer;
    prometheus::Family<prometheus::Counter> *finished = nullptr;
    prometheus::Family<prometheus::Gauge> *silence = nullptr;
    prometheus::Family<prometheus::Gauge> *package = nullptr;
    prometheus::Gauge *burning = nullptr;
    prometheus::Gauge *queued = nullptr;
    prometheus::Gauge *watchdogLimit = nullptr;
    prometheus::Histogram *duration = nullptr;
    std::array<prometheus::Counter *, kSlots> watchdogStops{};
    std::array<prometheus::Gauge *, kSlots> slotSilence{};
    prometheus::Gauge *packageInfo = nullptr;
    int port = 0;
};

BenchMetrics::BenchMetrics(const QString &bench) : d(std::make_unique<Impl>())
{
    using namespace prometheus;
    const Labels benchLabel{{"bench", utf8(bench)}};
    d->finished = &BuildCounter()
                       .Name("quor_boards_finished_total")
                       .Help("Boards whose run ended, by slot (1-8), USB port and result")
                       .Labels(benchLabel)
                       .Register(*d->registry);
    d->burning = &BuildGauge()
                      .Name("quor_boards_burning")
                      .Help("Boards being burned now")
                      .Labels(benchLabel)
                      .Register(*d->registry)
                      .Add({});
    d->duration =
        &BuildHistogram()
             .Name("quor_board_run_duration_seconds")
             .Help("Length of each finished board run")
             .Labels(benchLabel)
             .Register(*d->registry)
             .Add({}, Histogram::BucketBoundaries{5, 10, 20, 30, 45, 60, 90, 120, 180, 300, 600, 1200});
    auto &watchdog = BuildCounter()
                         .Name("quor_watchdog_stops_total")
                         .Help("Board runs stopped because the tool printed nothing for too long, by slot")
                         .Labels(benchLabel)
                         .Register(*d->registry);
    for (int slot = 0; slot < kSlots; ++slot)
        d->watchdogStops[std::size_t(slot)] = &watchdog.Add({{"slot", slotLabel(slot)}});
    d->watchdogLimit = &BuildGauge()
                            .Name("quor_watchdog_limit_seconds")
                            .Help("Silence after which the watchdog stops a board run; 0 when it is off")
                            .Labels(benchLabel)
                            .Register(*d->registry)
                            .Add({});
    d->queued = &BuildGauge()
                     .Name("quor_records_queued")
                     .Help("Records waiting in the outbox for the fleet database")
                     .Labels(benchLabel)
                     .Register(*d->registry)
                     .Add({});
    d->package = &BuildGauge()
                      .Name("quor_package_info")
                      .Help("The package being burned: its short hash and signing key fingerprint; value 1")
                      .Labels(benchLabel)
                      .Register(*d->registry);
    d->silence = &BuildGauge()
                      .Name("quor_slot_silent_seconds")
                      .Help("Seconds since the last tool output, per busy slot")
                      .Labels(benchLabel)
                      .Register(*d->registry);
}

BenchMetrics::~BenchMetrics() = default;

bool BenchMetrics::available()
{
    return true;
}

bool BenchMetrics::start(const QString &listen, QString *error)
{
    const std::optional<Metrics::ListenAddress> address = Metrics::parseListen(listen);
    if (!address) {
        if (error)
            *error =
                QStringLiteral("Listen=%1 is not an address and port such as 127.0.0.1:9464").arg(listen);
        return false;
    }
    try {
        d->exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", utf8(address->serverForm()), "num_threads",
                                     kServerThreads, "request_timeout_ms", kRequestTimeoutMs});
    } catch (const std::exception &) {
        if (error)
            *error =
                QStringLiteral("cannot listen on %1: %2").arg(address->serverForm(), listenFailure(*address));
        return false;
    }
    d->exposer->RegisterCollectable(d->registry);
    const std::vector<int> ports = d->exposer->GetListeningPorts();
    d->port = ports.empty() ? 0 : ports.front();
    return true;
}

int BenchMetrics::port() const
{
    return d->port;
}

void BenchMetrics::boardFinished(int slot, const QString &port, Records::Result result, qint64 durationMs)
{
    d->finished
        ->Add(
            {{"slot", slotLabel(slot)}, {"port", utf8(port)}, {"result", utf8(Records::resultName(result))}})
        .Increment();
    d->duration->Observe(double(durationMs) / 1000.0);
    if (result == Records::Result::Watchdog && slot >= 0 && slot < kSlots)
        d->watchdogStops[std::size_t(slot)]->Increment();
}

void BenchMetrics::setBurning(int boards)
{
    d->burning->Set(boards);
}

void BenchMetrics::setQueuedRecords(int records)
{
    d->queued->Set(records);
}

void BenchMetrics::setPackage(const QString &shortHash, const QString &signingKey)
{
    const prometheus::Labels labels{{"package", utf8(shortHash)}, {"signing_key", utf8(signingKey)}};
    if (d->packageInfo && d->package->Has(labels))
        return;
    if (d->packageInfo)
        d->package->Remove(d->packageInfo);
    d->packageInfo = nullptr;
    if (shortHash.isEmpty())
        return;
    d->packageInfo = &d->package->Add(labels);
    d->packageInfo->Set(1);
}

void BenchMetrics::setWatchdogLimit(qint64 limitMs)
{
    d->watchdogLimit->Set(double(limitMs) / 1000.0);
}

void BenchMetrics::setSlotSilence(int slot, qint64 silentMs)
{
    if (slot < 0 || slot >= kSlots)
        return;
    prometheus::Gauge *&gauge = d->slotSilence[std::size_t(slot)];
    if (silentMs < 0) {
        if (gauge)
            d->silence->Remove(gauge);
        gauge = nullptr;
        return;
    }
    if (!gauge)
        gauge = &d->silence->Add({{"slot", slotLabel(slot)}});
    gauge->Set(double(silentMs) / 1000.0);
}
