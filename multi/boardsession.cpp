#include "multi/boardsession.h"

#include "common/boardconfig.h"
#include "common/toolcontract.h"
#include "common/toollaunch.h"
#include "common/toolprocess.h"
#include "metrics/metricslogging.h"
#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multilogging.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "records/recordslogging.h"
#include "records/recordwriter.h"

#include <QDateTime>
#include <QDebug>
#include <QProcess>
#include <QTimer>

#include <utility>

namespace {
const int kStartTimeoutMs = 30000;
const int kListingTimeoutMs = 30000;
const int kKillTimeoutMs = 5000;
const int kCountersTickMs = 1000;
const int kWatchdogTickMaxMs = 1000;
const int kWatchdogTickMinMs = 50;
const int kShortHashDigits = 12;
} // namespace

BoardSession::BoardSession(const QString &toolDir, QObject *parent) : QObject(parent), m_toolDir(toolDir)
{
    const BoardConfig::ChipAndOs config = BoardConfig::readChipAndOs();
    m_chipType = config.chipType;
    m_osType = config.osType;
    for (std::size_t i = 0; i < m_slots.size(); ++i)
        m_slots[i].setUp(int(i));
}

BoardSession::~BoardSession()
{
    endActiveRunsAsStopped();
    for (BoardSlot &slot : m_slots)
        if (QProcess *process = slot.takeProcess())
            releaseProcess(process);
    // A listing still running would report its end to a session half gone.
    if (m_listing) {
        disconnect(m_listing, nullptr, this, nullptr);
        stopTool(m_listing);
    }
}

void BoardSession::setUp()
{
    setUpRecords();
}

void BoardSession::setPackage(const QString &packagePath, const QString &imageFolder)
{
    m_packagePath = packagePath;
    m_imageFolder = imageFolder;
}

// The one way the session stops a process at once: killed, then waited for up
// to kKillTimeoutMs (what it wrote before it ended is still delivered), then
// closed. A process that outlives the wait is left and said so; the slots
// that must not wait (a board not found, a silent tool) kill without it.
bool BoardSession::stopTool(QProcess *process)
{
    if (process->state() == QProcess::NotRunning)
        return true;
    process->kill();
    const bool ended = process->waitForFinished(kKillTimeoutMs);
    qCDebug(lcMulti, "process killed");
    qCDebug(lcMulti) << "state" << process->state();
    if (!ended) {
        qCDebug(lcMulti) << "The tool did not end within" << kKillTimeoutMs << "ms";
        return false;
    }
    process->close();
    return true;
}

void BoardSession::releaseProcess(QProcess *process)
{
    // Stopped first, then deleted once control is back in the event loop: the
    // object may still be inside one of its own signal emissions.
    disconnect(process, nullptr, this, nullptr);
    stopTool(process);
    process->deleteLater();
}

void BoardSession::setProgress(int index, float value)
{
    m_progress[static_cast<std::size_t>(index)] = value;
    emit progressChanged(index, value);
}

void BoardSession::holdLaunches()
{
    m_holding = true;
}

void BoardSession::releaseLaunches()
{
    m_holding = false;
    launchHeldArrivals();
    startListingIfDue();
}

void BoardSession::startBatch(const QString &packageHash, const QString &signingKey)
{
    m_packageHash = packageHash;
    m_signingKey = signingKey;
    createBatchProcesses();
    m_counters.startBatch(QDateTime::currentDateTimeUtc());
    m_countersTimer->start();
    updateCounters();

    m_holding = false;
    launchHeldArrivals();
    startListingIfDue();
}

void BoardSession::createBatchProcesses()
{
    for (BoardSlot &slot : m_slots) {
        auto *process = new ToolProcess(this);
        process->setWorkingDirectory(m_toolDir);
        process->setProcessChannelMode(QProcess::MergedChannels);
        slot.setProcess(process);
    }
    // The slots' flags are kept across batches (slot selection reads what the
    // previous batch left); every Start after the first has always said so.
    if (std::exchange(m_startedBefore, true))
        qCDebug(lcMulti, "Download process init failed! ");

    for (BoardSlot &slot : m_slots) {
        QProcess *process = slot.process();
        BoardSlot *target = &slot;
        connect(process, &QProcess::readyReadStandardOutput, this,
                [this, target] { readBoardOutput(*target); });
        // A line cut off by the end of the process is still handled.
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, target] { finishBoardOutput(*target); });
        // After the tail above: the run's last line is in when it is recorded.
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, target](int exitCode, QProcess::ExitStatus status) {
                    endBoardRun(*target, exitCode, status == QProcess::CrashExit);
                });
    }
}

void BoardSession::launchHeldArrivals()
{
    if (m_heldArrival) {
        m_heldArrival = false;
        launchNewPorts(std::exchange(m_heldNewPorts, {}));
    }
}

void BoardSession::stop()
{
    emit statusLine(tr("Stop download process ..."));
    for (BoardSlot &slot : m_slots)
        if (slot.run().isActive())
            slot.run().noteStopped();
    if (hasBatch()) {
        for (const BoardSlot &slot : m_slots)
            stopTool(slot.process());
        for (BoardSlot &slot : m_slots)
            releaseProcess(slot.takeProcess());
    }
    endActiveRunsAsStopped();
    m_counters.stopBatch(QDateTime::currentDateTimeUtc());
    m_countersTimer->stop();
    updateCounters();
    m_progress.fill(0.0f);
    emit allProgressChanged(0.0f);
    for (const BoardSlot &slot : m_slots)
        emit titleChanged(slot.index(), tr("Board %1").arg(slot.number()));
    for (BoardSlot &slot : m_slots)
        slot.dropOutput();
    emit statusLine(tr("Stop process success !\n"));
}

void BoardSession::restartSlot(int index)
{
    BoardSlot &slot = m_slots[static_cast<std::size_t>(index)];
    const QString number = QString::number(slot.number());
    if (QProcess *process = slot.process()) {
        if (process->state() == QProcess::Running && slot.run().isActive())
            slot.run().noteStopped();
        if (process->state() == QProcess::Running) {
            emit statusLine(QStringLiteral("Board ") + number + QStringLiteral(" Stop downloading ..."));
            stopTool(process);
            emit statusLine(QStringLiteral("Board ") + number +
                            QStringLiteral(" Stop downloading successfully !\n"));
        }
    }
    emit statusLine(QStringLiteral("Board ") + number +
                    QStringLiteral(" Please insert usb device again !\n"));
}

void BoardSession::close()
{
    endActiveRunsAsStopped();
    // Taken from the slots so that a later close never walks destroyed
    // objects, and disconnected before they are stopped: an end delivered
    // while stopping must not reach a slot whose process is already gone.
    m_closing = true;
    for (BoardSlot &slot : m_slots) {
        if (QProcess *process = slot.takeProcess())
            releaseProcess(process);
        logTailOnClose(slot);
    }
}

void BoardSession::stopForClose()
{
    m_closing = true;
    endActiveRunsAsStopped();
    int closed = 0;
    for (const BoardSlot &slot : m_slots) {
        QProcess *process = slot.process();
        if (!process || process->state() != QProcess::Running)
            continue;
        if (stopTool(process)) {
            qCDebug(lcMulti) << "Process" << closed << "closed! State:" << process->state();
            ++closed;
        } else {
            qCDebug(lcMulti, "closed error!");
        }
    }
}

void BoardSession::deviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName)
{
    if (!isDownloadDeviceName(interfaceName))
        return;
    if (kind == DeviceEventSource::Kind::Removal) {
        qCDebug(lcMulti, "quoril use device removed!!!\n\n");
        m_arrivalNames.removeAll(interfaceName);
    } else {
        qCDebug(lcMulti, "quoril use device insert!!!\n\n");
        m_arrivalDue = true;
        if (!m_arrivalNames.contains(interfaceName))
            m_arrivalNames.append(interfaceName);
    }
    // A removal's listing drops the vanished port, so that its return counts
    // as new; an arrival's listing also binds and launches. A burst of events
    // shares one listing instead of running one after another.
    m_listingDue = true;
    startListingIfDue();
}

void BoardSession::startListingIfDue()
{
    if (!m_listingDue || m_listing || m_holding)
        return;
    m_listingDue = false;
    m_listingForArrival = m_arrivalDue;
    m_arrivalDue = false;
    m_listingArrivalNames = std::exchange(m_arrivalNames, {});

    m_listing = new ToolProcess(this);
    m_listing->setWorkingDirectory(m_toolDir);
    m_listing->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_listing, &QProcess::started, this, &BoardSession::listingStarted);
    connect(m_listing, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &BoardSession::listingEnded);
    connect(m_listing, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            qCDebug(lcMulti, "failed start usb read");
            listingEnded();
        }
    });
    if (!m_listingTimer) {
        m_listingTimer = new QTimer(this);
        m_listingTimer->setSingleShot(true);
        connect(m_listingTimer, &QTimer::timeout, this, &BoardSession::listingTimedOut);
    }
    m_listingTimer->start(kStartTimeoutMs + kListingTimeoutMs);
    ToolLaunch::start(m_listing, ToolLaunch::Command{m_toolDir + QLatin1String(ToolContract::kExecutable),
                                                     {QLatin1String(ToolContract::kOptList)}});
}

void BoardSession::listingStarted()
{
    qCDebug(lcMulti, "read usb port ");
    m_listingTimer->start(kListingTimeoutMs);
}

void BoardSession::listingTimedOut()
{
    if (!m_listing)
        return;
    qCDebug(lcMulti, "finish usb read port failed ");
    // Whatever the tool printed so far is still parsed.
    disconnect(m_listing, nullptr, this, nullptr);
    m_listing->kill();
    listingEnded();
}

void BoardSession::listingEnded()
{
    if (!m_listing)
        return;
    QProcess *ended = std::exchange(m_listing, nullptr);
    m_listingTimer->stop();
    if (ended->state() == QProcess::NotRunning && ended->exitStatus() == QProcess::NormalExit &&
        ended->error() != QProcess::FailedToStart)
        qCDebug(lcMulti, "done ");
    const QByteArray output = ended->readAll();
    disconnect(ended, nullptr, this, nullptr);
    // The process object goes once control is back in the event loop (this
    // may run inside one of its own signals); a killed one ends there too.
    if (ended->state() != QProcess::NotRunning)
        connect(ended, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), ended,
                &QObject::deleteLater);
    else
        ended->deleteLater();

    const QVector<PortRecord> newPorts = m_ports.applyListing(parsePortListing(output));
    noteArrivalNames(newPorts);
    if (m_listingForArrival) {
        if (m_holding) {
            // The batch's processes do not exist yet: bind and launch after Start.
            for (const PortRecord &port : newPorts)
                if (!m_heldNewPorts.contains(port))
                    m_heldNewPorts.append(port);
            m_heldArrival = true;
        } else {
            launchNewPorts(newPorts);
        }
    }
    startListingIfDue();
}

void BoardSession::launchNewPorts(const QVector<PortRecord> &newPorts)
{
    m_ports.registerPorts(newPorts);

    // Between batches no slot has a process, and none takes part.
    QVector<PortTracker::SlotState> states;
    if (hasBatch()) {
        for (const BoardSlot &slot : m_slots)
            states.append({slot.process()->state() == QProcess::NotRunning, slot.busy(), slot.done()});
    }
    const QVector<int> toLaunch = m_ports.selectSlots(newPorts, states);
    for (int i = 0; i < states.size(); ++i)
        m_slots[static_cast<std::size_t>(i)].setDone(states.at(i).done);
    for (int index : toLaunch)
        launchBoard(m_ports.boardPorts().at(index), m_slots[static_cast<std::size_t>(index)]);
}

void BoardSession::launchBoard(const PortRecord &port, BoardSlot &slot)
{
    const QString number = QString::number(slot.number());
    emit statusLine(QStringLiteral("Board ") + number + QStringLiteral(" USB Port:") + port.level +
                    QLatin1Char(',') + port.number + QStringLiteral(" insert!"));
    setProgress(slot.index(), 0.0f);
    slot.prepareLaunch();

    // The tool gets its arguments as a list: a folder name with blanks or
    // quotes reaches it unchanged. The debug line shows the command as typed.
    const QString portText = port.level + QLatin1Char(',') + port.number;
    const QStringList arguments = ToolLaunch::downloadArguments(
        m_chipType, m_osType, ToolLaunch::toolImageFolder(m_imageFolder), portText);
    qCDebug(lcMulti).noquote() << m_imageFolder + QStringLiteral("!!!!!!!!!!!!!!!!!!!");
    qCDebug(lcMulti).noquote() << m_toolDir + QLatin1String(ToolContract::kExecutable) +
                                      QStringLiteral(" -c ") + m_chipType + QStringLiteral(" -s ") +
                                      m_osType + QStringLiteral(" -i \"") + m_imageFolder +
                                      QStringLiteral("\" -p ") + portText;
    emit titleChanged(slot.index(),
                      QStringLiteral("Board ") + number + QStringLiteral("->USB Port: ") + portText);

    QProcess *process = slot.process();
    ToolLaunch::start(process,
                      ToolLaunch::Command{m_toolDir + QLatin1String(ToolContract::kExecutable), arguments});
    if (!process->waitForStarted(kStartTimeoutMs)) {
        qCDebug(lcMulti, "Start command process failed!");
        return;
    }
    emit statusLine(QStringLiteral("Board ") + number + QStringLiteral(" Start Downloading  ..."));
    qCDebug(lcMulti, "Download start sucessfully!");
    slot.markStarted();
    beginRun(slot, portText);
}

void BoardSession::beginRun(BoardSlot &slot, const QString &portText)
{
    Records::BoardRecord identity;
    identity.bench = m_benchName;
    identity.window = QStringLiteral("multi");
    identity.slot = slot.number();
    identity.port = portText;
    identity.serial = m_portSerials.value(portText);
    identity.source = m_packagePath;
    identity.sha256 = m_packageHash;
    identity.signedBy = m_signingKey;
    identity.chip = m_chipType;
    identity.os = m_osType;
    slot.run().begin(identity, QDateTime::currentDateTimeUtc());
    m_counters.boardStarted(slot.index());
    m_watchdog.arm(slot.index(), m_monotonic.elapsed());
    updateCounters();
}

void BoardSession::readSlotOutput(int index)
{
    if (index >= 0 && index < kSlotCount)
        readBoardOutput(m_slots[static_cast<size_t>(index)]);
}

void BoardSession::readBoardOutput(BoardSlot &slot)
{
    QProcess *process = slot.process();
    if (!process || m_closing)
        return;
    if (slot.silenced()) {
        process->readAllStandardOutput(); // stopped by the watchdog
        return;
    }
    m_watchdog.heard(slot.index(), m_monotonic.elapsed());
    emit barHeard(slot.index());
    if (slot.killedAfterNotFound()) {
        process->readAllStandardOutput(); // the run has ended with "not found"
        return;
    }
    QByteArray bytes;
    if (process->state() == QProcess::Running)
        bytes = ToolLaunch::readHeld(process); // the merged channels: all of the tool's output
    // A chunk may end inside a line, even inside a character: the unfinished
    // tail waits for the next chunk (or the end of the process).
    handleBoardLines(slot, slot.takeLines(bytes));
}

void BoardSession::finishBoardOutput(BoardSlot &slot)
{
    // Ends delivered while closing are not interpreted (the runs are already
    // recorded as stopped); their last line is still logged.
    if (m_closing) {
        logTailOnClose(slot);
        return;
    }
    if (slot.killedAfterNotFound()) {
        slot.setKilledAfterNotFound(false);
        qCDebug(lcMulti, "Process has killed successfully");
        slot.setDone(true);
        return;
    }
    QString tail;
    if (slot.takeTail(&tail))
        handleBoardLines(slot, QStringList{tail});
}

void BoardSession::logTailOnClose(BoardSlot &slot)
{
    QString tail;
    if (slot.takeTail(&tail))
        appendMultiplexLog(boardLogPrefix(slot.number()) + tail);
}

void BoardSession::handleBoardLines(BoardSlot &slot, const QStringList &lines)
{
    emit outputArriving();
    slot.setHandlingOutput(true);
    const BatchedLog::Batch logBatch(multiplexLog()); // the chunk's lines with one open and close
    const QString prefix = boardLogPrefix(slot.number());
    for (const QString &line : lines) {
        appendMultiplexLog(prefix + line);
        if (!handleBoardLine(slot, line))
            break;
    }
    slot.setHandlingOutput(false);
}

// One line of a slot's output; false when the slot's run has ended with it
// (the lines after it are not handled).
bool BoardSession::handleBoardLine(BoardSlot &slot, const QString &line)
{
    using Kind = BoardLineResult::Kind;
    const int index = slot.index();
    const BoardLineResult result =
        interpretBoardLine(line, slot.number(), m_progress[static_cast<std::size_t>(index)]);
    BoardRun &run = slot.run();
    run.noteLine(line);

    switch (result.kind) {
    case Kind::NotFound:
        run.noteFailure(Records::Result::NotFound);
        emit pictureChanged(index, Picture::Failed);
        emit statusLine(result.statusMessage);
        emit barMarkedRed(index);
        killAfterNotFound(slot);
        return false;
    case Kind::Waiting:
        emit pictureChanged(index, Picture::Download);
        setProgress(index, result.progress);
        return true; // no completion test for a waiting line
    case Kind::CommFailed:
    case Kind::TooLarge:
    case Kind::DownloadFailed:
        run.noteFailure(result.kind == Kind::CommFailed ? Records::Result::CommFailed
                        : result.kind == Kind::TooLarge ? Records::Result::TooLarge
                                                        : Records::Result::DownloadFailed);
        emit pictureChanged(index, Picture::Failed);
        emit statusLine(result.statusMessage);
        emit barMarkedRed(index);
        break;
    case Kind::Progress:
    case Kind::Break:
    case Kind::Plain:
        setProgress(index, result.progress);
        break;
    }
    if (!result.complete)
        return true;
    run.noteCompleted();
    emit pictureChanged(index, Picture::Success);
    setProgress(index, 100.0f);
    emit statusLine(result.completeMessage);
    if (index == 0)
        qCDebug(lcMulti, "USB download complete");
    slot.markCompleted();
    return false;
}

void BoardSession::killAfterNotFound(BoardSlot &slot)
{
    slot.dropOutput();
    // Killed without waiting: eight slots failing at once must not freeze the
    // window for seconds each. The slot is finished when its process reports
    // the end (finishBoardOutput).
    QProcess *process = slot.process();
    if (!process)
        return;
    slot.setKilledAfterNotFound(true);
    process->kill();
    BoardSlot *target = &slot;
    QTimer::singleShot(kKillTimeoutMs, process, [process, target] {
        if (target->killedAfterNotFound() && process->state() != QProcess::NotRunning)
            qCDebug(lcMulti, "Process termination failed or timed out");
    });
}

void BoardSession::setUpRecords()
{
    m_benchName = Records::benchName();
    m_monotonic.start();

    m_records = new RecordWriter(RecordWriter::Settings::forWindow(QStringLiteral("multi"), m_benchName,
                                                                   BoardConfig::recordsDatabase()),
                                 this);
    connect(m_records, &RecordWriter::queueChanged, this, &BoardSession::showQueuedRecords);
    connect(m_records, &RecordWriter::fleetProblem, this, [this] { showQueuedRecords(m_records->queued()); });
    connect(m_records, &RecordWriter::failed, this,
            [](const QString &message) { qCWarning(lcRecords).noquote() << "records:" << message; });
    connect(m_records, &RecordWriter::keepingChanged, this, [this](const QString &reason, int waiting) {
        emit recordsKeepingChanged(reason, RecordWriter::notKeptLine(reason, waiting));
    });

    m_countersTimer = new QTimer(this);
    m_countersTimer->setInterval(kCountersTickMs);
    connect(m_countersTimer, &QTimer::timeout, this, &BoardSession::updateCounters);

    const int silentSeconds = BoardConfig::watchdogSilentSeconds();
    m_watchdog = SilenceWatchdog(kSlotCount, qint64(silentSeconds) * 1000);
    if (m_watchdog.enabled()) {
        m_watchdogTimer = new QTimer(this);
        m_watchdogTimer->setInterval(
            int(qBound<qint64>(kWatchdogTickMinMs, m_watchdog.limitMs() / 4, kWatchdogTickMaxMs)));
        connect(m_watchdogTimer, &QTimer::timeout, this, &BoardSession::checkSilence);
        m_watchdogTimer->start();
    }
    setUpMetrics();
}

void BoardSession::setUpMetrics()
{
    const QString listen = BoardConfig::metricsListen();
    if (listen.isEmpty())
        return;
    auto served = std::make_unique<BenchMetrics>(m_benchName);
    QString error;
    if (!served->start(listen, &error)) {
        const QString line = tr("Metrics not served: %1.").arg(error);
        emit statusLine(line);
        qCWarning(lcMetrics).noquote() << line;
        return;
    }
    qCInfo(lcMetrics).noquote() << "metrics served on port" << served->port();
    served->setWatchdogLimit(m_watchdog.limitMs());
    m_metrics = std::move(served);
    feedMetrics();
}

void BoardSession::noteArrivalNames(const QVector<PortRecord> &newPorts)
{
    // A new port's serial comes from its arrival's device name when the pair is
    // sure; an unknown one also replaces the serial of a board seen there before.
    const QStringList names = std::exchange(m_listingArrivalNames, {});
    const QString serial =
        m_serialPairing.serialForNewPort(newPorts.size(), names, !m_arrivalNames.isEmpty());
    for (const PortRecord &port : newPorts)
        m_portSerials.insert(port.level + QLatin1Char(',') + port.number, serial);
}

void BoardSession::endBoardRun(BoardSlot &slot, int exitCode, bool crashed)
{
    BoardRun &run = slot.run();
    if (!run.isActive())
        return;
    const Records::BoardRecord record = run.finish(exitCode, crashed, QDateTime::currentDateTimeUtc());
    m_watchdog.disarm(slot.index());
    m_counters.boardFinished(slot.index(), record.result == Records::Result::Success);
    if (m_records)
        m_records->submit(record);
    m_portWatch.boardFinished(record.port, record.result);
    if (m_metrics)
        m_metrics->boardFinished(slot.index(), record.port, record.result, record.durationMs);
    updateCounters();
}

void BoardSession::endActiveRunsAsStopped()
{
    for (BoardSlot &slot : m_slots) {
        if (slot.run().isActive()) {
            slot.run().noteStopped();
            endBoardRun(slot, -1, false);
        }
    }
}

void BoardSession::checkSilence()
{
    for (int index : m_watchdog.expired(m_monotonic.elapsed())) {
        BoardSlot &slot = m_slots[static_cast<std::size_t>(index)];
        BoardRun &run = slot.run();
        if (!run.isActive() || !slot.process())
            continue;
        run.noteWatchdog();
        slot.setSilenced(true);
        slot.dropOutput();
        const Records::BoardRecord &current = run.record();
        emit pictureChanged(index, Picture::Failed);
        emit barMarkedRed(index);
        emit statusLine(tr("Board %1 (USB Port: %2%3) printed nothing for %4 s: stopped as failed.")
                            .arg(index + 1)
                            .arg(current.port, current.serial.isEmpty()
                                                   ? QString()
                                                   : QStringLiteral(", serial ") + current.serial)
                            .arg(m_watchdog.limitMs() / 1000));
        // Killed without waiting; the run is recorded when the process reports its end.
        slot.process()->kill();
    }
}

void BoardSession::updateCounters()
{
    const QString counters = m_counters.text(QDateTime::currentDateTimeUtc());
    const QString warning = m_portWatch.warning();
    emit countersChanged(warning.isEmpty() ? counters : counters + QStringLiteral("; ") + warning);
    feedMetrics();
}

void BoardSession::showQueuedRecords(int queued)
{
    m_queuedRecords = queued;
    feedMetrics();
    const QString problem = m_records ? m_records->currentFleetProblem() : QString();
    QString text;
    if (queued > 0 && problem == QLatin1String("login refused"))
        text = tr("%n record(s) queued: login refused by the fleet database, they are sent when it accepts "
                  "the login.",
                  nullptr, queued);
    else if (queued > 0)
        text = tr("%n record(s) queued: the fleet database is not reachable, they are sent when it is.",
                  nullptr, queued);
    else if (!problem.isEmpty() && problem != QLatin1String("not reachable") &&
             problem != QLatin1String("login refused"))
        text = tr("Records stay in records.sqlite: %1.").arg(problem); // the setting itself is refused
    emit recordsQueueChanged(text);
}

void BoardSession::feedMetrics()
{
    if (!m_metrics)
        return;
    m_metrics->setBurning(m_counters.burning());
    m_metrics->setQueuedRecords(m_queuedRecords);
    m_metrics->setPackage(m_packageHash.left(kShortHashDigits), QString());
    const qint64 now = m_monotonic.elapsed();
    for (BoardSlot &slot : m_slots)
        m_metrics->setSlotSilence(slot.index(),
                                  slot.run().isActive() ? m_watchdog.silentMs(slot.index(), now) : -1);
}
