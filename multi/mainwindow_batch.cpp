// Batch control of the multi-board window: Start, Stop and the eight Restarts.
#include "multi/mainwindow.h"
#include "platform/logging.h"

#include "multi/packagestamp.h"
#include "multi/processbarthread.h"
#include "multi/unpackprogress.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>

#include <utility>

namespace {
const char *const kReadSlots[] = {SLOT(onReadData_1()), SLOT(onReadData_2()), SLOT(onReadData_3()),
                                  SLOT(onReadData_4()), SLOT(onReadData_5()), SLOT(onReadData_6()),
                                  SLOT(onReadData_7()), SLOT(onReadData_8())};
const char *const kTickSignals[] = {SIGNAL(process1(int)), SIGNAL(process2(int)), SIGNAL(process3(int)),
                                    SIGNAL(process4(int)), SIGNAL(process5(int)), SIGNAL(process6(int)),
                                    SIGNAL(process7(int)), SIGNAL(process8(int))};
} // namespace

void MainWindow::startDownload()
{
    if (zipFilePath.isEmpty()) {
        QMessageBox box;
        box.setStyleSheet(
            QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
        box.setText(tr("Please select .zip file first!"));
        box.exec();
        return;
    }

    ui->startButton->setEnabled(false);

    // Boards plugged while the package unpacks (the progress dialog keeps the
    // event loop turning) are listed and launched once the processes exist.
    startInProgress = true;
    // The unpacked folder is reused only when its stamp names this very
    // package (same name, size and time); otherwise it is unpacked again and
    // swapped in only when that succeeds.
    bool unpacked = true;
    PackageIdentity stamped;
    const bool folderExists = QFileInfo(imageFolder).isDir();
    if (folderExists && checkStamp(zipFilePath, imageFolder, &stamped) == StampCheck::Matches) {
        qCDebug(lcMulti, "Skip unzip the image.");
        appendStatus(tr("Images already unpacked from this package (%1): unpacking skipped.")
                         .arg(stamped.shortHash()));
        batchPackageHash = QString::fromLatin1(stamped.sha256Hex);
    } else {
        if (folderExists)
            appendStatus(tr("The unpacked images are not from this package: unpacking it again."));
        unpacked = unpackForStart();
    }
    if (!unpacked) {
        refuseStart(tr("Start cancelled: the image package could not be unpacked."));
        return;
    }

    for (int i = 0; i < kSlotCount; ++i) {
        auto *process = new QProcess(this);
        process->setWorkingDirectory(toolDir);
        process->setProcessChannelMode(QProcess::MergedChannels);
        processes.append(process);
        boardBusy.append(0);
        boardDone.append(0);
    }
    // The flags are kept across batches (slot selection reads the previous
    // batch's values at indices 0..7), so after the first Start the sizes differ.
    if (processes.isEmpty() || processes.size() != boardDone.size())
        qCDebug(lcMulti, "Download process init failed! ");

    for (int i = 0; i < kSlotCount; ++i) {
        QProcess *process = processes.at(i);
        connect(process, SIGNAL(readyReadStandardOutput()), this, kReadSlots[i]);
        // A line cut off by the end of the process is still handled.
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, i] { finishBoardOutput(i); });
        // After the tail above: the run's last line is in when it is recorded.
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, i](int exitCode, QProcess::ExitStatus status) {
                    endBoardRun(i, exitCode, status == QProcess::CrashExit);
                });
    }
    if (progressThread) {
        for (int i = 0; i < kSlotCount; ++i)
            connect(progressThread, kTickSignals[i], boardSlots[static_cast<std::size_t>(i)].bar,
                    SLOT(setValue(int)), Qt::UniqueConnection);
    }
    for (const BoardSlot &slot : boardSlots)
        slot.restart->setEnabled(true);

    batchCounters.startBatch(QDateTime::currentDateTimeUtc());
    countersTimer->start();
    updateCounters();

    startInProgress = false;
    if (heldArrival) {
        heldArrival = false;
        launchNewPorts(std::exchange(heldNewPorts, {}));
    }
    startListingIfDue();
}

bool MainWindow::unpackForStart()
{
    const UnpackResult result = unpackWithProgress(this, zipFilePath, imageFolder);
    for (const QString &message : result.messages)
        appendStatus(message);
    if (result.ok) {
        appendStatus(tr("Package unpacked (%1).").arg(result.package.shortHash()));
        batchPackageHash = QString::fromLatin1(result.package.sha256Hex);
    }
    return result.ok;
}

void MainWindow::refuseStart(const QString &reason)
{
    // Nothing of the batch exists: no process, no connection. Start stays
    // available, and the held device events are handled as before a Start.
    appendStatus(reason);
    ui->startButton->setEnabled(true);
    startInProgress = false;
    if (heldArrival) {
        heldArrival = false;
        launchNewPorts(std::exchange(heldNewPorts, {}));
    }
    startListingIfDue();

    QMessageBox box;
    box.setStyleSheet(
        QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    box.setText(tr("Unpacking the image package failed!"));
    box.exec();
}

void MainWindow::releaseProcess(QProcess *process)
{
    // Stopped first, then deleted once control is back in the event loop: the
    // object may still be inside one of its own signal emissions.
    disconnect(process, nullptr, this, nullptr);
    stopTool(process);
    process->deleteLater();
}

void MainWindow::stopDownload()
{
    appendStatus(tr("Stop download process ..."));
    for (BoardRun &run : boardRuns)
        if (run.isActive())
            run.noteStopped();
    if (!processes.isEmpty()) {
        for (QProcess *process : qAsConst(processes))
            stopTool(process);
        for (QProcess *process : qAsConst(processes))
            releaseProcess(process);
        processes.clear();
    }
    endActiveRunsAsStopped();
    batchCounters.stopBatch(QDateTime::currentDateTimeUtc());
    countersTimer->stop();
    updateCounters();
    if (progressThread)
        progressThread->setAllProgress(0.0f);
    for (std::size_t i = 0; i < boardSlots.size(); ++i)
        boardSlots[i].group->setTitle(tr("Board %1").arg(i + 1));
    for (LineAssembler &pending : pendingOutput)
        pending.clear();
    appendStatus(tr("Stop process success !\n"));
    for (const BoardSlot &slot : boardSlots)
        slot.restart->setEnabled(false);
    for (const BoardSlot &slot : boardSlots)
        slot.status->clear();
    ui->startButton->setEnabled(true);
}

void MainWindow::restartBoard(int index)
{
    const QString number = QString::number(index + 1);
    if (index >= 0 && index < processes.size()) {
        QProcess *process = processes.at(index);
        if (process->state() == QProcess::Running && boardRuns[static_cast<std::size_t>(index)].isActive())
            boardRuns[static_cast<std::size_t>(index)].noteStopped();
        if (process->state() == QProcess::Running) {
            appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" Stop downloading ..."));
            stopTool(process);
            appendStatus(QStringLiteral("Board ") + number +
                         QStringLiteral(" Stop downloading successfully !\n"));
        }
    }
    appendStatus(QStringLiteral("Board ") + number + QStringLiteral(" Please insert usb device again !\n"));
}

void MainWindow::restart_1()
{
    restartBoard(0);
}
void MainWindow::restart_2()
{
    restartBoard(1);
}
void MainWindow::restart_3()
{
    restartBoard(2);
}
void MainWindow::restart_4()
{
    restartBoard(3);
}
void MainWindow::restart_5()
{
    restartBoard(4);
}
void MainWindow::restart_6()
{
    restartBoard(5);
}
void MainWindow::restart_7()
{
    restartBoard(6);
}
void MainWindow::restart_8()
{
    restartBoard(7);
}
