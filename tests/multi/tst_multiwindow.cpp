#include "../package/zipmaker.h"
#include "multi/mainwindow.h"
#include "multi/packageextractor.h"
#include "windowtestenv.h"

#include <QElapsedTimer>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <sys/types.h>

namespace {
// Stand-in for the download tool: lists the ports written to config/ports and
// plays a short scripted run chosen by FAKE_TOOL_MODE.
const char kFakeTool[] = R"(#!/bin/sh
here=$(dirname "$0")
echo "$*" >> "$here/calls.log"
if [ "$1" = "-r" ]; then
  printf 'list header\r\n----\r\n'
  [ -f "$here/ports" ] && cat "$here/ports"
  exit 0
fi
case "$FAKE_TOOL_MODE" in
  split) printf 'updated size: 51'; sleep 0.3; printf '2/1024(50%%)\r\nUSB download comp'; sleep 0.3
         printf 'lete\r\nafter the end\r\n'; exit 0;;
  tail) printf 'Waiting for USB device connection\r\nUSB download complete'; exit 0;;
  notfound) printf 'usb device not found\r\n'; exec sleep 600;;
  *) printf 'Waiting for USB device connection\r\n'; exec sleep 600;;
esac
)";

QString portLine(char level, char number)
{
    return QStringLiteral("dev, portlevel%1, portnum%2\r\n").arg(QLatin1Char(level)).arg(QLatin1Char(number));
}

template <typename T> T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

template <typename T> T *child(QWidget *window, const QString &name)
{
    return window->findChild<T *>(name);
}

QList<QProcess *> runningProcesses(QWidget *window)
{
    QList<QProcess *> running;
    for (QProcess *p : window->findChildren<QProcess *>())
        if (p->state() != QProcess::NotRunning)
            running.append(p);
    return running;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void setLastPath2(const QString &value)
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), value);
}

bool pidAlive(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}
} // namespace

class tst_MultiWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void formLayoutAndFirstState();
    void burstOfEventsSharesListings();
    void boardsPluggedWhileStartUnpacksAreLaunched();
    void toolArgumentsArriveUnchanged();
    void rememberedPackageAndStaleFolders();
    void nothingRememberedTouchesNothing();
    void missingPicturesStillBuild();
    void startWithoutPackageShowsBox();
    void stopBeforeStart();
    void startAndStopCycles();
    void brokenPackageIsReportedAndNothingStarts();
    void cancelledDialogRemovesNothing();
    void restartIdleAndRunning();
    void arrivalsBeforeStartLaunchNothing();
    void linesCutAcrossChunksAreWhole();
    void unfinishedLastLineIsHandled();
    void notFoundKillsTheProcess();
    void closeButtonStopsEverything();
    void windowSystemCloseKillsTransfers();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<ScriptedDeviceSource> devices;

    std::unique_ptr<MainWindow> makeWindow(MainWindow::ZipChooser chooser = {})
    {
        return std::make_unique<MainWindow>(nullptr, devices.get(), std::move(chooser));
    }
    // Remembers a package and builds the window; the package is unpacked
    // afterwards (construction removes a stale folder), stamp included, so
    // Start finds this package's images and skips unpacking.
    std::unique_ptr<MainWindow> windowWithUnpackedPackage()
    {
        const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
        QDir().mkpath(folder->file(QStringLiteral("pkg")));
        ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))});
        setLastPath2(zip);
        auto window = makeWindow();
        unpackPackage(zip, folder->file(QStringLiteral("pkg/QuorBurnImage/")));
        return window;
    }
    void unplug(const QString &serial)
    {
        folder->writeFile(QStringLiteral("config/ports"), QByteArray());
        devices->remove(downloadDeviceName(serial));
    }
};

void tst_MultiWindow::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(folder->writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    QVERIFY(folder->writeFile(QStringLiteral("config/usb_dl.exe"), kFakeTool));
    QFile::setPermissions(folder->file(QStringLiteral("config/usb_dl.exe")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    devices = std::make_unique<ScriptedDeviceSource>();
    qunsetenv("FAKE_TOOL_MODE");
}

void tst_MultiWindow::cleanup()
{
    devices.reset();
    folder.reset();
}

void tst_MultiWindow::formLayoutAndFirstState()
{
    auto window = makeWindow();
    QCOMPARE(window->windowTitle(), QStringLiteral("Multiple Quor Download"));
    QCOMPARE(window->size(), QSize(1281, 960));
    QCOMPARE(child<QLabel>(window.get(), "label")->text(), QStringLiteral("Zip File : "));
    QCOMPARE(child<QPushButton>(window.get(), "browserButton")->text(), QStringLiteral("Browser"));
    QCOMPARE(child<QTextEdit>(window.get(), "zipFileDir")->maximumHeight(), 30);
    QVERIFY(child<QPlainTextEdit>(window.get(), "statusText")->toPlainText().isEmpty());

    auto *grid = child<QGridLayout>(window.get(), "gridLayout");
    QVERIFY(grid);
    for (int n = 1; n <= 8; ++n) {
        const QString boxName = n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n);
        auto *box = child<QGroupBox>(window.get(), boxName);
        QVERIFY2(box, qPrintable(boxName));
        QCOMPARE(box->title(), QStringLiteral("Board %1").arg(n));
        QCOMPARE(box->minimumSize(), QSize(305, 192));

        int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(box), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, (n - 1) / 4);
        QCOMPARE(column, (n - 1) % 4);

        auto *status = child<QLabel>(window.get(), QStringLiteral("status_%1").arg(n));
        auto *button = child<QPushButton>(window.get(), QStringLiteral("reButton_%1").arg(n));
        auto *bar = child<QProgressBar>(window.get(), QStringLiteral("progressBar_%1").arg(n));
        QVERIFY(status && button && bar);
        QVERIFY(status->text().isEmpty());
        QCOMPARE(status->size(), QSize(90, 90));
        QCOMPARE(button->text(), QStringLiteral("Restart"));
        QVERIFY(!button->isEnabled());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(int(bar->alignment()), 132);
        QCOMPARE(bar->styleSheet(), QStringLiteral("QProgressBar {color: black;}"));

        // Inside the group: label above button, bar below across three columns;
        // slot 5 stands one row lower.
        auto *inner = qobject_cast<QGridLayout *>(box->layout());
        QVERIFY(inner);
        QCOMPARE(inner->objectName(), QStringLiteral("gridLayout_%1").arg(n + 2));
        const int base = n == 5 ? 1 : 0;
        inner->getItemPosition(inner->indexOf(status), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, base);
        QCOMPARE(column, 1);
        inner->getItemPosition(inner->indexOf(button), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, base + 1);
        inner->getItemPosition(inner->indexOf(bar), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, base + 2);
        QCOMPARE(columnSpan, 3);
    }
    // The ticker runs but nothing listens before Start: the bars stay at 0.
    QTest::qWait(50);
    QCOMPARE(child<QProgressBar>(window.get(), "progressBar_1")->value(), 0);
    for (const char *name : {"startButton", "stopButton", "closeButton", "browserButton"})
        QVERIFY(child<QPushButton>(window.get(), name)->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::rememberedPackageAndStaleFolders()
{
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg/QuorBurnImage/sub"))));
    QVERIFY(folder->writeFile(QStringLiteral("pkg/QuorBurnImage/sub/old.img"), "old"));
    QVERIFY(folder->writeFile(QStringLiteral("log_multiplex.txt"), "[Board 1] from an earlier run\n"));
    setLastPath2(zip);

    auto window = makeWindow();
    auto *zipDir = child<QTextEdit>(window.get(), "zipFileDir");
    QCOMPARE(zipDir->toPlainText(), zip);
    QCOMPARE(zipDir->fontPointSize(), 11.0);
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QVERIFY(QFileInfo::exists(folder->file(QStringLiteral("pkg"))));
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("log_multiplex.txt"))));
}

void tst_MultiWindow::nothingRememberedTouchesNothing()
{
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("QuorBurnImage"))));
    auto window = makeWindow();
    QVERIFY(child<QTextEdit>(window.get(), "zipFileDir")->toPlainText().isEmpty());
    QVERIFY(QFileInfo::exists(folder->file(QStringLiteral("QuorBurnImage"))));
    // Without a package Start refuses: the remembered path really is empty.
    answerNextModal([](QWidget *modal) { static_cast<QMessageBox *>(modal)->accept(); });
    child<QPushButton>(window.get(), "startButton")->click();
    QVERIFY(child<QPushButton>(window.get(), "startButton")->isEnabled());
}

void tst_MultiWindow::missingPicturesStillBuild()
{
    Q_CLEANUP_RESOURCE(multi);
    QTest::ignoreMessage(QtDebugMsg, "Load download image failed!");
    QTest::ignoreMessage(QtDebugMsg, "Load failed image failed!");
    QTest::ignoreMessage(QtDebugMsg, "Load success image failed!");
    auto window = makeWindow();
    Q_INIT_RESOURCE(multi);
    QCOMPARE(window->windowTitle(), QStringLiteral("Multiple Quor Download"));

    // A slot that would show a picture shows an empty one.
    qputenv("FAKE_TOOL_MODE", "tail");
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    window.reset();
    Q_CLEANUP_RESOURCE(multi);
    QTest::ignoreMessage(QtDebugMsg, "Load download image failed!");
    QTest::ignoreMessage(QtDebugMsg, "Load failed image failed!");
    QTest::ignoreMessage(QtDebugMsg, "Load success image failed!");
    window = windowWithUnpackedPackage();
    Q_INIT_RESOURCE(multi);
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("A1")));
    QTRY_COMPARE(child<QProgressBar>(window.get(), "progressBar_1")->value(), 100);
    const QPixmap *shown = child<QLabel>(window.get(), "status_1")->pixmap();
    QVERIFY(!shown || shown->isNull());
}

void tst_MultiWindow::startWithoutPackageShowsBox()
{
    auto window = makeWindow();
    QString text, style;
    answerNextModal([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        text = box->text();
        style = box->styleSheet();
        box->accept();
    });
    child<QPushButton>(window.get(), "startButton")->click();
    QCOMPARE(text, QStringLiteral("Please select .zip file first!"));
    QCOMPARE(style, QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    QVERIFY(child<QPushButton>(window.get(), "startButton")->isEnabled());
    QVERIFY(!child<QPushButton>(window.get(), "reButton_1")->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::stopBeforeStart()
{
    auto window = makeWindow();
    child<QGroupBox>(window.get(), "groupBox_4")->setTitle(QStringLiteral("changed"));
    child<QLabel>(window.get(), "status_2")->setText(QStringLiteral("x"));
    child<QPushButton>(window.get(), "stopButton")->click();
    QCOMPARE(child<QPlainTextEdit>(window.get(), "statusText")->toPlainText(),
             QStringLiteral("Stop download process ...\nStop process success !\n"));
    QCOMPARE(child<QGroupBox>(window.get(), "groupBox_4")->title(), QStringLiteral("Board 4"));
    QVERIFY(child<QLabel>(window.get(), "status_2")->text().isEmpty());
    QVERIFY(child<QPushButton>(window.get(), "startButton")->isEnabled());
    QVERIFY(!child<QPushButton>(window.get(), "reButton_1")->isEnabled());
}

void tst_MultiWindow::startAndStopCycles()
{
    auto window = windowWithUnpackedPackage();
    auto *start = child<QPushButton>(window.get(), "startButton");
    auto *stop = child<QPushButton>(window.get(), "stopButton");

    QTest::ignoreMessage(QtDebugMsg, "Skip unzip the image.");
    start->click();
    QVERIFY(!start->isEnabled());
    for (int n = 1; n <= 8; ++n)
        QVERIFY(child<QPushButton>(window.get(), QStringLiteral("reButton_%1").arg(n))->isEnabled());
    QCOMPARE(window->findChildren<QProcess *>().size(), 8);
    stop->click();
    flushDeletes();
    QVERIFY(window->findChildren<QProcess *>().isEmpty());

    // Later Starts report the flag vectors kept from earlier batches.
    QTest::ignoreMessage(QtDebugMsg, "Download process init failed! ");
    start->click();
    QCOMPARE(window->findChildren<QProcess *>().size(), 8);
    stop->click();

    for (int cycle = 0; cycle < 48; ++cycle) {
        start->click();
        stop->click();
        flushDeletes();
    }
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QVERIFY(start->isEnabled());
    QVERIFY(!child<QPushButton>(window.get(), "reButton_8")->isEnabled());
}

void tst_MultiWindow::brokenPackageIsReportedAndNothingStarts()
{
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QVERIFY(folder->writeFile(QStringLiteral("pkg/images.zip"),
                              QByteArray("this is no zip archive\n").repeated(50)));
    setLastPath2(folder->file(QStringLiteral("pkg/images.zip")));
    auto window = makeWindow();
    QString boxText, boxStyle;
    // The unpack's progress dialog is modal too while it is shown: wait on for the box.
    std::function<void(QWidget *)> answer = [&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box) {
            answerNextModal(answer);
            return;
        }
        boxText = box->text();
        boxStyle = box->styleSheet();
        box->accept();
    };
    answerNextModal(answer);
    child<QPushButton>(window.get(), "startButton")->click();
    // The operator sees what went wrong and why nothing started; no half-made
    // folder is left to burn from, and no batch against it.
    const QString status = child<QPlainTextEdit>(window.get(), "statusText")->toPlainText();
    QVERIFY2(status.contains(QStringLiteral("not a readable zip")), qPrintable(status));
    QVERIFY2(status.contains(QStringLiteral("Start cancelled: the image package could not be unpacked.")),
             qPrintable(status));
    QCOMPARE(boxText, QStringLiteral("Unpacking the image package failed!"));
    QCOMPARE(boxStyle,
             QStringLiteral("QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}"));
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QVERIFY(child<QPushButton>(window.get(), "startButton")->isEnabled());
    QVERIFY(!child<QPushButton>(window.get(), "reButton_1")->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::cancelledDialogRemovesNothing()
{
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("QuorBurnImage/keep"))));
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QString askedCaption, askedDir, askedFilter;
    QString answer = zip;
    auto window =
        makeWindow([&](QWidget *, const QString &caption, const QString &dir, const QString &filter) {
            askedCaption = caption;
            askedDir = dir;
            askedFilter = filter;
            return answer;
        });
    auto *browse = child<QPushButton>(window.get(), "browserButton");

    browse->click();
    QCOMPARE(askedCaption, QStringLiteral("Select Zip File."));
    QCOMPARE(askedDir, folder->path());
    QCOMPARE(askedFilter, QStringLiteral("Zip Files (*.zip)"));
    QCOMPARE(child<QTextEdit>(window.get(), "zipFileDir")->toPlainText(), zip);
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QCOMPARE(
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .value(QStringLiteral("lastPath2"))
            .toString(),
        zip);

    answer.clear();
    browse->click();
    QVERIFY(child<QTextEdit>(window.get(), "zipFileDir")->toPlainText().isEmpty());
    QVERIFY(QFileInfo::exists(folder->file(QStringLiteral("QuorBurnImage/keep"))));
    QCOMPARE(
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .value(QStringLiteral("lastPath2"))
            .toString(),
        QString());
    answerNextModal([](QWidget *modal) { static_cast<QMessageBox *>(modal)->accept(); });
    child<QPushButton>(window.get(), "startButton")->click();
    QVERIFY(child<QPushButton>(window.get(), "startButton")->isEnabled());
}

void tst_MultiWindow::burstOfEventsSharesListings()
{
    // Thousands of events in one burst: listings are shared, the window goes
    // on answering, and what is bound, logged and launched is what one
    // listing of the final state gives.
    QString ports;
    for (char n = '1'; n <= '8'; ++n)
        ports += portLine('2', n);
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), ports.toUtf8()));
    auto window = windowWithUnpackedPackage();
    child<QPushButton>(window.get(), "startButton")->click();

    QElapsedTimer clock;
    clock.start();
    devices->burst(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("B")), 5000);
    devices->burst(DeviceEventSource::Kind::Removal, downloadDeviceName(QStringLiteral("B")), 5000);
    QVERIFY(clock.elapsed() < 5000); // the events themselves run no listing
    QVERIFY(settleListings());

    const QList<QByteArray> calls = folder->readFile(QStringLiteral("config/calls.log")).split('\n');
    QVERIFY2(calls.count("-r") <= 2, QByteArray::number(calls.count("-r")).constData());
    QCOMPARE(runningProcesses(window.get()).size(), 8);
    const QByteArray log = folder->readFile(QStringLiteral("log_multiplex.txt"));
    // Bound once each, in reverse listing order, and one registration line per listing that served an
    // arrival.
    QVERIFY2(log.contains("USB Port removed: 2 8 2 7 2 6 2 5 2 4 2 3 2 2 2 1 \n"), log.constData());
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(child<QGroupBox>(window.get(), QStringLiteral("groupBox%1")
                                                    .arg(n == 1 ? QString() : QStringLiteral("_%1").arg(n))
                                                    .toLatin1()
                                                    .constData())
                     ->title(),
                 QStringLiteral("Board %1->USB Port: 2,%2").arg(n).arg(9 - n));
}

void tst_MultiWindow::boardsPluggedWhileStartUnpacksAreLaunched()
{
    // A board plugged while Start unpacks (the progress dialog keeps the event
    // loop turning) is launched once Start has made the slot's process.
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QByteArray noise(48 << 20, '\0');
    for (int i = 0; i < noise.size(); i += 4)
        noise[i] = char((i * 2654435761u) >> 24);
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("rootfs.img", noise)}));
    setLastPath2(zip);
    auto window = makeWindow();
    auto *start = child<QPushButton>(window.get(), "startButton");

    bool duringStart = false;
    QTimer::singleShot(0, window.get(), [&] {
        duringStart = !start->isEnabled() && window->findChildren<QProcess *>().isEmpty();
        devices->burst(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("U1")), 1);
    });
    start->click();
    QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
    QVERIFY(settleListings());
    QTRY_COMPARE(runningProcesses(window.get()).size(), 1);
    const QString status = child<QPlainTextEdit>(window.get(), "statusText")->toPlainText();
    QVERIFY2(status.contains(QStringLiteral("Board 1 USB Port:1,3 insert!\nBoard 1 Start Downloading  ...")),
             qPrintable(status));
}

void tst_MultiWindow::toolArgumentsArriveUnchanged()
{
    // A package folder whose name holds a quote, blanks and non-ASCII letters:
    // the tool receives the folder as one argument, exactly.
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    const QString odd = folder->file(QStringLiteral("pk\"g \u00e4\u00f6 x"));
    QVERIFY(QDir().mkpath(odd));
    const QString zip = odd + QStringLiteral("/images.zip");
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))}));
    setLastPath2(zip);
    auto window = makeWindow();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("Q1")));
    QTRY_COMPARE(runningProcesses(window.get()).size(), 1);
    // The fake tool logs "$*": the arguments joined by single blanks.
    const QByteArray expected =
        QStringLiteral("-c CHIPX -s OSY -i %1/QuorBurnImage/ -p 1,3").arg(odd).toUtf8();
    QTRY_VERIFY2(folder->readFile(QStringLiteral("config/calls.log")).split('\n').contains(expected),
                 folder->readFile(QStringLiteral("config/calls.log")).constData());
    // One argument per value: the folder is the sixth.
    QProcess *tool = runningProcesses(window.get()).first();
    QCOMPARE(tool->arguments().size(), 8);
    QCOMPARE(tool->arguments().at(5), odd + QStringLiteral("/QuorBurnImage/"));
}

void tst_MultiWindow::restartIdleAndRunning()
{
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    auto *status = child<QPlainTextEdit>(window.get(), "statusText");
    child<QPushButton>(window.get(), "startButton")->click();
    // Start says the unpacked images are this package's and were reused.
    QVERIFY2(status->toPlainText().startsWith(QStringLiteral("Images already unpacked from this package (")),
             qPrintable(status->toPlainText()));
    status->clear();

    child<QPushButton>(window.get(), "reButton_3")->click();
    QCOMPARE(status->toPlainText(), QStringLiteral("Board 3 Please insert usb device again !\n"));

    status->clear();
    devices->arrive(downloadDeviceName(QStringLiteral("S1")));
    QCOMPARE(runningProcesses(window.get()).size(), 1);
    QCOMPARE(child<QGroupBox>(window.get(), "groupBox")->title(), QStringLiteral("Board 1->USB Port: 1,3"));
    status->clear();
    child<QPushButton>(window.get(), "reButton_1")->click();
    QCOMPARE(status->toPlainText(), QStringLiteral("Board 1 Stop downloading ...\n"
                                                   "Board 1 Stop downloading successfully !\n\n"
                                                   "Board 1 Please insert usb device again !\n"));
    QVERIFY(runningProcesses(window.get()).isEmpty());
    // Restart changes no title.
    QCOMPARE(child<QGroupBox>(window.get(), "groupBox")->title(), QStringLiteral("Board 1->USB Port: 1,3"));

    // The failed run left the slot busy: the board's next arrival launches it again.
    unplug(QStringLiteral("S1"));
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    devices->arrive(downloadDeviceName(QStringLiteral("S1")));
    QCOMPARE(runningProcesses(window.get()).size(), 1);
    child<QPushButton>(window.get(), "stopButton")->click();
    QVERIFY(runningProcesses(window.get()).isEmpty());
}

void tst_MultiWindow::arrivalsBeforeStartLaunchNothing()
{
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('2', '1').toUtf8()));
    auto window = windowWithUnpackedPackage();
    devices->arrive(downloadDeviceName(QStringLiteral("B1")));
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    const QByteArray log = folder->readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY2(log.contains("USB Port connected: 2 1 \n"), log.constData());
    QVERIFY2(log.contains("USB Port removed: 2 1 \n"), log.constData());
    // Foreign and storage names run no listing at all.
    const QByteArray calls = folder->readFile(QStringLiteral("config/calls.log"));
    devices->arrive(
        QStringLiteral("\\\\?\\USBSTOR#Disk&Ven_7352&Prod_1000#x#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"));
    devices->arrive(QStringLiteral("\\\\?\\USB#VID_1234&PID_1000#x#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
    devices->arrive(QStringLiteral("\\\\?\\USB"));
    devices->arrive(QString());
    QCOMPARE(folder->readFile(QStringLiteral("config/calls.log")), calls);
    QCOMPARE(folder->readFile(QStringLiteral("log_multiplex.txt")), log);

    // After Start the already bound port launches on its next appearance.
    child<QPushButton>(window.get(), "startButton")->click();
    unplug(QStringLiteral("B1"));
    QVERIFY(runningProcesses(window.get()).isEmpty());
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('2', '1').toUtf8()));
    devices->arrive(downloadDeviceName(QStringLiteral("B1")));
    QCOMPARE(runningProcesses(window.get()).size(), 1);
    child<QPushButton>(window.get(), "stopButton")->click();
}

void tst_MultiWindow::linesCutAcrossChunksAreWhole()
{
    qputenv("FAKE_TOOL_MODE", "split");
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("C1")));
    QTRY_COMPARE(child<QProgressBar>(window.get(), "progressBar_1")->value(), 100);
    QTRY_VERIFY(runningProcesses(window.get()).isEmpty());
    const QByteArray log = folder->readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY2(log.contains("[Board 1] updated size: 512/1024(50%)\n"), log.constData());
    QVERIFY2(log.contains("[Board 1] USB download complete\n"), log.constData());
    QVERIFY2(!log.contains("after the end"), log.constData());
    QVERIFY(child<QPlainTextEdit>(window.get(), "statusText")
                ->toPlainText()
                .contains(QStringLiteral("Board 1 download complete!\n")));
}

void tst_MultiWindow::unfinishedLastLineIsHandled()
{
    qputenv("FAKE_TOOL_MODE", "tail");
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("T1")));
    QTRY_COMPARE(child<QProgressBar>(window.get(), "progressBar_1")->value(), 100);
    const QByteArray log = folder->readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY2(log.contains("[Board 1] Waiting for USB device connection\n[Board 1] USB download complete\n"),
             log.constData());
}

void tst_MultiWindow::notFoundKillsTheProcess()
{
    qputenv("FAKE_TOOL_MODE", "notfound");
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("N1")));
    QTRY_VERIFY(child<QPlainTextEdit>(window.get(), "statusText")
                    ->toPlainText()
                    .contains(QStringLiteral("Board 1 download failed! Please restart.\n")));
    // The kill is asked for at once; the process ends when the system has ended it.
    QTRY_VERIFY(runningProcesses(window.get()).isEmpty());
    QCOMPARE(child<QProgressBar>(window.get(), "progressBar_1")->styleSheet(),
             QStringLiteral("QProgressBar::chunk {background-color: red;}"));
}

void tst_MultiWindow::closeButtonStopsEverything()
{
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    window->show();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("K1")));
    const QList<QProcess *> running = runningProcesses(window.get());
    QCOMPARE(running.size(), 1);
    const qint64 pid = running.first()->processId();
    QVERIFY(pidAlive(pid));

    QTest::ignoreMessage(QtDebugMsg, "thread quit success");
    QTest::ignoreMessage(QtDebugMsg, "Window closed safely!");
    child<QPushButton>(window.get(), "closeButton")->click();
    QVERIFY(!window->isVisible());
    QVERIFY(!pidAlive(pid));
    flushDeletes();
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QVERIFY(window->findChildren<QThread *>().isEmpty());
    // A further close by the window system walks no destroyed process.
    QTest::ignoreMessage(QtDebugMsg, "Window closed safely!");
    window->show();
    window->close();
}

void tst_MultiWindow::windowSystemCloseKillsTransfers()
{
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3').toUtf8()));
    auto window = windowWithUnpackedPackage();
    window->show();
    child<QPushButton>(window.get(), "startButton")->click();
    devices->arrive(downloadDeviceName(QStringLiteral("W1")));
    const QList<QProcess *> running = runningProcesses(window.get());
    QCOMPARE(running.size(), 1);
    const qint64 pid = running.first()->processId();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Process 0 closed! State: ")));
    window->close();
    QVERIFY(!pidAlive(pid));
    // Destroying the window afterwards must not meet a running ticker or process.
    window.reset();
}

QTEST_MAIN(tst_MultiWindow)
#include "tst_multiwindow.moc"
