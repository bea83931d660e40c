#pragma once

#include "common/signing.h"
#include "metrics/benchmetrics.h"
#include "multi/boardslot.h"
#include "multi/porttracker.h"
#include "multi/silencewatchdog.h"
#include "platform/deviceeventsource.h"
#include "records/batchcounters.h"
#include "records/porthealth.h"

#include <QElapsedTimer>
#include <QHash>

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QVector>

#include <array>
#include <functional>
#include <memory>

class QCloseEvent;
class QProcess;
class QTimer;
class RecordWriter;
class processbarthread;

namespace Ui {
class MainWindow;
}

// The multi-board window: eight board slots, each bound for good to the n-th
// distinct USB port that carries a board. Start prepares one tool process per
// slot; a board plugged into a bound port starts its slot's transfer, whose
// output drives the slot's picture, progress and the operator log. The per-slot
// state lives in a BoardSlot each; the numbered Qt slots are thin wrappers
// around one routine.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)
public:
    // Asks for a package: (parent, caption, start folder, filter) -> path or "".
    using ZipChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                                             const QString &filter)>;

    // deviceSource: where USB arrivals and removals come from; not owned when
    // given, created for this process (and owned) when null. chooser: the
    // package dialog; the standard file dialog when empty.
    explicit MainWindow(QWidget *parent = nullptr, DeviceEventSource *deviceSource = nullptr,
                        ZipChooser chooser = {});
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

private slots:
    void onReadData_1();
    void onReadData_2();
    void onReadData_3();
    void onReadData_4();
    void onReadData_5();
    void onReadData_6();
    void onReadData_7();
    void onReadData_8();
    void selectZipFile();
    void startDownload();
    void stopDownload();
    void closeWindow();
    void restart_1();
    void restart_2();
    void restart_3();
    void restart_4();
    void restart_5();
    void restart_6();
    void restart_7();
    void restart_8();

private:
    static constexpr int kSlotCount = 8;

    void findSlotWidgets();
    void loadPictures();
    void setPackagePath(const QString &path);
    void removeStaleImageFolder();
    void appendStatus(const QString &text);
    void setProgressValue(int index, float value);
    float progressValue(int index) const;
    bool hasBatch() const { return boardSlots.front().process() != nullptr; }

    // Start, step by step.
    void showPackageMissing();
    bool prepareImages(QString *refusal, QString *boxText);
    bool unpackForStart(const Signing::Decision &signature, QString *refusal);
    void refuseStart(const QString &reason, const QString &boxText);
    void createBatchProcesses();
    void openBatch();
    void launchHeldArrivals();

    void releaseProcess(QProcess *process);
    static bool stopTool(QProcess *process);

    // Hot-plug and port binding. Device events only mark a listing as due;
    // the listing runs without blocking the window, and every event that
    // arrives while one runs (or while Start prepares the batch) is served by
    // the next one.
    void registerDeviceNotifications();
    void onDeviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName);
    void startListingIfDue();
    void listingStarted();
    void listingEnded();
    void listingTimedOut();
    QVector<PortRecord> scanPorts(const QByteArray &output);
    void registerPorts(QVector<PortRecord> newPorts);
    void launchNewPorts(const QVector<PortRecord> &newPorts);

    // One board's transfer.
    void launchBoard(const PortRecord &port, BoardSlot &slot);
    void beginRun(BoardSlot &slot, const QString &portText);
    void readBoardOutput(BoardSlot &slot);
    void finishBoardOutput(BoardSlot &slot);
    void logTailOnClose(BoardSlot &slot);
    void prepareStatusView();
    void handleBoardLines(BoardSlot &slot, const QStringList &lines);
    bool handleBoardLine(BoardSlot &slot, const QString &line);
    void killAfterNotFound(BoardSlot &slot);
    void restartBoard(BoardSlot &slot);

    // Production records, batch counters and the silence watchdog: a run is
    // recorded when its tool process ends, never while its lines are handled.
    void setUpRecords();
    void endBoardRun(BoardSlot &slot, int exitCode, bool crashed);
    void endActiveRunsAsStopped();
    void noteArrivalNames(const QVector<PortRecord> &newPorts);
    void checkSilence();
    void updateCounters();
    void showQueuedRecords(int queued);

    // Live metrics and the port watch (mainwindow_metrics.cpp): one call per event.
    void setUpMetrics();
    void feedMetrics();
    void noteRunForMetrics(const BoardSlot &slot, const Records::BoardRecord &record);
    QString countersText() const;

    std::unique_ptr<Ui::MainWindow> ui;
    processbarthread *progressThread = nullptr;
    PortTracker portTracker;    // scannedPorts and boardPorts
    bool startedBefore = false; // a batch was made before
    bool closing = false;       // the window is closing: tool output is no longer acted on
    QImage downloadImage;
    QImage failedImage;
    QImage successImage;

    std::array<BoardSlot, kSlotCount> boardSlots;

    // Port listing state.
    QProcess *listing = nullptr;      // the listing running now, if any
    QTimer *listingTimer = nullptr;   // its time limit
    bool listingForArrival = false;   // the running listing serves an arrival
    bool listingDue = false;          // events arrived that no listing has served yet
    bool arrivalDue = false;          // ... and one of them was an arrival
    bool startInProgress = false;     // Start is preparing the batch: hold new launches
    QVector<PortRecord> heldNewPorts; // new ports found while Start was preparing
    bool heldArrival = false;
    // Guarded: a source handed in by the caller may end before the window.
    QPointer<DeviceEventSource> deviceSource;
    ZipChooser chooseZip;

    RecordWriter *recordWriter = nullptr;
    BatchCounters batchCounters;
    SilenceWatchdog silenceWatchdog;
    QElapsedTimer monotonic;
    QTimer *watchdogTimer = nullptr;
    QTimer *countersTimer = nullptr;
    QStringList arrivalNames;        // device names of arrivals since the last listing began
    QStringList listingArrivalNames; // ... those the running listing serves
    Records::SerialPairing serialPairing;
    QHash<QString, QString> portSerials; // "L,N" -> serial of the board last seen there
    QString batchPackageHash;
    QString batchSigningKey; // the key that verified the batch's package; empty when not checked
    QString benchName;
    std::unique_ptr<BenchMetrics> metrics; // null unless [Metrics] Listen is served
    Records::PortWatch portWatch;
    int queuedRecords = 0;

    QString chipType;
    QString osType;
    QString startDir;
    QString toolDir;
    QString zipFilePath;
    QString zipFolder;
    QString imageFolder;
};
