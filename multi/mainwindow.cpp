#include "multi/mainwindow.h"

#include "common/boardconfig.h"
#include "common/toolcontract.h"
#include "common/toollaunch.h"
#include "multi/multilogging.h"
#include "multi/multiplexlog.h"
#include "multi/processbarthread.h"
#include "multi/unpackprogress.h"
#include "package/packagestamp.h"
#include "package/signedstamp.h"
#include "package/unpackclaim.h"
#include "platform/filehandle.h"
#include "platform/fileops.h"
#include "resources/windowicon.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTextDocument>
#include <QThread>
#include <QVBoxLayout>

#include <climits>

namespace {
const char kImageFolderName[] = "QuorBurnImage/";
const int kStatusTextLimit = 4096;
const char kBarStyle[] = "QProgressBar {color: black;}";
const char kRedBarStyle[] = "QProgressBar::chunk {background-color: red;}";
const char *const kTickSignals[] = {SIGNAL(process1(int)), SIGNAL(process2(int)), SIGNAL(process3(int)),
                                    SIGNAL(process4(int)), SIGNAL(process5(int)), SIGNAL(process6(int)),
                                    SIGNAL(process7(int)), SIGNAL(process8(int))};

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

    // The window's style sheet before its widgets: set afterwards, it would
    // restyle and polish every widget made so far a second time.
    setStyleSheet(QStringLiteral("QMainWindow::titleBar { height: 30px; }"));
    ui->setupUi(this);
    findSlotWidgets();
    setWindowTitle(tr("Multiple Quor Download"));

    connect(ui->browserButton, SIGNAL(clicked()), this, SLOT(selectZipFile()));
    connect(ui->startButton, SIGNAL(clicked()), this, SLOT(startDownload()));

    session = new BoardSession(toolDir, this);

    connect(ui->stopButton, SIGNAL(clicked()), this, SLOT(stopDownload()));
    connect(ui->closeButton, SIGNAL(clicked()), this, SLOT(closeWindow()));

    setWindowIcon(WindowIcon::logo());

    connectSession();
    setUpRecordsLabels();
    session->setUp();
    if (!deviceSource)
        deviceSource = createDeviceEventSource({ToolContract::kVendorId, ToolContract::kProductId}, this);
    connect(deviceSource.data(), &DeviceEventSource::deviceEvent, session, &BoardSession::deviceEvent);
    if (!deviceSource->registerWindow(static_cast<quintptr>(winId())))
        qCCritical(lcMulti).noquote() << QStringLiteral("注册失败！");
    progressThread = new processbarthread(this);
    progressThread->start(QThread::InheritPriority);

    static const char *const kRestartSlots[kSlotCount] = {
        SLOT(restart_1()), SLOT(restart_2()), SLOT(restart_3()), SLOT(restart_4()),
        SLOT(restart_5()), SLOT(restart_6()), SLOT(restart_7()), SLOT(restart_8())};
    for (int i = 0; i < kSlotCount; ++i) {
        QPushButton *button = slotWidgets[std::size_t(i)].restart;
        connect(button, SIGNAL(clicked()), this, kRestartSlots[i]);
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
    // processes must not deliver output to a window being taken apart (runs
    // still going are recorded as stopped), and the ticker must not outlive
    // its object.
    delete session;
    session = nullptr;
    if (progressThread) {
        progressThread->setStopFlag(1);
        progressThread->wait();
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
    for (std::size_t i = 0; i < slotWidgets.size(); ++i) {
        slotWidgets[i] = SlotWidgets{groups[i], labels[i], buttons[i], bars[i]};
        QProgressBar *bar = bars[i];
        bar->reset();
        bar->setValue(0);
        bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        bar->setStyleSheet(QLatin1String(kBarStyle));
        // Scaled for high DPI (Windows), the style's button is taller than the
        // form's 23 px at 150 % and more: it grows rather than clip "Restart".
        if (QCoreApplication::testAttribute(Qt::AA_EnableHighDpiScaling))
            buttons[i]->setMaximumHeight(QWIDGETSIZE_MAX);
    }
}

void MainWindow::connectSession()
{
    connect(session, &BoardSession::statusLine, this, &MainWindow::appendStatus);
    connect(session, &BoardSession::outputArriving, this, &MainWindow::prepareStatusView);
    connect(session, &BoardSession::pictureChanged, this, &MainWindow::showPicture);
    connect(session, &BoardSession::barMarkedRed, this, &MainWindow::markBarRed);
    connect(session, &BoardSession::barHeard, this, &MainWindow::restoreBarStyle);
    connect(session, &BoardSession::progressChanged, this, [this](int index, float value) {
        if (progressThread)
            progressThread->setProgress(index, value);
    });
    connect(session, &BoardSession::allProgressChanged, this, [this](float value) {
        if (progressThread)
            progressThread->setAllProgress(value);
    });
    connect(session, &BoardSession::titleChanged, this, [this](int index, const QString &title) {
        slotWidgets[std::size_t(index)].group->setTitle(title);
    });
    connect(session, &BoardSession::countersChanged, ui->batchCountersLabel, &QLabel::setText);
    connect(session, &BoardSession::recordsQueueChanged, this, [this](const QString &text) {
        ui->recordsQueueLabel->setVisible(!text.isEmpty());
        ui->recordsQueueLabel->setText(text);
    });
}

void MainWindow::setUpRecordsLabels()
{
    // One line below the queue line while records cannot be written.
    auto *notKept = new QLabel(this);
    notKept->setObjectName(QStringLiteral("recordsNotKeptLabel"));
    notKept->setStyleSheet(QStringLiteral("color: red;"));
    notKept->setVisible(false);
    if (auto *layout = findChild<QVBoxLayout *>(QStringLiteral("statusLayout")))
        layout->insertWidget(layout->indexOf(ui->recordsQueueLabel) + 1, notKept);
    connect(session, &BoardSession::recordsKeepingChanged, notKept,
            [notKept](const QString &reason, const QString &line) {
                notKept->setText(line);
                notKept->setVisible(!reason.isEmpty());
            });
}

// The status pictures are decoded when the first one is shown, not while the
// window opens: the first decode of the process also lists the image plugins.
void MainWindow::loadPictures()
{
    if (picturesLoaded)
        return;
    picturesLoaded = true;
    struct Picture
    {
        QImage *image;
        QPixmap *pixmap;
        const char *resource;
        const char *failure;
    };
    const Picture pictures[] = {
        {&downloadImage, &downloadPixmap, ":/img/download.png", "Load download image failed!"},
        {&failedImage, &failedPixmap, ":/img/failed.png", "Load failed image failed!"},
        {&successImage, &successPixmap, ":/img/success.png", "Load success image failed!"},
    };
    for (const Picture &picture : pictures) {
        if (!picture.image->load(QLatin1String(picture.resource)))
            qCDebug(lcMulti, "%s", picture.failure);
        *picture.image = picture.image->scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation);
        // Converted once: every waiting line shows the download picture again.
        *picture.pixmap = QPixmap::fromImage(*picture.image);
    }
}

void MainWindow::setPackagePath(const QString &path)
{
    zipFilePath = path;
    zipFolder = path.left(path.size() - QFileInfo(path).fileName().size());
    imageFolder = zipFolder + QLatin1String(kImageFolderName);
    session->setPackage(zipFilePath, imageFolder);
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

void MainWindow::showPicture(int index, BoardSession::Picture picture)
{
    loadPictures();
    const QPixmap &pixmap = picture == BoardSession::Picture::Download ? downloadPixmap
                            : picture == BoardSession::Picture::Failed ? failedPixmap
                                                                       : successPixmap;
    slotWidgets[std::size_t(index)].status->setPixmap(pixmap);
}

void MainWindow::markBarRed(int index)
{
    QProgressBar *bar = slotWidgets[std::size_t(index)].bar;
    bar->setStyleSheet(QLatin1String(kRedBarStyle));
    bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    bar->setTextVisible(true);
    bar->update();
}

void MainWindow::restoreBarStyle(int index)
{
    // Restores the black text and removes a red chunk. Qt re-polishes the bar
    // on every setStyleSheet, even an unchanged one, so only set it on change.
    QProgressBar *bar = slotWidgets[std::size_t(index)].bar;
    if (bar->styleSheet() != QLatin1String(kBarStyle))
        bar->setStyleSheet(QLatin1String(kBarStyle));
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

void MainWindow::startDownload()
{
    if (zipFilePath.isEmpty()) {
        showPackageMissing();
        return;
    }

    ui->startButton->setEnabled(false);

    // Boards plugged while the package unpacks (the progress dialog keeps the
    // event loop turning) are listed and launched once the processes exist.
    session->holdLaunches();
    QString refusal, boxText;
    if (!prepareImages(&refusal, &boxText) || !ToolLaunch::toolCanOpen(imageFolder, &refusal)) {
        if (refusal.isEmpty())
            refuseStart(tr("Start cancelled: the image package could not be unpacked."),
                        tr("Unpacking the image package failed!"));
        else
            refuseStart(refusal, boxText.isEmpty() ? refusal : boxText);
        return;
    }
    openBatch();
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
    session->releaseLaunches();

    QMessageBox box;
    box.setStyleSheet(
        QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    box.setText(boxText);
    box.exec();
}

void MainWindow::openBatch()
{
    if (progressThread) {
        for (int i = 0; i < kSlotCount; ++i)
            connect(progressThread, kTickSignals[i], slotWidgets[std::size_t(i)].bar, SLOT(setValue(int)),
                    Qt::UniqueConnection);
    }
    for (const SlotWidgets &widgets : slotWidgets)
        widgets.restart->setEnabled(true);
    session->startBatch(batchPackageHash, batchSigningKey);
}

void MainWindow::stopDownload()
{
    session->stop();
    for (const SlotWidgets &widgets : slotWidgets)
        widgets.restart->setEnabled(false);
    for (const SlotWidgets &widgets : slotWidgets)
        widgets.status->clear();
    ui->startButton->setEnabled(true);
}

void MainWindow::restart_1()
{
    session->restartSlot(0);
}
void MainWindow::restart_2()
{
    session->restartSlot(1);
}
void MainWindow::restart_3()
{
    session->restartSlot(2);
}
void MainWindow::restart_4()
{
    session->restartSlot(3);
}
void MainWindow::restart_5()
{
    session->restartSlot(4);
}
void MainWindow::restart_6()
{
    session->restartSlot(5);
}
void MainWindow::restart_7()
{
    session->restartSlot(6);
}
void MainWindow::restart_8()
{
    session->restartSlot(7);
}
void MainWindow::onReadData_1()
{
    session->readSlotOutput(0);
}
void MainWindow::onReadData_2()
{
    session->readSlotOutput(1);
}
void MainWindow::onReadData_3()
{
    session->readSlotOutput(2);
}
void MainWindow::onReadData_4()
{
    session->readSlotOutput(3);
}
void MainWindow::onReadData_5()
{
    session->readSlotOutput(4);
}
void MainWindow::onReadData_6()
{
    session->readSlotOutput(5);
}
void MainWindow::onReadData_7()
{
    session->readSlotOutput(6);
}
void MainWindow::onReadData_8()
{
    session->readSlotOutput(7);
}

void MainWindow::closeWindow()
{
    session->close();
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

    downloadImage = QImage();
    failedImage = QImage();
    successImage = QImage();
    downloadPixmap = failedPixmap = successPixmap = QPixmap();
    picturesLoaded = true; // released for good

    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    session->stopForClose();
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
