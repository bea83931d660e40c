#include "records/recordwriter.h"

#include "records/recordstore.h"

#include <QThread>
#include <QTimer>

namespace {
const int kSendBatch = 100;
}

RecordWriter::RecordWriter(const Settings &settings, QObject *parent)
    : QObject(parent), m_thread(std::make_unique<QThread>()), m_worker(std::make_unique<Worker>(settings))
{
    qRegisterMetaType<Records::BoardRecord>();
    m_worker->moveToThread(m_thread.get());
    connect(m_worker.get(), &Worker::stored, this, &RecordWriter::stored);
    connect(m_worker.get(), &Worker::dayCount, this, &RecordWriter::dayCount);
    connect(m_worker.get(), &Worker::queueChanged, this, &RecordWriter::queueChanged);
    connect(m_worker.get(), &Worker::failed, this, &RecordWriter::failed);
    m_thread->setObjectName(QStringLiteral("records"));
    m_thread->start();
    // Sends what an earlier run left in the outbox.
    QMetaObject::invokeMethod(m_worker.get(), &Worker::send, Qt::QueuedConnection);
}

RecordWriter::~RecordWriter()
{
    // Queued calls run in order: shutDown runs after every record submitted before it.
    QMetaObject::invokeMethod(m_worker.get(), &Worker::shutDown, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    m_worker.reset(); // its thread has ended: nothing of it runs any more
}

void RecordWriter::submit(const Records::BoardRecord &record)
{
    QMetaObject::invokeMethod(
        m_worker.get(), [worker = m_worker.get(), record] { worker->write(record); }, Qt::QueuedConnection);
}

void RecordWriter::requestDayCount()
{
    QMetaObject::invokeMethod(m_worker.get(), &Worker::countToday, Qt::QueuedConnection);
}

void RecordWriter::drain()
{
    QMetaObject::invokeMethod(m_worker.get(), &Worker::nothing, Qt::BlockingQueuedConnection);
}

RecordWriter::Worker::Worker(const RecordWriter::Settings &settings) : m_settings(settings) {}

RecordWriter::Worker::~Worker() = default;

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
    emit stored(record.id, todayCount());
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
    delete m_retry; // a timer is stopped on its own thread
    m_retry = nullptr;
    m_fleet.reset();
    m_local.reset();
}
