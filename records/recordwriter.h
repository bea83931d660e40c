#pragma once

#include "records/record.h"

#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <mutex>

class QThread;
class QTimer;
class RecordStore;

// Writes records off the window's thread. Every record goes into the local
// SQLite database first (one transaction); with a fleet database configured it
// also waits there in the outbox until the fleet database has it. Sending
// keeps the order and is idempotent on the record id, so a record reaches the
// fleet database exactly once, also across lost connections and restarts.
class RecordWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(RecordWriter)
public:
    struct Settings
    {
        QString localPath;  // the SQLite file
        QString fleet;      // PostgreSQL connection string; empty: local only
        int retryMs = 5000; // pause before sending again after a failure
        QString bench;      // for the day's count
        QString window;     // for the day's count

        // A window's settings: records.sqlite in the working folder, the
        // fleet database when one is configured.
        static Settings forWindow(const QString &window, const QString &bench, const QString &fleet);
    };

    RecordWriter(const Settings &settings, QObject *parent);
    // Writes what was submitted, then ends the thread.
    ~RecordWriter() override;

    // Hands the record to the writer's thread; returns at once.
    void submit(const Records::BoardRecord &record);
    // Asks for dayCount() without a record (e.g. at start-up).
    void requestDayCount();
    // Waits until everything submitted so far was handled (tests, closing).
    void drain();

signals:
    // After a record is in the local database; count: this bench's and
    // window's records since local midnight.
    void stored(int count);
    void dayCount(int count);
    // Records waiting for the fleet database (0 when all were sent).
    void queueChanged(int queued);
    void failed(const QString &message);

    // To the writer's thread (connected before it starts).
    void recordsPosted(QPrivateSignal);
    void countPosted(QPrivateSignal);
    void drainPosted(QPrivateSignal);
    void shutDownPosted(QPrivateSignal);

private:
    class Worker;
    // Not a child: the window's own threads are what its children show.
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<Worker> m_worker;
};

// The part that lives on the writer's thread.
class RecordWriter::Worker final : public QObject
{
    Q_OBJECT
public:
    explicit Worker(const RecordWriter::Settings &settings);
    ~Worker() override;

    // Any thread.
    void post(const Records::BoardRecord &record);
    void waitUntilShutDown();

public slots:
    void writePosted();
    void countToday();
    void send();
    void shutDown();
    void nothing() {}

signals:
    void stored(int count);
    void dayCount(int count);
    void queueChanged(int queued);
    void failed(const QString &message);

private:
    bool openLocal();
    int todayCount();
    void write(const Records::BoardRecord &record);

    RecordWriter::Settings m_settings;
    std::unique_ptr<RecordStore> m_local;
    std::unique_ptr<RecordStore> m_fleet;
    QTimer *m_retry = nullptr;
    int m_lastQueued = -1;

    std::mutex m_mutex; // guards the two below
    std::deque<Records::BoardRecord> m_inbox;
    bool m_shutDown = false;
};
