// Hot-plug handling, port binding and the per-board transfer of the
// multi-board window.
#include "multi/mainwindow.h"
#include "platform/logging.h"

#include "common/toolcontract.h"
#include "common/toollaunch.h"
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
const char kBarStyle[] = "QProgressBar {color: black;}";
const char kRedBarStyle[] = "QProgressBar::chunk {background-color: red;}";
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

    listing = new QProcess(this);
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

    QVector<bool> processIdle;
    processIdle.reserve(processes.size());
    for (QProcess *process : qAsConst(processes))
        processIdle.append(process && process->state() == QProcess::NotRunning);
    const QVector<int> toLaunch = portTracker.selectSlots(newPorts, processIdle, boardBusy, boardDone);
    for (int index : toLaunch) {
        if (index >= 0 && index < processes.size() && index < portTracker.boardPorts().size())
            launchBoard(portTracker.boardPorts().at(index), processes.at(index), index);
    }
}

void MainWindow::registerPorts(QVector<PortRecord> newPorts)
{
    portTracker.registerPorts(std::move(newPorts));
}

void MainWindow::launchBoard(PortRecord port, QProcess *process, int index)
{
    const QString number = QString::number(index + 1);
    appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" USB Port:") + port.level +
                 QLatin1Char(',') + port.number + QStringLiteral(" insert!"));
    if (!process) {
        qCDebug(lcMulti, "download process is null!");
        return;
    }
    setProgressValue(index, 0.0f);
    if (index >= 0 && index < kSlotCount) {
        pendingOutput[static_cast<std::size_t>(index)].clear();
        killedAfterNotFound[static_cast<std::size_t>(index)] = false;
        silenced[static_cast<std::size_t>(index)] = false;
    }

    // The tool gets its arguments as a list: a folder name with blanks or
    // quotes reaches it unchanged. The debug line shows the command as typed.
    const QString portText = port.level + QLatin1Char(',') + port.number;
    const QStringList arguments = ToolLaunch::downloadArguments(chipType, osType, imageFolder, portText);
    qCDebug(lcMulti).noquote() << imageFolder + QStringLiteral("!!!!!!!!!!!!!!!!!!!");
    qCDebug(lcMulti).noquote() << toolDir + QLatin1String(ToolContract::kExecutable) +
                                      QStringLiteral(" -c ") + chipType + QStringLiteral(" -s ") + osType +
                                      QStringLiteral(" -i \"") + imageFolder + QStringLiteral("\" -p ") +
                                      portText;

    if (index >= 0 && index < kSlotCount)
        boardSlots[static_cast<std::size_t>(index)].group->setTitle(
            QStringLiteral("Board ") + number + QStringLiteral("->USB Port: ") + portText);

    ToolLaunch::start(process,
                      ToolLaunch::Command{toolDir + QLatin1String(ToolContract::kExecutable), arguments});
    if (!process->waitForStarted(kStartTimeoutMs)) {
        qCDebug(lcMulti, "Start command process failed!");
        return;
    }
    appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" Start Downloading  ..."));
    qCDebug(lcMulti, "Download start sucessfully!");
    if (index >= 0 && index < boardBusy.size())
        boardBusy[index] = 1;
    if (index >= 0 && index < kSlotCount) {
        Records::BoardRecord identity;
        identity.bench = benchName;
        identity.window = QStringLiteral("multi");
        identity.slot = index + 1;
        identity.port = portText;
        identity.serial = portSerials.value(portText);
        identity.source = zipFilePath;
        identity.sha256 = batchPackageHash;
        identity.chip = chipType;
        identity.os = osType;
        boardRuns[static_cast<std::size_t>(index)].begin(identity, QDateTime::currentDateTimeUtc());
        batchCounters.boardStarted(index);
        silenceWatchdog.arm(index, monotonic.elapsed());
        updateCounters();
    }
}

void MainWindow::onReadData_1()
{
    readBoardOutput(0);
}
void MainWindow::onReadData_2()
{
    readBoardOutput(1);
}
void MainWindow::onReadData_3()
{
    readBoardOutput(2);
}
void MainWindow::onReadData_4()
{
    readBoardOutput(3);
}
void MainWindow::onReadData_5()
{
    readBoardOutput(4);
}
void MainWindow::onReadData_6()
{
    readBoardOutput(5);
}
void MainWindow::onReadData_7()
{
    readBoardOutput(6);
}
void MainWindow::onReadData_8()
{
    readBoardOutput(7);
}

void MainWindow::readBoardOutput(int index)
{
    if (index < 0 || index >= kSlotCount || index >= processes.size())
        return;
    const auto slotIndex = static_cast<std::size_t>(index);
    if (silenced[slotIndex]) {
        processes.at(index)->readAllStandardOutput(); // stopped by the watchdog
        return;
    }
    silenceWatchdog.heard(index, monotonic.elapsed());
    // Restores the black text and removes a red chunk. Qt re-polishes the bar
    // on every setStyleSheet, even an unchanged one, so only set it on change.
    QProgressBar *bar = boardSlots[slotIndex].bar;
    if (bar->styleSheet() != QLatin1String(kBarStyle))
        bar->setStyleSheet(QLatin1String(kBarStyle));

    QProcess *process = processes.at(index);
    if (killedAfterNotFound[slotIndex]) {
        process->readAllStandardOutput(); // the run has ended with "not found"
        return;
    }
    QByteArray bytes;
    if (process->state() == QProcess::Running)
        bytes = process->readAllStandardOutput();

    // A chunk may end inside a line, even inside a character: the unfinished
    // tail waits for the next chunk (or the end of the process).
    QStringList lines = splitBoardOutput(decodeToolOutput(pendingOutput[slotIndex].feed(bytes)));
    lines.removeLast(); // the empty text after the last line break
    handleBoardLines(index, lines);
}

void MainWindow::finishBoardOutput(int index)
{
    if (index < 0 || index >= kSlotCount)
        return;
    const auto slotIndex = static_cast<std::size_t>(index);
    if (killedAfterNotFound[slotIndex]) {
        killedAfterNotFound[slotIndex] = false;
        qCDebug(lcMulti, "Process has killed successfully");
        if (index < boardDone.size())
            boardDone[index] = 1;
        return;
    }
    if (handlingOutput[slotIndex] || !pendingOutput[slotIndex].hasPending())
        return;
    const QString tail = decodeToolOutput(pendingOutput[slotIndex].finish());
    handleBoardLines(index, QStringList{tail});
}

void MainWindow::handleBoardLines(int index, const QStringList &lines)
{
    const auto slotIndex = static_cast<std::size_t>(index);
    const BoardSlot &slot = boardSlots[slotIndex];
    const int slotNumber = index + 1;

    QPlainTextEdit *status = ui->statusText;
    if (!status->isReadOnly())
        status->setReadOnly(true);
    if (!status->textCursor().atEnd())
        status->moveCursor(QTextCursor::End);
    // characterCount() counts the final paragraph separator that toPlainText()
    // leaves out; it avoids building the whole text for every chunk.
    if (status->document()->characterCount() - 1 > kStatusTextLimit)
        status->clear();

    handlingOutput[slotIndex] = true;
    const QString prefix = boardLogPrefix(slotNumber);
    for (const QString &line : lines) {
        appendMultiplexLog(prefix + line);
        const BoardLineResult result = interpretBoardLine(line, slotNumber, progressValue(index));
        BoardRun &run = boardRuns[slotIndex];
        run.noteLine(line);

        switch (result.kind) {
        case BoardLineResult::Kind::NotFound: {
            run.noteFailure(Records::Result::NotFound);
            slot.status->setPixmap(QPixmap::fromImage(failedImage));
            appendStatus(result.statusMessage);
            markBarRed(index);
            pendingOutput[slotIndex].clear();
            // Killed without waiting: eight slots failing at once must not
            // freeze the window for seconds each. The slot is finished when
            // its process reports the end (finishBoardOutput).
            QProcess *process = processes.at(index);
            killedAfterNotFound[slotIndex] = true;
            process->kill();
            QTimer::singleShot(kKillTimeoutMs, process, [this, process, slotIndex] {
                if (killedAfterNotFound[slotIndex] && process->state() != QProcess::NotRunning)
                    qCDebug(lcMulti, "Process termination failed or timed out");
            });
            handlingOutput[slotIndex] = false;
            return;
        }
        case BoardLineResult::Kind::Waiting:
            slot.status->setPixmap(QPixmap::fromImage(downloadImage));
            setProgressValue(index, result.progress);
            continue; // no completion test for a waiting line
        case BoardLineResult::Kind::CommFailed:
        case BoardLineResult::Kind::TooLarge:
        case BoardLineResult::Kind::DownloadFailed:
            run.noteFailure(result.kind == BoardLineResult::Kind::CommFailed ? Records::Result::CommFailed
                            : result.kind == BoardLineResult::Kind::TooLarge
                                ? Records::Result::TooLarge
                                : Records::Result::DownloadFailed);
            slot.status->setPixmap(QPixmap::fromImage(failedImage));
            appendStatus(result.statusMessage);
            markBarRed(index);
            break;
        case BoardLineResult::Kind::Progress:
        case BoardLineResult::Kind::Break:
        case BoardLineResult::Kind::Plain:
            setProgressValue(index, result.progress);
            break;
        }

        if (result.complete) {
            run.noteCompleted();
            slot.status->setPixmap(QPixmap::fromImage(successImage));
            setProgressValue(index, 100.0f);
            appendStatus(result.completeMessage);
            if (index == 0)
                qCDebug(lcMulti, "USB download complete");
            boardDone[index] = 1;
            boardBusy[index] = 0;
            break;
        }
    }
    handlingOutput[slotIndex] = false;
}

void MainWindow::markBarRed(int index)
{
    QProgressBar *bar = boardSlots[static_cast<std::size_t>(index)].bar;
    bar->setStyleSheet(QLatin1String(kRedBarStyle));
    bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    bar->setTextVisible(true);
    bar->update();
}
