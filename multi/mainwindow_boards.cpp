// Hot-plug handling, port binding and the per-board transfer of the
// multi-board window.
#include "multi/mainwindow.h"
#include "platform/logging.h"

#include "common/toolcontract.h"
#include "common/toollaunch.h"
#include "common/toolprocess.h"
#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/processbarthread.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QProcess>
#include <QTextDocument>
#include <QTimer>

namespace {
const int kStartTimeoutMs = 30000;
const int kListingTimeoutMs = 30000;
const int kKillTimeoutMs = 5000;
const int kStatusTextLimit = 4096;
} // namespace

// The one way the window stops a process at once: killed, then waited for up
// to kKillTimeoutMs (what it wrote before it ended is still delivered), then
// closed. A process that outlives the wait is left and said so; the slots
// that must not wait (a board not found, a silent tool) kill without it.
bool MainWindow::stopTool(QProcess *process)
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

void MainWindow::registerDeviceNotifications()
{
    if (!deviceSource)
        deviceSource = createDeviceEventSource({ToolContract::kVendorId, ToolContract::kProductId}, this);
    connect(deviceSource.data(), &DeviceEventSource::deviceEvent, this, &MainWindow::onDeviceEvent);
    if (!deviceSource->registerWindow(static_cast<quintptr>(winId())))
        qCCritical(lcMulti).noquote() << QStringLiteral("注册失败！");
}

void MainWindow::onDeviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName)
{
    if (!isDownloadDeviceName(interfaceName))
        return;
    if (kind == DeviceEventSource::Kind::Removal) {
        qCDebug(lcMulti, "quoril use device removed!!!\n\n");
        arrivalNames.removeAll(interfaceName);
    } else {
        qCDebug(lcMulti, "quoril use device insert!!!\n\n");
        arrivalDue = true;
        if (!arrivalNames.contains(interfaceName))
            arrivalNames.append(interfaceName);
    }
    // A removal's listing drops the vanished port, so that its return counts
    // as new; an arrival's listing also binds and launches. A burst of events
    // shares one listing instead of running one after another.
    listingDue = true;
    startListingIfDue();
}

void MainWindow::startListingIfDue()
{
    if (!listingDue || listing || startInProgress)
        return;
    listingDue = false;
    listingForArrival = arrivalDue;
    arrivalDue = false;
    listingArrivalNames = std::exchange(arrivalNames, {});

    listing = new ToolProcess(this);
    listing->setWorkingDirectory(toolDir);
    listing->setProcessChannelMode(QProcess::MergedChannels);
    connect(listing, &QProcess::started, this, &MainWindow::listingStarted);
    connect(listing, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MainWindow::listingEnded);
    connect(listing, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            qCDebug(lcMulti, "failed start usb read");
            listingEnded();
        }
    });
    if (!listingTimer) {
        listingTimer = new QTimer(this);
        listingTimer->setSingleShot(true);
        connect(listingTimer, &QTimer::timeout, this, &MainWindow::listingTimedOut);
    }
    listingTimer->start(kStartTimeoutMs + kListingTimeoutMs);
    ToolLaunch::start(listing, ToolLaunch::Command{toolDir + QLatin1String(ToolContract::kExecutable),
                                                   {QLatin1String(ToolContract::kOptList)}});
}

void MainWindow::listingStarted()
{
    qCDebug(lcMulti, "read usb port ");
    listingTimer->start(kListingTimeoutMs);
}

void MainWindow::listingTimedOut()
{
    if (!listing)
        return;
    qCDebug(lcMulti, "finish usb read port failed ");
    // Whatever the tool printed so far is still parsed.
    disconnect(listing, nullptr, this, nullptr);
    listing->kill();
    listingEnded();
}

void MainWindow::listingEnded()
{
    if (!listing)
        return;
    QProcess *ended = listing;
    listing = nullptr;
    listingTimer->stop();
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

    const QVector<PortRecord> newPorts = scanPorts(output);
    noteArrivalNames(newPorts);
    if (listingForArrival) {
        if (startInProgress) {
            // The batch's processes do not exist yet: bind and launch after Start.
            for (const PortRecord &port : newPorts)
                if (!heldNewPorts.contains(port))
                    heldNewPorts.append(port);
            heldArrival = true;
        } else {
            launchNewPorts(newPorts);
        }
    }
    startListingIfDue();
}

QVector<PortRecord> MainWindow::scanPorts(const QByteArray &output)
{
    return portTracker.applyListing(parsePortListing(output));
}

void MainWindow::launchNewPorts(const QVector<PortRecord> &newPorts)
{
    registerPorts(newPorts);

    // Between batches no slot has a process, and none takes part.
    QVector<bool> processIdle;
    QVector<int> busy;
    QVector<int> done;
    if (hasBatch()) {
        for (const BoardSlot &slot : boardSlots) {
            processIdle.append(slot.process()->state() == QProcess::NotRunning);
            busy.append(slot.busy() ? 1 : 0);
            done.append(slot.done() ? 1 : 0);
        }
    }
    const QVector<int> toLaunch = portTracker.selectSlots(newPorts, processIdle, busy, done);
    for (int i = 0; i < done.size(); ++i)
        boardSlots[static_cast<std::size_t>(i)].setDone(done.at(i) != 0);
    for (int index : toLaunch)
        launchBoard(portTracker.boardPorts().at(index), boardSlots[static_cast<std::size_t>(index)]);
}

void MainWindow::registerPorts(QVector<PortRecord> newPorts)
{
    portTracker.registerPorts(std::move(newPorts));
}

void MainWindow::launchBoard(const PortRecord &port, BoardSlot &slot)
{
    const QString number = QString::number(slot.number());
    appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" USB Port:") + port.level +
                 QLatin1Char(',') + port.number + QStringLiteral(" insert!"));
    setProgressValue(slot.index(), 0.0f);
    slot.prepareLaunch();

    // The tool gets its arguments as a list: a folder name with blanks or
    // quotes reaches it unchanged. The debug line shows the command as typed.
    const QString portText = port.level + QLatin1Char(',') + port.number;
    const QStringList arguments =
        ToolLaunch::downloadArguments(chipType, osType, ToolLaunch::toolImageFolder(imageFolder), portText);
    qCDebug(lcMulti).noquote() << imageFolder + QStringLiteral("!!!!!!!!!!!!!!!!!!!");
    qCDebug(lcMulti).noquote() << toolDir + QLatin1String(ToolContract::kExecutable) +
                                      QStringLiteral(" -c ") + chipType + QStringLiteral(" -s ") + osType +
                                      QStringLiteral(" -i \"") + imageFolder + QStringLiteral("\" -p ") +
                                      portText;
    slot.showPort(portText);

    QProcess *process = slot.process();
    ToolLaunch::start(process,
                      ToolLaunch::Command{toolDir + QLatin1String(ToolContract::kExecutable), arguments});
    if (!process->waitForStarted(kStartTimeoutMs)) {
        qCDebug(lcMulti, "Start command process failed!");
        return;
    }
    appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" Start Downloading  ..."));
    qCDebug(lcMulti, "Download start sucessfully!");
    slot.markStarted();
    beginRun(slot, portText);
}

void MainWindow::beginRun(BoardSlot &slot, const QString &portText)
{
    Records::BoardRecord identity;
    identity.bench = benchName;
    identity.window = QStringLiteral("multi");
    identity.slot = slot.number();
    identity.port = portText;
    identity.serial = portSerials.value(portText);
    identity.source = zipFilePath;
    identity.sha256 = batchPackageHash;
    identity.signedBy = batchSigningKey;
    identity.chip = chipType;
    identity.os = osType;
    slot.run().begin(identity, QDateTime::currentDateTimeUtc());
    batchCounters.boardStarted(slot.index());
    silenceWatchdog.arm(slot.index(), monotonic.elapsed());
    updateCounters();
}

void MainWindow::onReadData_1()
{
    readBoardOutput(boardSlots[0]);
}
void MainWindow::onReadData_2()
{
    readBoardOutput(boardSlots[1]);
}
void MainWindow::onReadData_3()
{
    readBoardOutput(boardSlots[2]);
}
void MainWindow::onReadData_4()
{
    readBoardOutput(boardSlots[3]);
}
void MainWindow::onReadData_5()
{
    readBoardOutput(boardSlots[4]);
}
void MainWindow::onReadData_6()
{
    readBoardOutput(boardSlots[5]);
}
void MainWindow::onReadData_7()
{
    readBoardOutput(boardSlots[6]);
}
void MainWindow::onReadData_8()
{
    readBoardOutput(boardSlots[7]);
}

void MainWindow::readBoardOutput(BoardSlot &slot)
{
    QProcess *process = slot.process();
    if (!process || closing)
        return;
    if (slot.silenced()) {
        process->readAllStandardOutput(); // stopped by the watchdog
        return;
    }
    silenceWatchdog.heard(slot.index(), monotonic.elapsed());
    slot.restoreBarStyle();
    if (slot.killedAfterNotFound()) {
        process->readAllStandardOutput(); // the run has ended with "not found"
        return;
    }
    QByteArray bytes;
    if (process->state() == QProcess::Running)
        bytes = process->readAllStandardOutput();
    // A chunk may end inside a line, even inside a character: the unfinished
    // tail waits for the next chunk (or the end of the process).
    handleBoardLines(slot, slot.takeLines(bytes));
}

void MainWindow::finishBoardOutput(BoardSlot &slot)
{
    // Ends delivered while the window closes are not interpreted (the runs are
    // already recorded as stopped); their last line is still logged.
    if (closing) {
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

void MainWindow::logTailOnClose(BoardSlot &slot)
{
    QString tail;
    if (slot.takeTail(&tail))
        appendMultiplexLog(boardLogPrefix(slot.number()) + tail);
}

void MainWindow::prepareStatusView()
{
    QPlainTextEdit *status = ui->statusText;
    if (!status->isReadOnly())
        status->setReadOnly(true);
    if (!status->textCursor().atEnd())
        status->moveCursor(QTextCursor::End);
    // characterCount() counts the final paragraph separator that toPlainText()
    // leaves out; it avoids building the whole text for every chunk.
    if (status->document()->characterCount() - 1 > kStatusTextLimit)
        status->clear();
}

void MainWindow::handleBoardLines(BoardSlot &slot, const QStringList &lines)
{
    prepareStatusView();
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
bool MainWindow::handleBoardLine(BoardSlot &slot, const QString &line)
{
    using Kind = BoardLineResult::Kind;
    const int index = slot.index();
    const BoardLineResult result = interpretBoardLine(line, slot.number(), progressValue(index));
    BoardRun &run = slot.run();
    run.noteLine(line);

    switch (result.kind) {
    case Kind::NotFound:
        run.noteFailure(Records::Result::NotFound);
        slot.showPicture(failedImage);
        appendStatus(result.statusMessage);
        slot.markBarRed();
        killAfterNotFound(slot);
        return false;
    case Kind::Waiting:
        slot.showPicture(downloadImage);
        setProgressValue(index, result.progress);
        return true; // no completion test for a waiting line
    case Kind::CommFailed:
    case Kind::TooLarge:
    case Kind::DownloadFailed:
        run.noteFailure(result.kind == Kind::CommFailed ? Records::Result::CommFailed
                        : result.kind == Kind::TooLarge ? Records::Result::TooLarge
                                                        : Records::Result::DownloadFailed);
        slot.showPicture(failedImage);
        appendStatus(result.statusMessage);
        slot.markBarRed();
        break;
    case Kind::Progress:
    case Kind::Break:
    case Kind::Plain:
        setProgressValue(index, result.progress);
        break;
    }
    if (!result.complete)
        return true;
    run.noteCompleted();
    slot.showPicture(successImage);
    setProgressValue(index, 100.0f);
    appendStatus(result.completeMessage);
    if (index == 0)
        qCDebug(lcMulti, "USB download complete");
    slot.markCompleted();
    return false;
}

void MainWindow::killAfterNotFound(BoardSlot &slot)
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
