#include "../package/zipmaker.h"
#include "multi/mainwindow.h"
#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "windowtestenv.h"

#include <QElapsedTimer>
#include <QMessageBox>
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
  line) printf 'updated size: 51'; sleep 0.3; printf '2/1024(50%%)\r\nUSB download comp'; sleep 0.3
        printf 'lete\r\nafter the end\r\n'; exit 0;;
  char) printf 'Waiting for USB device connection: \303'; sleep 0.3; printf '\251 ok\r\nUSB download complete\r\n';;
  crlf) printf 'updated size: 1/2(0%%)\r'; sleep 0.3; printf '\nUSB download complete\r\n';;
  tail) printf 'Waiting for USB device connection\r\nUSB download complete'; exit 0;;
  notfound) printf 'usb device not found\r\nand an unfinished line long enough to hide a whole first line'
            exec sleep 600;;
  *) printf 'Waiting for USB device connection\r\n'; exec sleep 600;;
esac
)";

QByteArray portLine(char level, char number)
{
    return QByteArray("dev, portlevel") + level + ", portnum" + number + "\r\n";
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

QString lastPath2()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .value(QStringLiteral("lastPath2"))
        .toString();
}

bool pidAlive(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// The board lines of the run log, without the port records.
QByteArray boardRecords(const QByteArray &log)
{
    QByteArray out;
    for (const QByteArray &line : log.split('\n'))
        if (line.startsWith("[Board "))
            out += line + '\n';
    return out;
}

const char kBoxStyle[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
} // namespace

class tst_MultiWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void formAndFirstState();
    void packagePathAndStaleFolders();
    void stopBeforeAndBetweenBatches();
    void startReusesOnlyThisPackagesImages_data();
    void startReusesOnlyThisPackagesImages();
    void brokenPackageIsReportedAndNothingStarts();
    void burstOfEventsSharesListings();
    void boardsPluggedWhileStartUnpacksAreLaunched();
    void restartIdleAndRunning();
    void arrivalsBeforeStartLaunchNothing();
    void outputCutAnywhereIsWhole_data();
    void outputCutAnywhereIsWhole();
    void notFoundKillsAndTheNextRunStartsClean();
    void closingKillsTransfers_data();
    void closingKillsTransfers();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<ScriptedDeviceSource> devices;
    std::unique_ptr<MainWindow> window;

    MultiWindowView view() const { return MultiWindowView(window.get()); }
    void makeWindow(MainWindow::ZipChooser chooser = {})
    {
        window = std::make_unique<MainWindow>(nullptr, devices.get(), std::move(chooser));
    }
    // Remembers a package and builds the window; the package is unpacked
    // afterwards (construction removes a stale folder), stamp included, so
    // Start finds this package's images and skips unpacking.
    void windowWithUnpackedPackage()
    {
        const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
        QDir().mkpath(folder->file(QStringLiteral("pkg")));
        ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))});
        setLastPath2(zip);
        makeWindow();
        unpackPackage(zip, folder->file(QStringLiteral("pkg/QuorBurnImage/")));
    }
    // Starts a batch with one board listed on port 1,3 and plugs it.
    void startAndPlug(const QString &serial)
    {
        QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3')));
        view().click("startButton");
        devices->arrive(downloadDeviceName(serial));
    }
    void replug(const QString &serial)
    {
        folder->writeFile(QStringLiteral("config/ports"), QByteArray());
        devices->remove(downloadDeviceName(serial));
        folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3'));
        devices->arrive(downloadDeviceName(serial));
    }
    QByteArray log() const { return folder->readFile(QStringLiteral("log_multiplex.txt")); }
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
    window.reset();
    devices.reset();
    folder.reset();
}

void tst_MultiWindow::formAndFirstState()
{
    makeWindow();
    const MultiWindowView v = view();
    QCOMPARE(window->windowTitle(), QStringLiteral("Multiple Quor Download"));
    QCOMPARE(window->size(), QSize(1281, 960));
    QVERIFY(v.status().isEmpty());
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(v.title(n), QStringLiteral("Board %1").arg(n));
        QVERIFY(v.child<QLabel>(QStringLiteral("status_%1").arg(n))->text().isEmpty());
        QVERIFY(!v.child<QPushButton>(QStringLiteral("reButton_%1").arg(n))->isEnabled());
        QCOMPARE(int(v.bar(n)->alignment()), int(Qt::AlignCenter));
        QCOMPARE(v.bar(n)->styleSheet(), QStringLiteral("QProgressBar {color: black;}"));
    }
    // The ticker runs but nothing listens before Start: the bars stay at 0.
    QTest::qWait(50);
    QCOMPARE(v.bar(1)->value(), 0);
    for (const char *name : {"startButton", "stopButton", "closeButton", "browserButton"})
        QVERIFY(v.button(name)->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::packagePathAndStaleFolders()
{
    // A remembered package: shown, its stale image folder and the old run log removed.
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg/QuorBurnImage/sub"))));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("QuorBurnImage/keep"))));
    QVERIFY(folder->writeFile(QStringLiteral("log_multiplex.txt"), "[Board 1] from an earlier run\n"));
    setLastPath2(zip);
    QString askedCaption, askedDir, askedFilter;
    QString answer = zip;
    makeWindow([&](QWidget *, const QString &caption, const QString &dir, const QString &filter) {
        askedCaption = caption;
        askedDir = dir;
        askedFilter = filter;
        return answer;
    });
    auto *zipDir = view().child<QTextEdit>(QStringLiteral("zipFileDir"));
    QCOMPARE(zipDir->toPlainText(), zip);
    QCOMPARE(zipDir->fontPointSize(), 11.0);
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("log_multiplex.txt"))));

    // Chosen again: remembered, and the stale folder made since is removed.
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    view().click("browserButton");
    QCOMPARE(askedCaption, QStringLiteral("Select Zip File."));
    QCOMPARE(askedDir, folder->path());
    QCOMPARE(askedFilter, QStringLiteral("Zip Files (*.zip)"));
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QCOMPARE(lastPath2(), zip);

    // A cancelled dialog forgets the package and removes nothing; Start then refuses.
    answer.clear();
    view().click("browserButton");
    QVERIFY(zipDir->toPlainText().isEmpty());
    QVERIFY(QFileInfo::exists(folder->file(QStringLiteral("QuorBurnImage/keep"))));
    QCOMPARE(lastPath2(), QString());
    QString text, style;
    answerNextModal([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        text = box->text();
        style = box->styleSheet();
        box->accept();
    });
    view().click("startButton");
    QCOMPARE(text, QStringLiteral("Please select .zip file first!"));
    QCOMPARE(style, QLatin1String(kBoxStyle));
    QVERIFY(view().button("startButton")->isEnabled());
    QVERIFY(!view().button("reButton_1")->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::stopBeforeAndBetweenBatches()
{
    windowWithUnpackedPackage();
    const MultiWindowView v = view();
    v.box(4)->setTitle(QStringLiteral("changed"));
    v.child<QLabel>(QStringLiteral("status_2"))->setText(QStringLiteral("x"));
    v.click("stopButton");
    QCOMPARE(v.status(), QStringLiteral("Stop download process ...\nStop process success !\n"));
    QCOMPARE(v.title(4), QStringLiteral("Board 4"));
    QVERIFY(v.child<QLabel>(QStringLiteral("status_2"))->text().isEmpty());

    QTest::ignoreMessage(QtDebugMsg, "Skip unzip the image.");
    v.click("startButton");
    QVERIFY(!v.button("startButton")->isEnabled());
    for (int n = 1; n <= 8; ++n)
        QVERIFY(v.child<QPushButton>(QStringLiteral("reButton_%1").arg(n))->isEnabled());
    QCOMPARE(window->findChildren<QProcess *>().size(), 8);
    v.click("stopButton");
    flushDeletes();
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    // Every later Start says the slots' flags are kept from earlier batches.
    for (int cycle = 0; cycle < 20; ++cycle) {
        QTest::ignoreMessage(QtDebugMsg, "Download process init failed! ");
        v.click("startButton");
        QCOMPARE(window->findChildren<QProcess *>().size(), 8);
        v.click("stopButton");
        flushDeletes();
    }
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QVERIFY(v.button("startButton")->isEnabled());
    QVERIFY(!v.button("reButton_8")->isEnabled());
}

void tst_MultiWindow::startReusesOnlyThisPackagesImages_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("said");
    QTest::newRow("stamped") << QString() << QStringLiteral("Images already unpacked from this package (");
    QTest::newRow("no stamp") << QString::fromLatin1(kPackageStampName)
                              << QStringLiteral("The unpacked images are not from this package: unpacking it "
                                                "again.\nPackage unpacked (");
    QTest::newRow("no folder") << QString() + QLatin1Char('.') << QStringLiteral("Package unpacked (");
}

void tst_MultiWindow::startReusesOnlyThisPackagesImages()
{
    QFETCH(QString, change);
    QFETCH(QString, said);
    windowWithUnpackedPackage();
    const QString images = folder->file(QStringLiteral("pkg/QuorBurnImage/"));
    if (change == QLatin1String("."))
        QVERIFY(QDir(images).removeRecursively());
    else if (!change.isEmpty())
        QVERIFY(QFile::remove(images + change));
    view().click("startButton");
    QVERIFY2(view().status().startsWith(said), qPrintable(view().status()));
    QCOMPARE(checkStamp(folder->file(QStringLiteral("pkg/images.zip")), images), StampCheck::Matches);
}

void tst_MultiWindow::brokenPackageIsReportedAndNothingStarts()
{
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QVERIFY(folder->writeFile(QStringLiteral("pkg/images.zip"),
                              QByteArray("this is no zip archive\n").repeated(50)));
    setLastPath2(folder->file(QStringLiteral("pkg/images.zip")));
    makeWindow();
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
    view().click("startButton");
    // The operator sees what went wrong and why nothing started; no half-made
    // folder is left to burn from, and no batch against it.
    const QString status = view().status();
    QVERIFY2(status.contains(QStringLiteral("not a readable zip")), qPrintable(status));
    QVERIFY2(status.contains(QStringLiteral("Start cancelled: the image package could not be unpacked.")),
             qPrintable(status));
    QCOMPARE(boxText, QStringLiteral("Unpacking the image package failed!"));
    QCOMPARE(boxStyle, QLatin1String(kBoxStyle));
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("pkg/QuorBurnImage"))));
    QVERIFY(view().button("startButton")->isEnabled());
    QVERIFY(!view().button("reButton_1")->isEnabled());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

void tst_MultiWindow::burstOfEventsSharesListings()
{
    // Thousands of events in one burst: listings are shared, the window goes
    // on answering, and what is bound, logged and launched is what one
    // listing of the final state gives.
    QByteArray ports;
    for (char n = '1'; n <= '8'; ++n)
        ports += portLine('2', n);
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), ports));
    windowWithUnpackedPackage();
    view().click("startButton");

    QElapsedTimer clock;
    clock.start();
    devices->burst(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("B")), 5000);
    devices->burst(DeviceEventSource::Kind::Removal, downloadDeviceName(QStringLiteral("B")), 5000);
    QVERIFY(clock.elapsed() < 5000); // the events themselves run no listing
    QVERIFY(settleListings());

    const QList<QByteArray> calls = folder->readFile(QStringLiteral("config/calls.log")).split('\n');
    QVERIFY2(calls.count("-r") <= 2, QByteArray::number(calls.count("-r")).constData());
    QTRY_COMPARE(view().downloadCount(), 8);
    // Bound once each, in reverse listing order.
    QVERIFY2(log().contains("USB Port removed: 2 8 2 7 2 6 2 5 2 4 2 3 2 2 2 1 \n"), log().constData());
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(view().title(n), QStringLiteral("Board %1->USB Port: 2,%2").arg(n).arg(9 - n));
}

void tst_MultiWindow::boardsPluggedWhileStartUnpacksAreLaunched()
{
    // A board plugged while Start unpacks (the progress dialog keeps the event
    // loop turning) is launched once Start has made the slot's process.
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3')));
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QByteArray noise(48 << 20, '\0');
    for (int i = 0; i < noise.size(); i += 4)
        noise[i] = char((i * 2654435761u) >> 24);
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("rootfs.img", noise)}));
    setLastPath2(zip);
    makeWindow();

    bool duringStart = false;
    QTimer::singleShot(0, window.get(), [&] {
        duringStart =
            !view().button("startButton")->isEnabled() && window->findChildren<QProcess *>().isEmpty();
        devices->burst(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("U1")), 1);
    });
    view().click("startButton");
    QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
    QVERIFY(settleListings());
    QTRY_COMPARE(view().downloadCount(), 1);
    QVERIFY2(view().status().contains(
                 QStringLiteral("Board 1 USB Port:1,3 insert!\nBoard 1 Start Downloading  ...")),
             qPrintable(view().status()));
}

void tst_MultiWindow::restartIdleAndRunning()
{
    windowWithUnpackedPackage();
    const MultiWindowView v = view();
    auto *status = v.child<QPlainTextEdit>(QStringLiteral("statusText"));
    v.click("startButton");
    status->clear();
    v.click("reButton_3");
    QCOMPARE(v.status(), QStringLiteral("Board 3 Please insert usb device again !\n"));

    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('1', '3')));
    devices->arrive(downloadDeviceName(QStringLiteral("S1")));
    QTRY_COMPARE(v.downloadCount(), 1);
    QCOMPARE(v.title(1), QStringLiteral("Board 1->USB Port: 1,3"));
    status->clear();
    v.click("reButton_1");
    QCOMPARE(v.status(), QStringLiteral("Board 1 Stop downloading ...\n"
                                        "Board 1 Stop downloading successfully !\n\n"
                                        "Board 1 Please insert usb device again !\n"));
    QTRY_COMPARE(v.downloadCount(), 0);
    QCOMPARE(v.title(1), QStringLiteral("Board 1->USB Port: 1,3")); // Restart changes no title

    // The stopped run left the slot busy: the board's next arrival launches it again.
    replug(QStringLiteral("S1"));
    QTRY_COMPARE(v.downloadCount(), 1);
    v.click("stopButton");
    QTRY_COMPARE(v.downloadCount(), 0);
}

void tst_MultiWindow::arrivalsBeforeStartLaunchNothing()
{
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('2', '1')));
    windowWithUnpackedPackage();
    devices->arrive(downloadDeviceName(QStringLiteral("B1")));
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    const QByteArray logged = log();
    QCOMPARE(logged, QByteArray("USB Port connected: 2 1 \nUSB Port removed: 2 1 \n"));
    // Foreign and storage names run no listing at all.
    const QByteArray calls = folder->readFile(QStringLiteral("config/calls.log"));
    devices->arrive(
        QStringLiteral("\\\\?\\USBSTOR#Disk&Ven_7352&Prod_1000#x#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"));
    devices->arrive(QStringLiteral("\\\\?\\USB#VID_1234&PID_1000#x#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
    devices->arrive(QString());
    QCOMPARE(folder->readFile(QStringLiteral("config/calls.log")), calls);
    QCOMPARE(log(), logged);

    // After Start the already bound port launches on its next appearance.
    view().click("startButton");
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), QByteArray()));
    devices->remove(downloadDeviceName(QStringLiteral("B1")));
    QCOMPARE(view().downloadCount(), 0);
    QVERIFY(folder->writeFile(QStringLiteral("config/ports"), portLine('2', '1')));
    devices->arrive(downloadDeviceName(QStringLiteral("B1")));
    QTRY_COMPARE(view().downloadCount(), 1);
    QCOMPARE(view().title(1), QStringLiteral("Board 1->USB Port: 2,1"));
}

void tst_MultiWindow::outputCutAnywhereIsWhole_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("line cut, nothing after the completion")
        << QByteArray("line")
        << QByteArray("[Board 1] updated size: 512/1024(50%)\n[Board 1] USB download complete\n");
    QTest::newRow("character cut")
        << QByteArray("char")
        << QByteArray(
               "[Board 1] Waiting for USB device connection: \xc3\xa9 ok\n[Board 1] USB download complete\n");
    QTest::newRow("line end cut")
        << QByteArray("crlf")
        << QByteArray("[Board 1] updated size: 1/2(0%)\n[Board 1] USB download complete\n");
    QTest::newRow("last line unfinished")
        << QByteArray("tail")
        << QByteArray("[Board 1] Waiting for USB device connection\n[Board 1] USB download complete\n");
}

void tst_MultiWindow::outputCutAnywhereIsWhole()
{
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, expected);
    qputenv("FAKE_TOOL_MODE", mode);
    windowWithUnpackedPackage();
    startAndPlug(QStringLiteral("C1"));
    QTRY_VERIFY(view().status().contains(QStringLiteral("Board 1 download complete!\n")));
    QTRY_COMPARE(view().downloadCount(), 0);
    QTRY_COMPARE(view().bar(1)->value(), 100);
    QCOMPARE(boardRecords(log()), expected);
}

void tst_MultiWindow::notFoundKillsAndTheNextRunStartsClean()
{
    qputenv("FAKE_TOOL_MODE", "notfound");
    windowWithUnpackedPackage();
    startAndPlug(QStringLiteral("N1"));
    QTRY_VERIFY(view().status().contains(QStringLiteral("Board 1 download failed! Please restart.\n")));
    // The kill is asked for at once; the process ends when the system has ended it.
    QTRY_COMPARE(view().downloadCount(), 0);
    QCOMPARE(view().bar(1)->styleSheet(), QStringLiteral("QProgressBar::chunk {background-color: red;}"));
    QCOMPARE(view().picture(1), MultiWindowView::resource(":/img/failed.png"));

    // The slot stayed busy, so the board's next arrival launches it; nothing
    // of the killed run's unfinished line is left to cut the new run's lines.
    qputenv("FAKE_TOOL_MODE", "tail");
    replug(QStringLiteral("N1"));
    QTRY_COMPARE(view().bar(1)->value(), 100);
    QCOMPARE(view().bar(1)->styleSheet(), QStringLiteral("QProgressBar {color: black;}"));
    QCOMPARE(view().picture(1), MultiWindowView::resource(":/img/success.png"));
    QCOMPARE(boardRecords(log()), QByteArray("[Board 1] usb device not found\n"
                                             "[Board 1] Waiting for USB device connection\n"
                                             "[Board 1] USB download complete\n"));
}

void tst_MultiWindow::closingKillsTransfers_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("close button") << true;
    QTest::newRow("window system") << false;
}

void tst_MultiWindow::closingKillsTransfers()
{
    QFETCH(bool, byButton);
    windowWithUnpackedPackage();
    window->show();
    startAndPlug(QStringLiteral("K1"));
    QTRY_COMPARE(view().downloadCount(), 1);
    const qint64 pid = view().downloads().first()->processId();
    QVERIFY(pidAlive(pid));
    if (byButton) {
        QTest::ignoreMessage(QtDebugMsg, "thread quit success");
        QTest::ignoreMessage(QtDebugMsg, "Window closed safely!");
        view().click("closeButton");
        flushDeletes();
        QVERIFY(window->findChildren<QProcess *>().isEmpty());
        QVERIFY(window->findChildren<QThread *>().isEmpty());
    } else {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Process 0 closed! State: ")));
        window->close();
        QVERIFY(window->findChild<QThread *>()->isFinished());
    }
    QVERIFY(!window->isVisible());
    QVERIFY(!pidAlive(pid));
    // A further close walks no destroyed process, nor does the destructor.
    window->show();
    window->close();
    window.reset();
}

QTEST_MAIN(tst_MultiWindow)
#include "tst_multiwindow.moc"
