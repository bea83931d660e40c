// Batch control of the multi-board window: Start, Stop and the eight Restarts.
#include "multi/mainwindow.h"

#include "common/toolprocess.h"
#include "platform/logging.h"

#include "common/boardconfig.h"
#include "common/toollaunch.h"
#include "package/packagestamp.h"
#include "multi/processbarthread.h"
#include "package/signedstamp.h"
#include "multi/unpackprogress.h"
#include "platform/fileops.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QDir>
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
        showPackageMissing();
        return;
    }

    ui->startButton->setEnabled(false);

    // Boards plugged while the package unpacks (the progress dialog keeps the
    // event loop turning) are listed and launched once the processes exist.
    startInProgress = true;
    QString refusal, boxText;
    if (!prepareImages(&refusal, &boxText) || !ToolLaunch::toolCanOpen(imageFolder, &refusal)) {
        if (refusal.isEmpty())
            refuseStart(tr("Start cancelled: the image package could not be unpacked."),
                        tr("Unpacking the image package failed!"));
        else
            refuseStart(refusal, boxText.isEmpty() ? refusal : boxText);
        return;
    }
    createBatchProcesses();
    openBatch();

    startInProgress = false;
    launchHeldArrivals();
    startListingIfDue();
}

void MainWindow::showPackageMissing()
{
    QMessageBox box;
    box.setStyleSheet(
        QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    box.setText(tr("Please select .zip file first!"));
    box.exec();
}

bool MainWindow::prepareImages(QString *refusal, QString *boxText)
{
    // What stands in the folder's place is looked at itself, never through a
    // link: a link is removed (as the window's start does), a file of that
    // name is the operator's and stops the Start.
    const QString path = QDir::cleanPath(imageFolder);
    const QString folderName = QFileInfo(path).fileName();
    switch (FileOps::pathKind(path)) {
    case FileOps::PathKind::File:
        *refusal = tr("A file named %1 is in the way of the unpack folder: %2. Move or rename it, then press "
                      "Start again.")
                       .arg(folderName, path);
        *boxText = tr("A file named %1 is in the way!").arg(folderName);
        return false;
    case FileOps::PathKind::Link:
        removeStaleImageFolder();
        break;
    case FileOps::PathKind::Missing:
    case FileOps::PathKind::Folder:
    case FileOps::PathKind::Unknown:
        break;
    }
    // What the signature file decides without reading the package: a refusal
    // here leaves everything as it was.
    const Signing::Decision signature = Signing::checkFile(BoardConfig::signingPolicy(), zipFilePath);
    if (signature.refused()) {
        *refusal = tr("Start refused: ") + signature.text(tr("Package"));
        return false;
    }
    // The unpacked folder is reused only when its stamp names this very
    // package (same name, size, times and file identity) and, when it is
    // signed, says that the same trusted key verified it; otherwise it is
    // unpacked again and swapped in only when that succeeds.
    PackageIdentity stamped;
    Signing::Decision shown;
    const bool folderExists = FileOps::pathKind(path) == FileOps::PathKind::Folder;
    if (folderExists && checkStamp(zipFilePath, imageFolder, &stamped) == StampCheck::Matches &&
        stampServes(signature, stamped, &shown)) {
        qCDebug(lcMulti, "Skip unzip the image.");
        appendStatus(tr("Images already unpacked from this package (%1): unpacking skipped.")
                         .arg(stamped.shortHash()));
        appendStatus(shown.text(tr("Package")));
        batchPackageHash = QString::fromLatin1(stamped.sha256Hex);
        batchSigningKey = shown.verdict == Signing::Verdict::Signed ? shown.keyId : QString();
        return true;
    }
    if (folderExists)
        appendStatus(tr("The unpacked images are not from this package: unpacking it again."));
    return unpackForStart(signature, refusal);
}

bool MainWindow::unpackForStart(const Signing::Decision &signature, QString *refusal)
{
    UnpackOptions options;
    options.signature = signature;
    const UnpackResult result = unpackWithProgress(this, zipFilePath, imageFolder, options);
    for (const QString &message : result.messages)
        appendStatus(message);
    if (result.signature.refused())
        *refusal = tr("Start refused: ") + result.signature.text(tr("Package"));
    if (result.ok) {
        appendStatus(tr("Package unpacked (%1).").arg(result.package.shortHash()));
        appendStatus(result.signature.text(tr("Package")));
        batchPackageHash = QString::fromLatin1(result.package.sha256Hex);
        batchSigningKey = result.package.signedBy;
    }
    return result.ok;
}

void MainWindow::refuseStart(const QString &reason, const QString &boxText)
{
    // Nothing of the batch exists: no process, no connection. Start stays
    // available, and the held device events are handled as before a Start.
    appendStatus(reason);
    ui->startButton->setEnabled(true);
    startInProgress = false;
    launchHeldArrivals();
    startListingIfDue();

    QMessageBox box;
    box.setStyleSheet(
        QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    box.setText(boxText);
    box.exec();
}

void MainWindow::createBatchProcesses()
{
    for (BoardSlot &slot : boardSlots) {
        auto *process = new ToolProcess(this);
        process->setWorkingDirectory(toolDir);
        process->setProcessChannelMode(QProcess::MergedChannels);
        slot.setProcess(process);
    }
    // The slots' flags are kept across batches (slot selection reads what the
    // previous batch left); every Start after the first has always said so.
    if (std::exchange(startedBefore, true))
        qCDebug(lcMulti, "Download process init failed! ");

    for (BoardSlot &slot : boardSlots) {
        QProcess *process = slot.process();
        BoardSlot *target = &slot;
        connect(process, SIGNAL(readyReadStandardOutput()), this, kReadSlots[slot.index()]);
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

void MainWindow::openBatch()
{
    if (progressThread) {
        for (const BoardSlot &slot : boardSlots)
            connect(progressThread, kTickSignals[slot.index()], slot.widgets().bar, SLOT(setValue(int)),
                    Qt::UniqueConnection);
    }
    for (const BoardSlot &slot : boardSlots)
        slot.widgets().restart->setEnabled(true);

    batchCounters.startBatch(QDateTime::currentDateTimeUtc());
    countersTimer->start();
    updateCounters();
}

void MainWindow::launchHeldArrivals()
{
    if (heldArrival) {
        heldArrival = false;
        launchNewPorts(std::exchange(heldNewPorts, {}));
    }
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
    for (BoardSlot &slot : boardSlots)
        if (slot.run().isActive())
            slot.run().noteStopped();
    if (hasBatch()) {
        for (const BoardSlot &slot : boardSlots)
            stopTool(slot.process());
        for (BoardSlot &slot : boardSlots)
            releaseProcess(slot.takeProcess());
    }
    endActiveRunsAsStopped();
    batchCounters.stopBatch(QDateTime::currentDateTimeUtc());
    countersTimer->stop();
    updateCounters();
    if (progressThread)
        progressThread->setAllProgress(0.0f);
    for (const BoardSlot &slot : boardSlots)
        slot.widgets().group->setTitle(tr("Board %1").arg(slot.number()));
    for (BoardSlot &slot : boardSlots)
        slot.dropOutput();
    appendStatus(tr("Stop process success !\n"));
    for (const BoardSlot &slot : boardSlots)
        slot.widgets().restart->setEnabled(false);
    for (const BoardSlot &slot : boardSlots)
        slot.widgets().status->clear();
    ui->startButton->setEnabled(true);
}

void MainWindow::restartBoard(BoardSlot &slot)
{
    const QString number = QString::number(slot.number());
    if (QProcess *process = slot.process()) {
        if (process->state() == QProcess::Running && slot.run().isActive())
            slot.run().noteStopped();
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
    restartBoard(boardSlots[0]);
}
void MainWindow::restart_2()
{
    restartBoard(boardSlots[1]);
}
void MainWindow::restart_3()
{
    restartBoard(boardSlots[2]);
}
void MainWindow::restart_4()
{
    restartBoard(boardSlots[3]);
}
void MainWindow::restart_5()
{
    restartBoard(boardSlots[4]);
}
void MainWindow::restart_6()
{
    restartBoard(boardSlots[5]);
}
void MainWindow::restart_7()
{
    restartBoard(boardSlots[6]);
}
void MainWindow::restart_8()
{
    restartBoard(boardSlots[7]);
}
