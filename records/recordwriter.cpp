#include "records/recordwriter.h"

#include "records/recordstore.h"

#include <QDir>
#include <QThread>
#include <QTimer>

namespace {
const int kSendBatch = 100;
}

RecordWriter::Settings RecordWriter::Settings::forWindow(const QString &window, const QString &bench,
                                                         const QString &fleet)
{
    Settings settings;
    settings.localPath = QDir::currentPath() + QStringLiteral("/records.sqlite");
    settings.fleet = fleet;
    settings.bench = bench;
    settings.window = window;
    return settings;
}

RecordWriter::RecordWriter(const Settings &settings, QObject *parent)
    : QObject(parent), m_thread(std::make_unique<QThread>()), m_worker(std::make_unique<Worker>(settings))
{
    m_worker->moveToThread(m_thread.get());
    Worker *worker = m_worker.get();
    connect(worker, &Worker::stored, this, &RecordWriter::stored);
    connect(worker, &Worker::dayCount, this, &RecordWriter::dayCount);
    connect(worker, &Worker::queueChanged, this, &RecordWriter::queueChanged);
    connect(worker, &Worker::failed, this, &RecordWriter::failed);
    // Every connection exists before the thread starts: nothing of them is
    // made on one thread and read on the other afterwards.
    connect(this, &RecordWriter::recordsPosted, worker, &Worker::writePosted, Qt::QueuedConnection);
    connect(this, &RecordWriter::countPosted, worker, &Worker::countToday, Qt::QueuedConnection);
    connect(this, &RecordWriter::drainPosted, worker, &Worker::nothing, Qt::BlockingQueuedConnection);
    connect(this, &RecordWriter::shutDownPosted, worker, &Worker::shutDown, Qt::BlockingQueuedConnection);
    connect(m_thread.get(), &QThread::started, worker, &Worker::send); // what an earlier run left queued
    m_thread->setObjectName(QStringLiteral("records"));
    m_thread->start();
}

RecordWriter::~RecordWriter()
{
    // Posted calls run in order: the shut-down comes after every record submitted before it.
    emit shutDownPosted(QPrivateSignal());
    m_thread->quit();
    m_thread->wait();
    m_worker->waitUntilShutDown(); // orders the thread's last writes before the destruction
    m_worker.reset();
}

void RecordWriter::submit(const Records::BoardRecord &record)
{
    m_worker->post(record);
    emit recordsPosted(QPrivateSignal());
}

void RecordWriter::requestDayCount()
{
    emit countPosted(QPrivateSignal());
}

void RecordWriter::drain()
{
    emit drainPosted(QPrivateSignal());
}

RecordWriter::Worker::Worker(const RecordWriter::Settings &settings) : m_settings(settings) {}

RecordWriter::Worker::~Worker() = default;

void RecordWriter::Worker::post(const Records::BoardRecord &record)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_inbox.push_back(record);
}

void RecordWriter::Worker::waitUntilShutDown()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Q_ASSERT(m_shutDown);
}

void RecordWriter::Worker::writePosted()
{
    for (;;) {
        Records::BoardRecord record;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_inbox.empty())
                return;
            record = std::move(m_inbox.front());
            m_inbox.pop_front();
        }
        write(record);
    }
}

bool RecordWriter::Worker::openLocal()
{
    if (m_local && m_local->isOpen())
        return true;
    m_local = std::make_unique<RecordStore>(m_settings.localPath);
    if (!m_local->open()) {
        emit failed(m_local->error());
        m_local.reset();
        return false;
    }
    return true;
}

int RecordWriter::Worker::todayCount()
{
    const QDateTime midnight(QDate::currentDate(), QTime(0, 0));
    return m_local ? m_local->countSince(m_settings.bench, m_settings.window, midnight.toUTC()) : -1;
}

void RecordWriter::Worker::write(const Records::BoardRecord &record)
{
    if (!openLocal())
        return;
    const bool ok = m_settings.fleet.isEmpty() ? m_local->insert(record) : m_local->insertQueued(record);
    if (!ok) {
        emit failed(m_local->error());
        return;
    }
    emit stored(todayCount());
    if (!m_settings.fleet.isEmpty())
        send();
}

void RecordWriter::Worker::countToday()
{
    if (openLocal())
        emit dayCount(todayCount());
}

void RecordWriter::Worker::send()
{
    if (m_settings.fleet.isEmpty() || !openLocal())
        return;
    if (!m_retry) {
        m_retry = new QTimer(this);
        m_retry->setSingleShot(true);
        connect(m_retry, &QTimer::timeout, this, &Worker::send);
    }
    m_retry->stop();
    bool sentAll = true;
    for (;;) {
        const QVector<Records::BoardRecord> waiting = m_local->queued(kSendBatch);
        if (waiting.isEmpty())
            break;
        if (!m_fleet || !m_fleet->isOpen()) {
            m_fleet = std::make_unique<RecordStore>(m_settings.fleet);
            if (!m_fleet->open()) {
                m_fleet.reset();
                sentAll = false;
                break;
            }
        }
        for (const Records::BoardRecord &record : waiting) {
            // Idempotent: a record the server took before the connection broke is not added again.
            if (!m_fleet->insert(record)) {
                m_fleet.reset(); // reconnect on the next attempt
                sentAll = false;
                break;
            }
            m_local->markSent(record.id);
        }
        if (!sentAll)
            break;
    }
    const int queued = m_local->queuedCount();
    if (queued != m_lastQueued) {
        m_lastQueued = queued;
        emit queueChanged(queued);
    }
    if (!sentAll || queued > 0)
        m_retry->start(m_settings.retryMs);
}

void RecordWriter::Worker::shutDown()
{
    writePosted();
    delete m_retry; // a timer is stopped on its own thread
    m_retry = nullptr;
    m_fleet.reset();
    m_local.reset();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_shutDown = true;
}
