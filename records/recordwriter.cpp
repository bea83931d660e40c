#include "records/recordwriter.h"

#include "records/databasesetting.h"
#include "records/recordstore.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <vector>

namespace {
const int kSendBatch = 100;
const int kStallCheckMs = 1000;
const std::size_t kMostLeftSenders = 4;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Senders given up while a fleet operation held them: their thread ends when
// the operation does, and nothing is deleted under it. Kept reachable (never
// destroyed, not even at exit, while such a thread may still run).
std::mutex leftMutex;
auto *const leftSenders = new std::vector<std::pair<QThread *, QObject *>>;

QPair<qint64, QDateTime> stampOf(const QString &path)
{
    const QFileInfo info(path);
    return {info.size(), info.lastModified()};
}

// The operator's words for a local failure; the details go to the debug log.
QString localReason(const QString &error, const QString &file)
{
    const struct
    {
        const char *sign;
        const char *reason;
    } reasons[] = {
        {"database is locked", "%1 is locked by another program"},
        {"database is busy", "%1 is locked by another program"},
        {"disk is full", "the disk is full"},
        {"readonly database", "%1 is read-only"},
        {"file is not a database", "%1 is not a records database"},
        {"newer program", "%1 was written by a newer program"},
        {"unable to open", "%1 cannot be opened"},
    };
    for (const auto &r : reasons) {
        if (error.contains(QLatin1String(r.sign), Qt::CaseInsensitive))
            return QString::fromLatin1(r.reason).replace(QLatin1String("%1"), file);
    }
    return QStringLiteral("%1 cannot be written").arg(file);
}
} // namespace

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

QString RecordWriter::notKeptLine(const QString &reason, int waiting)
{
    if (reason.isEmpty())
        return QString();
    return tr("Records are not being kept: %1; %2 waiting").arg(reason).arg(waiting);
}

RecordWriter::RecordWriter(const Settings &settings, QObject *parent) : QObject(parent), m_settings(settings)
{
    const Records::DatabaseSetting fleet = Records::parseDatabaseSetting(settings.fleet);
    switch (fleet.kind) {
    case Records::DatabaseSetting::Kind::None:
        m_settings.fleet.clear();
        break;
    case Records::DatabaseSetting::Kind::SqliteFile:
        m_settings.fleet = fleet.path;
        break;
    case Records::DatabaseSetting::Kind::Postgres:
        m_settings.fleet = settings.fleet.trimmed();
        break;
    case Records::DatabaseSetting::Kind::Invalid:
        // Records stay local; the setting's problem is said once the window listens.
        m_settings.fleet.clear();
        m_fleetProblem = fleet.error;
        m_currentProblem = fleet.error;
        QTimer::singleShot(0, this, [this] { emit fleetProblem(m_fleetProblem); });
        break;
    }

    m_thread = std::make_unique<QThread>();
    m_worker = std::make_unique<Worker>(m_settings, !m_settings.fleet.isEmpty());
    m_worker->moveToThread(m_thread.get());
    Worker *worker = m_worker.get();
    connect(worker, &Worker::stored, this, &RecordWriter::stored);
    connect(worker, &Worker::dayCount, this, &RecordWriter::dayCount);
    connect(worker, &Worker::keepingChanged, this, &RecordWriter::keepingChanged);
    connect(worker, &Worker::failed, this, &RecordWriter::failed);
    // Every connection exists before the thread starts: nothing of them is
    // made on one thread and read on the other afterwards.
    connect(this, &RecordWriter::recordsPosted, worker, &Worker::writePosted, Qt::QueuedConnection);
    connect(this, &RecordWriter::countPosted, worker, &Worker::countToday, Qt::QueuedConnection);
    connect(this, &RecordWriter::drainPosted, worker, &Worker::nothing, Qt::BlockingQueuedConnection);
    connect(this, &RecordWriter::shutDownPosted, worker, &Worker::shutDown, Qt::BlockingQueuedConnection);
    connect(m_thread.get(), &QThread::started, worker, &Worker::writePosted); // says at once when unusable
    m_thread->setObjectName(QStringLiteral("records"));
    m_thread->start();

    if (!m_settings.fleet.isEmpty()) {
        startSender();
        m_stallTimer = new QTimer(this);
        m_stallTimer->setInterval(kStallCheckMs);
        connect(m_stallTimer, &QTimer::timeout, this, &RecordWriter::checkSenderStall);
        m_stallTimer->start();
    }
}

RecordWriter::~RecordWriter()
{
    // Posted calls run in order: the shut-down comes after every record submitted before it.
    emit shutDownPosted(QPrivateSignal());
    m_thread->quit();
    m_thread->wait();
    m_worker->waitUntilShutDown(); // orders the thread's last writes before the destruction
    m_worker.reset();

    if (m_sender) {
        m_sender->abandon(); // a pass stops between two records
        QMetaObject::invokeMethod(m_sender.get(), "shutDown", Qt::QueuedConnection);
        if (m_senderThread->wait(static_cast<unsigned long>(m_settings.closeWaitMs))) {
            m_sender->waitUntilShutDown();
            m_sender.reset();
            m_senderThread.reset();
        } else {
            emit failed(QStringLiteral("the fleet database holds the sender: left behind, the outbox waits "
                                       "for the next start"));
            leaveSender();
        }
    }
}

void RecordWriter::startSender()
{
    m_senderThread = std::make_unique<QThread>();
    m_sender = std::make_unique<Sender>(m_settings);
    m_sender->moveToThread(m_senderThread.get());
    Sender *sender = m_sender.get();
    connect(sender, &Sender::queueChanged, this, [this](int queued) {
        m_queued = queued;
        emit queueChanged(queued);
    });
    connect(sender, &Sender::fleetProblem, this, [this](const QString &problem) {
        m_currentProblem = problem;
        emit fleetProblem(problem);
    });
    connect(sender, &Sender::failed, this, &RecordWriter::failed);
    connect(m_worker.get(), &Worker::written, sender, &Sender::send, Qt::QueuedConnection);
    connect(m_senderThread.get(), &QThread::started, sender,
            &Sender::send); // what an earlier run left queued
    m_senderThread->setObjectName(QStringLiteral("records-fleet"));
    m_senderThread->start();
}

void RecordWriter::leaveSender()
{
    disconnect(m_sender.get(), nullptr, this, nullptr);
    if (m_worker)
        disconnect(m_worker.get(), nullptr, m_sender.get(), nullptr);
    m_sender->abandon();
    m_senderThread->quit(); // ends when the operation that holds it does
    const std::lock_guard<std::mutex> lock(leftMutex);
    leftSenders->emplace_back(m_senderThread.release(), m_sender.release());
}

void RecordWriter::checkSenderStall()
{
    const qint64 since = m_sender ? m_sender->busySinceMs() : 0;
    if (since == 0 || nowMs() - since < m_settings.fleetStallMs)
        return;
    emit failed(QStringLiteral("a fleet database operation took longer than %1 ms: given up")
                    .arg(m_settings.fleetStallMs));
    m_currentProblem = QStringLiteral("not reachable");
    emit fleetProblem(m_currentProblem);
    leaveSender();
    std::size_t left = 0;
    {
        const std::lock_guard<std::mutex> lock(leftMutex);
        left = leftSenders->size();
    }
    if (left < kMostLeftSenders)
        startSender();
    else
        m_stallTimer->stop(); // records wait in the outbox for the next start
}

void RecordWriter::submit(const Records::BoardRecord &record)
{
    const quint64 number = m_worker->post(record);
    emit recordsPosted(QPrivateSignal());
    m_worker->waitWritten(number, kSubmitWaitMs);
}

void RecordWriter::requestDayCount()
{
    emit countPosted(QPrivateSignal());
}

void RecordWriter::drain()
{
    emit drainPosted(QPrivateSignal());
    if (m_sender)
        QMetaObject::invokeMethod(m_sender.get(), "nothing", Qt::BlockingQueuedConnection);
}

// --- the local part

RecordWriter::Worker::Worker(const RecordWriter::Settings &settings, bool queueForFleet)
    : m_settings(settings), m_queueForFleet(queueForFleet)
{
}

RecordWriter::Worker::~Worker() = default;

quint64 RecordWriter::Worker::post(const Records::BoardRecord &record)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_inbox.push_back(record);
    return ++m_posted;
}

void RecordWriter::Worker::waitWritten(quint64 number, int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_settled.wait_for(lock, std::chrono::milliseconds(ms),
                       [&] { return m_written >= number || m_failing || m_shutDown; });
}

void RecordWriter::Worker::waitUntilShutDown()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Q_ASSERT(m_shutDown);
}

void RecordWriter::Worker::writePosted()
{
    writePending(true);
}

bool RecordWriter::Worker::openLocal(QString *reason)
{
    const QString path = m_settings.localPath;
    const QString refused = RecordStore::refusedPath(path, RecordStore::Access::Write);
    if (!refused.isEmpty()) {
        m_local.reset();
        *reason = refused;
        emit failed(QStringLiteral("cannot open %1: %2").arg(path, refused));
        return false;
    }
    if (m_local && m_local->isOpen()) {
        if (QFileInfo::exists(path) && stampOf(path) == m_stamp)
            return true;
        // Moved, deleted, replaced or changed by someone else: an open
        // connection would go on writing to a file no longer at the path.
        // Closing lets SQLite finish its own files; opened (or created) anew below.
        m_local.reset();
    }
    m_local = std::make_unique<RecordStore>(path);
    if (!m_local->open()) {
        const QString error = m_local->error();
        m_local.reset();
        *reason = localReason(error, QFileInfo(path).fileName());
        emit failed(error);
        return false;
    }
    m_stamp = stampOf(path);
    return true;
}

void RecordWriter::Worker::takeInbox()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_inbox.empty()) {
        m_pending.push_back(std::move(m_inbox.front()));
        m_inbox.pop_front();
    }
}

void RecordWriter::Worker::writePending(bool retryLater)
{
    takeInbox();
    if (!m_retry) {
        m_retry = new QTimer(this);
        m_retry->setSingleShot(true);
        connect(m_retry, &QTimer::timeout, this, &Worker::writePosted);
    }
    bool wrote = false;
    bool reopened = false;
    QString reason;
    bool ok = openLocal(&reason);
    while (ok && !m_pending.empty()) {
        const Records::BoardRecord &record = m_pending.front();
        ok = m_queueForFleet ? m_local->insertQueued(record) : m_local->insert(record);
        if (!ok) {
            const QString error = m_local->error();
            reason = localReason(error, QFileInfo(m_settings.localPath).fileName());
            emit failed(error);
            m_local.reset(); // opened afresh for the next attempt
            // A file moved, deleted or replaced under the open connection fails
            // its next write: opened again at once. A lock was waited for already.
            if (!reopened && !error.contains(QLatin1String("locked")) &&
                !error.contains(QLatin1String("busy"))) {
                reopened = true;
                ok = openLocal(&reason);
                continue;
            }
            break;
        }
        reopened = false;
        m_local->checkpoint();
        m_stamp = stampOf(m_settings.localPath);
        m_pending.pop_front();
        settle(true);
        wrote = true;
        emit stored(todayCount());
    }
    if (wrote && m_queueForFleet)
        emit written();
    if (!ok)
        settle(false);
    if (ok) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_failing = false;
        }
        m_pauseMs = 0;
        m_retry->stop();
        report(QString());
        return;
    }
    report(reason);
    if (retryLater) {
        m_pauseMs = m_pauseMs ? qMin(m_pauseMs * 2, m_settings.retryMs) : m_settings.localRetryMs;
        m_retry->start(m_pauseMs);
    }
}

void RecordWriter::Worker::settle(bool wroteOne)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_failing = !wroteOne;
        if (wroteOne)
            ++m_written;
    }
    m_settled.notify_all();
}

void RecordWriter::Worker::report(const QString &reason)
{
    const int waiting = static_cast<int>(m_pending.size());
    if (reason == m_reason && (reason.isEmpty() || waiting == m_reportedWaiting))
        return;
    m_reason = reason;
    m_reportedWaiting = waiting;
    emit keepingChanged(reason, waiting);
}

int RecordWriter::Worker::todayCount()
{
    const QDateTime midnight(QDate::currentDate(), QTime(0, 0));
    return m_local ? m_local->countSince(m_settings.bench, m_settings.window, midnight.toUTC()) : -1;
}

void RecordWriter::Worker::countToday()
{
    QString reason;
    if (openLocal(&reason))
        emit dayCount(todayCount());
}

void RecordWriter::Worker::shutDown()
{
    if (m_retry)
        m_retry->stop();
    writePending(false); // one more attempt
    if (!m_pending.empty())
        emit failed(QStringLiteral("%1 record(s) could not be written before closing: %2")
                        .arg(m_pending.size())
                        .arg(m_reason));
    delete m_retry; // a timer is stopped on its own thread
    m_retry = nullptr;
    m_local.reset();
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_shutDown = true;
    m_settled.notify_all(); // under the lock: waitUntilShutDown() orders it before the destruction
}

// --- the fleet part

RecordWriter::Sender::Sender(const RecordWriter::Settings &settings) : m_settings(settings) {}

RecordWriter::Sender::~Sender() = default;

void RecordWriter::Sender::send()
{
    if (m_abandoned.loadAcquire())
        return;
    if (!m_retry) {
        m_retry = new QTimer(this);
        m_retry->setSingleShot(true);
        connect(m_retry, &QTimer::timeout, this, &Sender::send);
    }
    m_retry->stop();
    m_busySince.storeRelease(nowMs());
    QString problem;
    const bool sentAll = pass(&problem);
    m_busySince.storeRelease(0);
    if (m_abandoned.loadAcquire())
        return;
    if (problem != m_lastProblem) {
        m_lastProblem = problem;
        emit fleetProblem(problem);
    }
    if (!sentAll || m_lastQueued > 0)
        m_retry->start(m_settings.retryMs);
}

bool RecordWriter::Sender::pass(QString *problem)
{
    // Its own connection to the local file, opened per pass: a file the
    // writer created anew is the one read, and none is ever created here.
    RecordStore local(m_settings.localPath);
    if (!local.open(RecordStore::kSchemaVersion, RecordStore::Access::WriteExisting)) {
        *problem = m_lastProblem; // unchanged: the local writer says what is wrong
        return false;
    }
    auto noteQueued = [&] {
        const int queued = local.queuedCount();
        if (queued >= 0 && queued != m_lastQueued) {
            m_lastQueued = queued;
            emit queueChanged(queued);
        }
    };
    noteQueued();
    bool sentAll = true;
    while (sentAll && !m_abandoned.loadAcquire()) {
        const QVector<Records::BoardRecord> waiting = local.queued(kSendBatch);
        if (waiting.isEmpty())
            break;
        if (!m_fleet) {
            m_fleet = std::make_unique<RecordStore>(m_settings.fleet);
            if (!m_fleet->open()) {
                *problem = m_fleet->loginRefused() ? QStringLiteral("login refused")
                                                   : QStringLiteral("not reachable");
                emit failed(m_fleet->error());
                m_fleet.reset();
                sentAll = false;
                break;
            }
        }
        for (const Records::BoardRecord &record : waiting) {
            if (m_abandoned.loadAcquire())
                return false;
            // Idempotent: a record the server took before the connection broke is not added again.
            if (!m_fleet->insert(record)) {
                emit failed(m_fleet->error());
                *problem = QStringLiteral("not reachable");
                m_fleet.reset(); // reconnect on the next attempt
                sentAll = false;
                break;
            }
            local.markSent(record.id);
        }
    }
    noteQueued();
    return sentAll;
}

void RecordWriter::Sender::shutDown()
{
    delete m_retry; // a timer is stopped on its own thread
    m_retry = nullptr;
    m_fleet.reset();
    const std::lock_guard<std::mutex> lock(m_doneMutex);
    m_done = true;
    QThread::currentThread()->quit();
}
