#include "multi/mainwindow.h"

#include "common/boardconfig.h"
#include "multi/multiplexlog.h"
#include "multi/processbarthread.h"
#include "package/unpackclaim.h"
#include "platform/filehandle.h"
#include "platform/fileops.h"
#include "platform/logging.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include <climits>

namespace {
const char kImageFolderName[] = "QuorBurnImage/";

QString defaultChooser(QWidget *parent, const QString &caption, const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}
} // namespace

MainWindow::MainWindow(QWidget *parent, DeviceEventSource *source, ZipChooser chooser)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow>()), deviceSource(source),
      chooseZip(chooser ? std::move(chooser) : ZipChooser(&defaultChooser)), startDir(QDir::currentPath()),
      toolDir(startDir + QStringLiteral("/config/"))
{
    // A log left by an earlier run goes before anything is logged.
    const QString logName = QLatin1String(MultiplexLog::kFileName);
    if (QFile::exists(logName))
        QFile::remove(logName);

    ui->setupUi(this);
    findSlotWidgets();
    setWindowTitle(tr("Multiple Quor Download"));

    connect(ui->browserButton, SIGNAL(clicked()), this, SLOT(selectZipFile()));
    connect(ui->startButton, SIGNAL(clicked()), this, SLOT(startDownload()));

    const BoardConfig::ChipAndOs config = BoardConfig::readChipAndOs();
    chipType = config.chipType;
    osType = config.osType;

    connect(ui->stopButton, SIGNAL(clicked()), this, SLOT(stopDownload()));
    connect(ui->closeButton, SIGNAL(clicked()), this, SLOT(closeWindow()));

    setWindowIcon(QIcon(QStringLiteral(":/img/logo.ico")));
    setStyleSheet(QStringLiteral("QMainWindow::titleBar { height: 30px; }"));

    setUpRecords();
    registerDeviceNotifications();
    loadPictures();

    progressThread = new processbarthread(this);
    progressThread->start(QThread::InheritPriority);

    static const char *const kRestartSlots[kSlotCount] = {
        SLOT(restart_1()), SLOT(restart_2()), SLOT(restart_3()), SLOT(restart_4()),
        SLOT(restart_5()), SLOT(restart_6()), SLOT(restart_7()), SLOT(restart_8())};
    for (const BoardSlot &slot : boardSlots) {
        QPushButton *button = slot.widgets().restart;
        connect(button, SIGNAL(clicked()), this, kRestartSlots[slot.index()]);
        button->setEnabled(false);
    }

    const QString remembered =
        BoardConfig::userSettings()->value(QLatin1String(BoardConfig::kLastPath2Key)).toString();
    if (!remembered.isEmpty()) {
        ui->zipFileDir->setFontPointSize(11.0);
        ui->zipFileDir->setText(remembered);
        setPackagePath(remembered);
        removeStaleImageFolder();
    }

    resize(1281, 960);
}

MainWindow::~MainWindow()
{
    // The window system may have closed the window without closeWindow: the
    // ticker must not outlive its object, and the processes must not deliver
    // output to a window being taken apart. Runs still going are recorded as stopped.
    endActiveRunsAsStopped();
    if (progressThread) {
        progressThread->setStopFlag(1);
        progressThread->wait();
    }
    for (BoardSlot &slot : boardSlots)
        if (QProcess *process = slot.takeProcess())
            releaseProcess(process);
    // A listing still running would report its end to a window half gone.
    if (listing) {
        disconnect(listing, nullptr, this, nullptr);
        stopTool(listing);
    }
}

void MainWindow::findSlotWidgets()
{
    const std::array<QGroupBox *, kSlotCount> groups = {ui->groupBox,   ui->groupBox_2, ui->groupBox_3,
                                                        ui->groupBox_4, ui->groupBox_5, ui->groupBox_6,
                                                        ui->groupBox_7, ui->groupBox_8};
    const std::array<QLabel *, kSlotCount> labels = {ui->status_1, ui->status_2, ui->status_3, ui->status_4,
                                                     ui->status_5, ui->status_6, ui->status_7, ui->status_8};
    const std::array<QPushButton *, kSlotCount> buttons = {ui->reButton_1, ui->reButton_2, ui->reButton_3,
                                                           ui->reButton_4, ui->reButton_5, ui->reButton_6,
                                                           ui->reButton_7, ui->reButton_8};
    const std::array<QProgressBar *, kSlotCount> bars = {
        ui->progressBar_1, ui->progressBar_2, ui->progressBar_3, ui->progressBar_4,
        ui->progressBar_5, ui->progressBar_6, ui->progressBar_7, ui->progressBar_8};
    for (std::size_t i = 0; i < boardSlots.size(); ++i)
        boardSlots[i].setUp(int(i), BoardSlot::Widgets{groups[i], labels[i], buttons[i], bars[i]});
}

void MainWindow::loadPictures()
{
    struct Picture
    {
        QImage *image;
        const char *resource;
        const char *failure;
    };
    const Picture pictures[] = {
        {&downloadImage, ":/img/download.png", "Load download image failed!"},
        {&failedImage, ":/img/failed.png", "Load failed image failed!"},
        {&successImage, ":/img/success.png", "Load success image failed!"},
    };
    for (const Picture &picture : pictures) {
        if (!picture.image->load(QLatin1String(picture.resource)))
            qCDebug(lcMulti, "%s", picture.failure);
        *picture.image = picture.image->scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation);
    }
}

void MainWindow::setPackagePath(const QString &path)
{
    zipFilePath = path;
    zipFolder = path.left(path.size() - QFileInfo(path).fileName().size());
    imageFolder = zipFolder + QLatin1String(kImageFolderName);
}

void MainWindow::removeStaleImageFolder()
{
    qCDebug(lcMulti).noquote() << QStringLiteral("Image file path: ") + imageFolder;
    // Renamed aside first, then deleted: a removal that stops half-way (a tree
    // too deep for paths, a file that will not go) never leaves a partial
    // folder under the name Start would take for an unpacked package. A link
    // in the folder's place is removed as a link, its target untouched; a
    // plain file of that name is the operator's and stays (Start says so).
    // Unpack folders a killed program left beside it go too.
    const QString path = QDir::cleanPath(imageFolder);
    const QFileInfo info(path);
    UnpackClaim::sweepStale(info.absolutePath(), FileOps::nameBytes(info.fileName()));
    const bool present = FileOps::pathKind(path) != FileOps::PathKind::Missing;
    QString error;
    const bool removed = FileOps::removeTreeAside(path, &error);
    if (!present && removed)
        return;
    if (removed) {
        qCDebug(lcMulti, "Deleted QuorBurnImage folder.");
    } else {
        qCDebug(lcMulti, "Failed to delete QuorBurnImage folder.");
        qCDebug(lcMulti).noquote() << error;
    }
}

void MainWindow::appendStatus(const QString &text)
{
    ui->statusText->appendPlainText(text);
}

void MainWindow::setProgressValue(int index, float value)
{
    if (progressThread)
        progressThread->setProgress(index, value);
}

float MainWindow::progressValue(int index) const
{
    return progressThread ? progressThread->progressAt(index) : 0.0f;
}

void MainWindow::selectZipFile()
{
    const QString chosen = chooseZip(this, tr("Select Zip File."), startDir, tr("Zip Files (*.zip)"));
    ui->zipFileDir->setFontPointSize(11.0);
    ui->zipFileDir->setText(chosen);
    qCDebug(lcMulti).noquote() << QStringLiteral("zip file name is ") + QFileInfo(chosen).fileName();
    BoardConfig::userSettings()->setValue(QLatin1String(BoardConfig::kLastPath2Key), chosen);
    setPackagePath(chosen);
    qCDebug(lcMulti).noquote() << QStringLiteral("Zip file path: ") + zipFolder;
    // A cancelled dialog leaves the relative "QuorBurnImage/", which would
    // name a folder in the working directory that belongs to no package.
    if (chosen.isEmpty()) {
        qCDebug(lcMulti).noquote() << QStringLiteral("Image file path: ") + imageFolder;
        return;
    }
    removeStaleImageFolder();
}

void MainWindow::closeWindow()
{
    endActiveRunsAsStopped();
    if (progressThread) {
        progressThread->setStopFlag(1);
        progressThread->quit();
        progressThread->wait(ULONG_MAX);
        if (progressThread->isRunning())
            qCDebug(lcMulti, "thread is still running!");
        else if (progressThread->isFinished())
            qCDebug(lcMulti, "thread quit success");
        delete progressThread;
        progressThread = nullptr;
    }

    // Taken from the slots so that closeEvent never walks destroyed objects,
    // and disconnected before they are stopped: an end delivered while stopping
    // must not reach a slot whose process is already gone.
    closing = true;
    for (BoardSlot &slot : boardSlots) {
        if (QProcess *process = slot.takeProcess())
            releaseProcess(process);
        logTailOnClose(slot);
    }

    downloadImage = QImage();
    failedImage = QImage();
    successImage = QImage();

    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    closing = true;
    endActiveRunsAsStopped();
    int closed = 0;
    for (const BoardSlot &slot : boardSlots) {
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
    qCDebug(lcMulti, "Window closed safely!");
    // A close by the window system ends the ticker too: it would otherwise
    // keep publishing to a window nobody sees until the process ends. The
    // object stays (the destructor and closeWindow handle it).
    if (progressThread) {
        progressThread->setStopFlag(1);
        progressThread->wait();
    }
    event->accept();
}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(result)
    if (deviceSource)
        deviceSource->handleNativeEvent(eventType, message);
    return false;
}
