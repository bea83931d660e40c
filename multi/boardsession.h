#pragma once

#include "metrics/benchmetrics.h"
#include "multi/batchcounters.h"
#include "multi/boardslot.h"
#include "multi/porttracker.h"
#include "multi/serialpairing.h"
#include "multi/silencewatchdog.h"
#include "platform/deviceeventsource.h"
#include "records/porthealth.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <memory>

class QProcess;
class QTimer;
class RecordWriter;

// The multi-board batch without its window: eight board slots, each bound for
// good to the n-th distinct USB port that carries a board. A batch makes one
// tool process per slot; a board plugged into a bound port starts its slot's
// transfer, whose output decides the slot's picture, progress and the status
// lines. Owns the slots, the port listing, the port tracker, serial pairing,
// the record writer, the batch counters, the silence watchdog and the live
// metrics; takes commands and reports what the operator sees through signals,
// in the order it happens.
class BoardSession final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(BoardSession)
public:
    static constexpr int kSlotCount = 8;
    enum class Picture { Download, Failed, Success };

    // toolDir ends with '/'. Reads chip and system from Board_config.ini.
    explicit BoardSession(const QString &toolDir, QObject *parent = nullptr);
    // Runs still going are recorded as stopped; processes and the listing end.
    ~BoardSession() override;

    // Opens the record writer and reads the watchdog and metrics settings;
    // called once the signals are connected (a refused metrics port says so).
    void setUp();

    // The package and the folder its images are unpacked into; every launch
    // passes the folder set last.
    void setPackage(const QString &packagePath, const QString &imageFolder);

    // Start: while it prepares the images, new boards are listed but held.
    void holdLaunches();
    // Start refused: nothing of a batch exists; held boards are handled as
    // before a Start.
    void releaseLaunches();
    // Start succeeded: the batch's processes are made, the counters start
    // and the boards held meanwhile are launched.
    void startBatch(const QString &packageHash, const QString &signingKey);
    void stop();
    void restartSlot(int index);
    // Reads what the slot's tool has printed and is not read yet.
    void readSlotOutput(int index);
    void deviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName);
    // The close button: runs recorded as stopped, processes taken from the
    // slots and stopped, their unfinished last lines logged.
    void close();
    // A close by the window system: runs recorded as stopped, running tools stopped.
    void stopForClose();

    bool hasBatch() const { return m_slots.front().process() != nullptr; }

signals:
    void statusLine(const QString &text);
    // A slot's lines are about to be shown.
    void outputArriving();
    void pictureChanged(int slot, BoardSession::Picture picture);
    void progressChanged(int slot, float value);
    void allProgressChanged(float value);
    void titleChanged(int slot, const QString &title);
    void barMarkedRed(int slot);
    void barHeard(int slot); // the tool printed: the bar's red mark goes
    void countersChanged(const QString &text);
    void recordsQueueChanged(const QString &text);                          // empty: nothing to say
    void recordsKeepingChanged(const QString &reason, const QString &line); // empty reason: kept

private:
    static bool stopTool(QProcess *process);
    void releaseProcess(QProcess *process);
    void setProgress(int index, float value);
    void launchHeldArrivals();
    void createBatchProcesses();

    // Device events only mark a listing as due; the listing runs without
    // blocking, and every event that arrives while one runs (or while Start
    // prepares the batch) is served by the next one.
    void startListingIfDue();
    void listingStarted();
    void listingEnded();
    void listingTimedOut();
    void launchNewPorts(const QVector<PortRecord> &newPorts);

    // One board's transfer.
    void launchBoard(const PortRecord &port, BoardSlot &slot);
    void beginRun(BoardSlot &slot, const QString &portText);
    void readBoardOutput(BoardSlot &slot);
    void finishBoardOutput(BoardSlot &slot);
    void logTailOnClose(BoardSlot &slot);
    void handleBoardLines(BoardSlot &slot, const QStringList &lines);
    bool handleBoardLine(BoardSlot &slot, const QString &line);
    void killAfterNotFound(BoardSlot &slot);

    // Records, counters, the watchdog and the metrics: a run is recorded when
    // its tool process ends, never while its lines are handled.
    void setUpRecords();
    void setUpMetrics();
    void endBoardRun(BoardSlot &slot, int exitCode, bool crashed);
    void endActiveRunsAsStopped();
    void noteArrivalNames(const QVector<PortRecord> &newPorts);
    void checkSilence();
    void updateCounters();
    void showQueuedRecords(int queued);
    void feedMetrics();

    QString m_toolDir;
    QString m_chipType;
    QString m_osType;
    QString m_packagePath;
    QString m_imageFolder;
    QString m_packageHash;
    QString m_signingKey; // the key that verified the batch's package; empty when not checked

    std::array<BoardSlot, kSlotCount> m_slots;
    std::array<float, kSlotCount> m_progress{};
    PortTracker m_ports;
    bool m_startedBefore = false; // a batch was made before
    bool m_closing = false;       // tool output is no longer acted on

    QProcess *m_listing = nullptr;      // the listing running now, if any
    QTimer *m_listingTimer = nullptr;   // its time limit
    bool m_listingForArrival = false;   // the running listing serves an arrival
    bool m_listingDue = false;          // events arrived that no listing has served yet
    bool m_arrivalDue = false;          // ... and one of them was an arrival
    bool m_holding = false;             // Start is preparing the batch: hold new launches
    QVector<PortRecord> m_heldNewPorts; // new ports found while Start was preparing
    bool m_heldArrival = false;

    RecordWriter *m_records = nullptr;
    BatchCounters m_counters;
    SilenceWatchdog m_watchdog;
    QElapsedTimer m_monotonic;
    QTimer *m_watchdogTimer = nullptr;
    QTimer *m_countersTimer = nullptr;
    QStringList m_arrivalNames;        // device names of arrivals since the last listing began
    QStringList m_listingArrivalNames; // ... those the running listing serves
    SerialPairing m_serialPairing;
    QHash<QString, QString> m_portSerials; // "L,N" -> serial of the board last seen there
    QString m_benchName;
    std::unique_ptr<BenchMetrics> m_metrics; // null unless [Metrics] Listen is served
    Records::PortWatch m_portWatch;
    int m_queuedRecords = 0;
};
