#pragma once

#include "records/record.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QObject>
#include <QPair>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class QThread;
class QTimer;
class RecordStore;

// Writes records off the window's thread, the local SQLite database first:
// every record is committed there (one transaction) before anything else is
// done with it. A record that cannot be written (busy, locked, disk full, file
// gone) stays in memory in order and is tried again with growing pauses; a
// file that was moved or deleted is created anew; while the program runs no
// record is dropped. With a fleet database configured a record also waits in
// the local outbox; a sender of its own (own thread, own connections) sends
// the outbox in order, idempotent on the record id, so nothing the fleet
// database does delays the local writes or the window's closing.
class RecordWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(RecordWriter)
public:
    struct Settings
    {
        QString localPath;        // the SQLite file
        QString fleet;            // the Database setting; empty: local only
        int retryMs = 5000;       // pause before sending again after a failure; the longest local pause
        QString bench;            // for the day's count
        QString window;           // for the day's count
        int localRetryMs = 250;   // first pause before writing again after a local failure (then doubled)
        int closeWaitMs = 1000;   // closing waits this long for the fleet sender, then leaves it
        int fleetStallMs = 30000; // a fleet pass running longer is given up and a fresh sender started

        // A window's settings: records.sqlite in the working folder, the
        // fleet database when one is configured.
        static Settings forWindow(const QString &window, const QString &bench, const QString &fleet);
    };

    RecordWriter(const Settings &settings, QObject *parent);
    // Writes what was submitted (one more attempt), then ends the threads;
    // returns within about closeWaitMs plus SQLite's busy timeout whatever the
    // fleet database does: what it has not taken waits in the outbox.
    ~RecordWriter() override;

    // Hands the record to the writer's thread and waits for its commit, at
    // most kSubmitWaitMs and not at all while records cannot be written: once
    // a window shows a board finished, its record is in the file.
    void submit(const Records::BoardRecord &record);
    static constexpr int kSubmitWaitMs = 250;
    // Asks for dayCount() without a record (e.g. at start-up).
    void requestDayCount();
    // Waits until everything submitted so far was handled locally and the
    // sender made one pass (tests).
    void drain();

    // The operator's line while records cannot be written; empty when they are.
    static QString notKeptLine(const QString &reason, int waiting);
    // The last queueChanged() and fleetProblem() values (window's thread).
    int queued() const { return m_queued; }
    QString currentFleetProblem() const { return m_currentProblem; }

signals:
    // After a record is in the local database; count: this bench's and
    // window's records since local midnight.
    void stored(int count);
    void dayCount(int count);
    // Records cannot be written locally: why (for the operator) and how many
    // wait in memory; an empty reason when they are written again.
    void keepingChanged(const QString &reason, int waiting);
    // Records waiting for the fleet database (0 when all were sent).
    void queueChanged(int queued);
    // Why the fleet database is not taking records: "" (it is, or nothing is
    // waiting), "not reachable", "login refused" or the setting's problem.
    void fleetProblem(const QString &problem);
    void failed(const QString &message); // details for the debug log

    // To the writer's thread (connected before it starts).
    void recordsPosted(QPrivateSignal);
    void countPosted(QPrivateSignal);
    void drainPosted(QPrivateSignal);
    void shutDownPosted(QPrivateSignal);

private:
    class Worker;
    class Sender;
    void startSender();
    void leaveSender(); // gives up a sender that does not end in time
    void checkSenderStall();

    Settings m_settings;
    QString m_fleetProblem; // the setting's own problem, found before any sender runs
    // Not children: the window's own threads are what its children show.
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<Worker> m_worker;
    std::unique_ptr<QThread> m_senderThread;
    std::unique_ptr<Sender> m_sender;
    QTimer *m_stallTimer = nullptr;
    int m_queued = 0;
    QString m_currentProblem;
};

// The local part: lives on the writer's thread.
class RecordWriter::Worker final : public QObject
{
    Q_OBJECT
public:
    explicit Worker(const RecordWriter::Settings &settings, bool queueForFleet);
    ~Worker() override;

    // Any thread. post() gives the record's number in the order of posting.
    quint64 post(const Records::BoardRecord &record);
    // Until the record of that number is committed, writing fails, or ms pass.
    void waitWritten(quint64 number, int ms);
    void waitUntilShutDown();

public slots:
    void writePosted();
    void countToday();
    void shutDown();
    void nothing() {}

signals:
    void stored(int count);
    void dayCount(int count);
    void keepingChanged(const QString &reason, int waiting);
    void failed(const QString &message);
    void written(); // records reached the outbox

private:
    void writePending(bool retryLater);
    void takeInbox(); // the records posted since, behind those still pending
    bool openLocal(QString *reason);
    int todayCount();
    void report(const QString &reason);
    void settle(bool wroteOne); // a record committed, or writing failed

    RecordWriter::Settings m_settings;
    bool m_queueForFleet;
    std::unique_ptr<RecordStore> m_local;
    // The file's size and time after this writer's last change: another
    // stamp means the file at the path was replaced or changed by someone else.
    QPair<qint64, QDateTime> m_stamp;
    std::deque<Records::BoardRecord> m_pending; // taken from the inbox, not yet committed
    QTimer *m_retry = nullptr;
    int m_pauseMs = 0;
    QString m_reason; // last reported
    int m_reportedWaiting = 0;

    std::mutex m_mutex; // guards the five below
    std::condition_variable m_settled;
    std::deque<Records::BoardRecord> m_inbox;
    quint64 m_posted = 0;
    quint64 m_written = 0; // committed, in posting order
    bool m_failing = false;
    bool m_shutDown = false;
};

// The fleet part: lives on its own thread with its own connections, reads the
// local outbox and sends it.
class RecordWriter::Sender final : public QObject
{
    Q_OBJECT
public:
    explicit Sender(const RecordWriter::Settings &settings);
    ~Sender() override;

    // Any thread: a pass that began before this long ago and has not ended (0: none running).
    qint64 busySinceMs() const { return m_busySince.loadAcquire(); }
    void abandon() { m_abandoned.storeRelease(1); }
    // After its thread ended: orders the thread's last writes before the destruction.
    void waitUntilShutDown()
    {
        const std::lock_guard<std::mutex> lock(m_doneMutex);
        Q_ASSERT(m_done);
    }

public slots:
    void send();
    void shutDown();
    void nothing() {}

signals:
    void queueChanged(int queued);
    void fleetProblem(const QString &problem);
    void failed(const QString &message);

private:
    bool pass(QString *problem);

    RecordWriter::Settings m_settings;
    std::unique_ptr<RecordStore> m_fleet;
    QTimer *m_retry = nullptr;
    int m_lastQueued = -1;
    QString m_lastProblem;
    QAtomicInteger<qint64> m_busySince{0};
    QAtomicInt m_abandoned{0};
    std::mutex m_doneMutex;
    bool m_done = false;
};
