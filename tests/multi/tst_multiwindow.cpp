#include "../package/zipmaker.h"
#include "multi/mainwindow.h"
#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "windowtestenv.h"

#include <memory>

#include <signal.h>

namespace {
// Stand-in for the download tool: lists the ports in config/ports and plays
// the run FAKE_TOOL_MODE names, its output cut at awkward places.
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
const QByteArray kPort13 = "dev, portlevel1, portnum3\r\n";
const QString kBoxStyle = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
using Kind = DeviceEventSource::Kind;

QVariant lastPath2(const QVariant &set = {})
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "quor_combine", QString());
    if (set.isValid())
        settings.setValue("lastPath2", set);
    return settings.value("lastPath2");
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
} // namespace

class tst_MultiWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<ScriptedDeviceSource> devices;
    std::unique_ptr<MainWindow> window;

    MultiWindowView view() const { return MultiWindowView(window.get()); }
    QString zip() const { return folder->file("pkg/images.zip"); }
    bool exists(const char *path) const { return QFileInfo::exists(folder->file(path)); }
    QByteArray log() const { return folder->readFile("log_multiplex.txt"); }
    void setPorts(const QByteArray &ports) { QVERIFY(folder->writeFile("config/ports", ports)); }
    void makeWindow(MainWindow::ZipChooser chooser = {})
    {
        window = std::make_unique<MainWindow>(nullptr, devices.get(), std::move(chooser));
    }
    // The window is built first (it removes a stale image folder), then the
    // package unpacked with its stamp, so Start skips unpacking.
    void windowWithUnpackedPackage()
    {
        QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))}));
        lastPath2(zip());
        makeWindow();
        unpackPackage(zip(), folder->file("pkg/QuorBurnImage/"));
    }
    void replug(const QString &serial)
    {
        setPorts({});
        devices->send(Kind::Removal, downloadDeviceName(serial));
        setPorts(kPort13);
        devices->send(Kind::Arrival, downloadDeviceName(serial));
    }
    void startAndPlug(const char *mode)
    {
        qputenv("FAKE_TOOL_MODE", mode);
        windowWithUnpackedPackage();
        view().click("startButton");
        replug("P1");
    }
    // Clicks Start, which must refuse: the message box's text and style, and
    // whether anything started.
    QString refusedStart()
    {
        QString shown;
        QTimer poll; // the unpack's progress dialog is modal too: wait for the box
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown = box->text() + box->styleSheet();
                box->accept();
            }
        });
        poll.start(20);
        view().click("startButton");
        const bool idle = window->findChildren<QProcess *>().isEmpty() &&
                          view().button("startButton")->isEnabled() &&
                          !view().button("reButton_1")->isEnabled();
        return idle ? shown : shown + " and started";
    }

private slots:
    void init()
    {
        folder = std::make_unique<WindowTestFolder>();
        QVERIFY(folder->isValid() && QDir().mkpath(folder->file("pkg")));
        QVERIFY(folder->writeBoardConfig("CHIPX", "OSY"));
        QVERIFY(folder->writeFile("config/usb_dl.exe", kFakeTool));
        QVERIFY(QFile::setPermissions(folder->file("config/usb_dl.exe"),
                                      QFileDevice::ExeOwner | QFileDevice::ReadOwner));
        devices = std::make_unique<ScriptedDeviceSource>();
        qunsetenv("FAKE_TOOL_MODE");
    }
    void cleanup()
    {
        window.reset();
        devices.reset();
        folder.reset();
    }

    void packageChoiceAndRefusedStarts()
    {
        QVERIFY(QDir().mkpath(folder->file("pkg/QuorBurnImage/sub")) && QDir().mkpath("QuorBurnImage/keep"));
        QVERIFY(folder->writeFile("log_multiplex.txt", "[Board 1] from an earlier run\n"));
        QVERIFY(folder->writeFile("pkg/images.zip", QByteArray("this is no zip archive\n").repeated(50)));
        lastPath2(zip());
        QStringList asked;
        QString answer = zip();
        makeWindow([&](QWidget *, const QString &caption, const QString &dir, const QString &filter) {
            asked = QStringList{caption, dir, filter};
            return answer;
        });
        // The remembered package is shown; its stale image folder and the old run log are gone.
        auto *zipDir = view().child<QTextEdit>("zipFileDir");
        QCOMPARE(zipDir->toPlainText(), zip());
        QVERIFY(!exists("pkg/QuorBurnImage") && !exists("log_multiplex.txt"));
        // It cannot be unpacked: the operator is told, no half-made folder is left.
        QCOMPARE(refusedStart(), "Unpacking the image package failed!" + kBoxStyle);
        QVERIFY(view().status().contains("Start cancelled: the image package could not be unpacked."));
        QVERIFY(!exists("pkg/QuorBurnImage"));
        // Chosen again: remembered, and the stale folder made since removed.
        QVERIFY(QDir().mkpath(folder->file("pkg/QuorBurnImage")));
        view().click("browserButton");
        QCOMPARE(asked, (QStringList{"Select Zip File.", folder->path(), "Zip Files (*.zip)"}));
        QVERIFY(!exists("pkg/QuorBurnImage") && lastPath2() == zip());
        // Cancelled: the package is forgotten, nothing removed, and Start refuses.
        answer.clear();
        view().click("browserButton");
        QVERIFY(zipDir->toPlainText().isEmpty() && lastPath2().toString().isEmpty());
        QVERIFY(exists("QuorBurnImage/keep"));
        QCOMPARE(refusedStart(), "Please select .zip file first!" + kBoxStyle);
    }

    void startReusesOnlyThisPackagesImages_data()
    {
        QTest::addColumn<QString>("removed");
        QTest::addColumn<QString>("said");
        QTest::newRow("stamped") << QString() << "Images already unpacked from this package (";
        QTest::newRow("no stamp") << QString(kPackageStampName)
                                  << "The unpacked images are not from this package: unpacking it again.\n"
                                     "Package unpacked (";
        QTest::newRow("no folder") << "."
                                   << "Package unpacked (";
    }
    void startReusesOnlyThisPackagesImages()
    {
        QFETCH(QString, removed);
        QFETCH(QString, said);
        windowWithUnpackedPackage();
        const QString images = folder->file("pkg/QuorBurnImage/");
        QVERIFY(removed.isEmpty() || QDir(images).remove(removed) || QDir(images).removeRecursively());
        view().click("startButton");
        QVERIFY2(view().status().startsWith(said), qPrintable(view().status()));
        QCOMPARE(checkStamp(zip(), images), StampCheck::Matches);
    }

    void stopAndStartCycles()
    {
        windowWithUnpackedPackage();
        const MultiWindowView v = view();
        v.click("stopButton");
        QCOMPARE(v.status(), "Stop download process ...\nStop process success !\n");
        QTest::ignoreMessage(QtDebugMsg, "Skip unzip the image.");
        for (int cycle = 0; cycle < 20; ++cycle) {
            if (cycle > 0) // later batches keep the slots' flags from earlier ones
                QTest::ignoreMessage(QtDebugMsg, "Download process init failed! ");
            v.click("startButton");
            QVERIFY(!v.button("startButton")->isEnabled() && v.button("reButton_8")->isEnabled());
            QCOMPARE(window->findChildren<QProcess *>().size(), 8);
            v.click("stopButton");
            QTRY_VERIFY(window->findChildren<QProcess *>().isEmpty());
        }
        QVERIFY(v.button("startButton")->isEnabled() && !v.button("reButton_8")->isEnabled());
    }

    void burstOfEventsSharesListings()
    {
        // Eight boards, bound on first sight in reverse listing order; the
        // burst shares listings and the window acts on the final state.
        QByteArray ports;
        for (char n = '1'; n <= '8'; ++n)
            ports += QByteArray("dev, portlevel2, portnum") + n + "\r\n";
        setPorts(ports);
        windowWithUnpackedPackage();
        view().click("startButton");
        devices->send(Kind::Arrival, downloadDeviceName("B"), 5000, false);
        devices->send(Kind::Removal, downloadDeviceName("B"), 5000);
        QVERIFY(folder->readFile("config/calls.log").split('\n').count("-r") <= 2);
        QTRY_COMPARE(view().downloadCount(), 8);
        QVERIFY2(log().contains("USB Port removed: 2 8 2 7 2 6 2 5 2 4 2 3 2 2 2 1 \n"), log().constData());
        QCOMPARE(view().title(8), "Board 8->USB Port: 2,1");
    }

    void boardPluggedWhileStartUnpacksIsLaunched()
    {
        // The unpack's progress dialog keeps the event loop turning.
        setPorts(kPort13);
        QByteArray noise(48 << 20, '\0');
        for (int i = 0; i < noise.size(); i += 4)
            noise[i] = char((i * 2654435761u) >> 24);
        QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("rootfs.img", noise)}));
        lastPath2(zip());
        makeWindow();
        bool duringStart = false;
        QTimer::singleShot(0, window.get(), [&] {
            duringStart =
                !view().button("startButton")->isEnabled() && window->findChildren<QProcess *>().isEmpty();
            devices->send(Kind::Arrival, downloadDeviceName("U1"), 1, false);
        });
        view().click("startButton");
        QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
        QVERIFY(settleListings());
        QTRY_COMPARE(view().downloadCount(), 1);
        QVERIFY(view().status().contains("Board 1 USB Port:1,3 insert!\nBoard 1 Start Downloading  ..."));
    }

    void arrivalsBeforeStartAndRestart()
    {
        setPorts(kPort13);
        windowWithUnpackedPackage();
        const MultiWindowView v = view();
        // Before Start a board is bound and logged, nothing launched; a
        // storage device runs no listing.
        devices->send(Kind::Arrival, downloadDeviceName("S1"));
        devices->send(Kind::Arrival, "\\\\?\\USBSTOR#Disk&Ven_7352&Prod_1000#x#{53F56307-B6BF-11D0}");
        QVERIFY(window->findChildren<QProcess *>().isEmpty());
        QCOMPARE(log(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"));
        QCOMPARE(folder->readFile("config/calls.log"), QByteArray("-r\n"));
        auto *status = v.child<QPlainTextEdit>("statusText");
        v.click("startButton");
        replug("S1");
        QTRY_COMPARE(v.downloadCount(), 1);
        QCOMPARE(v.title(1), "Board 1->USB Port: 1,3");
        status->clear();
        v.click("reButton_1");
        QCOMPARE(v.status(), "Board 1 Stop downloading ...\nBoard 1 Stop downloading successfully !\n\n"
                             "Board 1 Please insert usb device again !\n");
        QTRY_COMPARE(v.downloadCount(), 0);
        // The stopped slot stays busy: the board's next arrival launches it again.
        replug("S1");
        QTRY_COMPARE(v.downloadCount(), 1);
    }

    void outputCutAnywhereIsWhole_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray waiting = "[Board 1] Waiting for USB device connection\n";
        const QByteArray done = "[Board 1] USB download complete\n";
        QTest::newRow("line cut, nothing after completion")
            << QByteArray("line") << "[Board 1] updated size: 512/1024(50%)\n" + done;
        QTest::newRow("character cut")
            << QByteArray("char") << "[Board 1] Waiting for USB device connection: \xc3\xa9 ok\n" + done;
        QTest::newRow("line end cut") << QByteArray("crlf") << "[Board 1] updated size: 1/2(0%)\n" + done;
        QTest::newRow("last line unfinished") << QByteArray("tail") << waiting + done;
        // A board not found is killed; nothing of its unfinished line is left
        // to cut the next run's lines.
        QTest::newRow("after a killed run")
            << QByteArray("notfound") << "[Board 1] usb device not found\n" + waiting + done;
    }
    void outputCutAnywhereIsWhole()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, expected);
        startAndPlug(mode);
        if (mode == "notfound") {
            QTRY_VERIFY(view().status().contains("Board 1 download failed! Please restart.\n"));
            QTRY_COMPARE(view().downloadCount(), 0);
            QCOMPARE(view().picture(1), MultiWindowView::resource(":/img/failed.png"));
            qputenv("FAKE_TOOL_MODE", "tail");
            replug("P1");
        }
        QTRY_VERIFY(view().status().contains("Board 1 download complete!\n"));
        QTRY_COMPARE(view().downloadCount(), 0);
        QTRY_COMPARE(view().bar(1)->value(), 100);
        QCOMPARE(view().bar(1)->styleSheet(), "QProgressBar {color: black;}");
        QCOMPARE(view().picture(1), MultiWindowView::resource(":/img/success.png"));
        QCOMPARE(boardRecords(log()), expected);
    }

    void closingKillsTransfers_data()
    {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("close button") << true;
        QTest::newRow("window system") << false;
    }
    void closingKillsTransfers()
    {
        QFETCH(bool, byButton);
        startAndPlug("hang");
        window->show();
        QTRY_COMPARE(view().downloadCount(), 1);
        const auto pid = static_cast<pid_t>(view().downloads().first()->processId());
        QCOMPARE(::kill(pid, 0), 0);
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression(byButton ? "thread quit success" : "^Process 0 closed!"));
        if (byButton) {
            QTest::ignoreMessage(QtDebugMsg, "Window closed safely!");
            view().click("closeButton");
            QTRY_VERIFY(window->findChildren<QProcess *>().isEmpty() &&
                        window->findChildren<QThread *>().isEmpty());
        } else {
            window->close();
            QVERIFY(window->findChild<QThread *>()->isFinished());
        }
        QVERIFY(!window->isVisible() && ::kill(pid, 0) != 0);
        // A further close walks no destroyed process, nor does the destructor.
        window->show();
        window->close();
        window.reset();
    }
};

QTEST_MAIN(tst_MultiWindow)
#include "tst_multiwindow.moc"
