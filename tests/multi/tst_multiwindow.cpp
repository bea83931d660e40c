#include "boxanswerer.h"
#include "faketool.h"
#include "minisigner.h"
#include "multi/mainwindow.h"
#include "package/packageextractor.h"
#include "package/packagestamp.h"
#include "testfiles.h"
#include "windowtestenv.h"
#include "zipmaker.h"

#include <memory>

#include <signal.h>

namespace {
const QString kBoxStyle = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
using Kind = DeviceEventSource::Kind;

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
    // Unpacked (stamp included) after the window removed the stale folder: Start skips unpacking.
    void windowWithUnpackedPackage()
    {
        QVERIFY(folder->rememberPackage({ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))}));
        makeWindow();
        unpackPackage(zip(), folder->file("pkg/QuorBurnImage/"));
    }
    // Clicks Start, which must refuse: the message box's text and style.
    QString refusedStart()
    {
        const BoxAnswerer boxes; // the unpack's progress dialog is modal too: it waits for the box
        view().click("startButton");
        const QString shown = boxes.texts.join("") + boxes.styleSheets.join("");
        bool idle = view().button("startButton")->isEnabled();
        for (const QProcess *process : window->findChildren<QProcess *>()) // port listings come and go
            idle = idle && process->arguments() == QStringList{"-r"};
        return idle ? shown : shown + " and started";
    }

private slots:
    void init()
    {
        window.reset();
        folder.reset();
        folder = std::make_unique<WindowTestFolder>();
        QVERIFY(folder->isValid() && QDir().mkpath("pkg") && folder->writeBoardConfig("CHIPX", "OSY"));
        QVERIFY(folder->installScript(kFakeTool));
        devices = std::make_unique<ScriptedDeviceSource>();
        qputenv("FAKE_TOOL_OUTPUT", "Waiting for USB device connection\r\n|hang");
    }

    // The package chosen, forgotten and chosen again, and what stands in the unpack folder's place: an
    // operator's file stays and stops Start; a link is removed as a link (its target untouched).
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
        QVERIFY(view().status().contains("Start cancelled: the image package could not be unpacked.") &&
                !exists("pkg/QuorBurnImage"));
        // Chosen again: remembered, and the stale folder made since removed.
        QVERIFY(QDir().mkpath(folder->file("pkg/QuorBurnImage")));
        view().click("browserButton");
        QVERIFY(!exists("pkg/QuorBurnImage") && lastPath2() == zip());
        // Cancelled: the package is forgotten, nothing removed, and Start refuses.
        answer.clear();
        view().click("browserButton");
        QCOMPARE(asked, (QStringList{"Select Zip File.", folder->path(), "Zip Files (*.zip)"}));
        QVERIFY(zipDir->toPlainText().isEmpty() && lastPath2().toString().isEmpty());
        QVERIFY(exists("QuorBurnImage/keep"));
        QCOMPARE(refusedStart(), "Please select .zip file first!" + kBoxStyle);

        answer = zip();
        QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("boot.img", QByteArray(64, 'b'))}));
        QVERIFY(folder->writeFile("pkg/QuorBurnImage", "operator's notes"));
        view().click("browserButton");
        QCOMPARE(refusedStart(), "A file named QuorBurnImage is in the way!" + kBoxStyle);
        QVERIFY(view().status().contains("A file named QuorBurnImage is in the way of the unpack folder: " +
                                         folder->file("pkg/QuorBurnImage")));
        QCOMPARE(folder->readFile("pkg/QuorBurnImage"), QByteArray("operator's notes"));
        QVERIFY(QFile::remove(folder->file("pkg/QuorBurnImage")) &&
                folder->writeFile("elsewhere/keep.img", "k"));
        QVERIFY(QFile::link(folder->file("elsewhere"), folder->file("pkg/QuorBurnImage")));
        QCOMPARE(refusedStart(), QStringLiteral(" and started")); // no box
        QCOMPARE(window->findChildren<QProcess *>().size(), 8);
        QVERIFY(!QFileInfo(folder->file("pkg/QuorBurnImage")).isSymLink());
        QVERIFY(exists("pkg/QuorBurnImage/boot.img") && exists("elsewhere/keep.img") &&
                !exists("elsewhere/boot.img"));
    }

    void startReusesOnlyThisPackagesImages_data()
    {
        QTest::addColumn<QString>("removed");
        QTest::addColumn<QString>("said");
        QTest::newRow("stamped") << QString() << "Images already unpacked from this package (";
        QTest::newRow("no stamp") << QString(kPackageStampName)
                                  << "The unpacked images are not from this package: unpacking it again.\n"
                                     "Package unpacked (";
        // The package itself replaced after its folder was unpacked and stamped.
        QTest::newRow("package replaced")
            << "images.zip"
            << "The unpacked images are not from this package: unpacking it again.\n"
               "Package unpacked (";
    }
    void startReusesOnlyThisPackagesImages()
    {
        QFETCH(QString, removed);
        QFETCH(QString, said);
        windowWithUnpackedPackage();
        const QString images = folder->file("pkg/QuorBurnImage/");
        if (removed == "images.zip")
            QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("boot.img", QByteArray(8192, 'x'))}));
        else
            QVERIFY(removed.isEmpty() || QDir(images).remove(removed));
        view().click("startButton");
        QVERIFY2(view().status().startsWith(said), qPrintable(view().status()));
        QCOMPARE(checkStamp(zip(), images), StampCheck::Matches);
        QCOMPARE(folder->readFile("pkg/QuorBurnImage/boot.img"),
                 removed == "images.zip" ? QByteArray(8192, 'x') : QByteArray(64, 'b'));
    }

    // Start checks the package's signature (key A trusted, Require=true) before
    // anything is unpacked or launched, and the package's digest while it is
    // unpacked; a refusal leaves Start available and the folder as it was.
    void startChecksTheSignature_data()
    {
        QTest::addColumn<QString>("signedBy"); // key A (trusted) or C (not)
        QTest::addColumn<bool>("changed");     // the package changed after signing
        QTest::addColumn<QString>("said");     // %A, %C: the keys' ids
        QTest::addColumn<bool>("refused");
        QTest::newRow("signed") << "A" << false << "Package signed by %A: release 9" << false;
        QTest::newRow("key not trusted")
            << "C" << false << "Start refused: Package is signed by key %C, which is not trusted." << true;
        QTest::newRow("changed after signing")
            << "A" << true
            << "Start refused: Package does not match its signature by %A: it was changed after signing."
            << true;
    }
    void startChecksTheSignature()
    {
        QFETCH(QString, signedBy);
        QFETCH(bool, changed);
        QFETCH(QString, said);
        QFETCH(bool, refused);
        const MiniSigner keyA(folder->path(), "a"), keyC(folder->path(), "c");
        QVERIFY(keyA.isValid() && keyC.isValid());
        QVERIFY(folder->writeBoardConfig("X", "Y",
                                         "[Signing]\nTrusted_Keys=" + keyA.publicKey() + "\nRequire=true\n"));
        QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}));
        QVERIFY((signedBy == "A" ? keyA : keyC).sign(zip(), "release 9"));
        if (changed)
            QVERIFY(ZipMaker::writeZip(zip(), {ZipMaker::zipFile("boot.img", QByteArray(4096, 'c'))}));
        said.replace("%A", keyA.keyId()).replace("%C", keyC.keyId());
        lastPath2(zip());
        makeWindow();
        setPorts(kPort13); // a board plugged during Start waits for a Start that succeeds
        QTimer::singleShot(0, window.get(),
                           [this] { devices->send(Kind::Arrival, downloadDeviceName("P1")); });
        QCOMPARE(refusedStart(), refused ? said + kBoxStyle : QString(" and started"));
        QVERIFY2(view().status().contains(said), qPrintable(view().status()));
        QCOMPARE(exists("pkg/QuorBurnImage"), !refused);
        QVERIFY(settleListings());
        QCOMPARE(view().downloadCount(), refused ? 0 : 1);
    }

    // Closed by its button or by the window system while the tool's unfinished
    // last line says "not found": ended by the close, that line must not be
    // acted on (its process is already gone from the slot).
    void closingKillsTransfers_data()
    {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("close button") << true;
        QTest::newRow("window system") << false;
    }
    void closingKillsTransfers()
    {
        QFETCH(bool, byButton);
        qputenv("FAKE_TOOL_OUTPUT", "Waiting for USB device connection\r\nusb device not found|spawn");
        windowWithUnpackedPackage();
        view().click("startButton");
        setPorts(kPort13);
        devices->send(Kind::Arrival, downloadDeviceName("P1"));
        window->show();
        QTRY_COMPARE(view().downloadCount(), 1);
        // The chunk is read: an unfinished last line waits in the slot.
        QTRY_VERIFY(log().contains("[Board 1] Waiting for USB device connection"));
        const auto pid = static_cast<pid_t>(view().downloads().first()->processId());
        QTRY_VERIFY(folder->readFile("config/helper.pid").endsWith('\n'));
        const qint64 helper = folder->readFile("config/helper.pid").trimmed().toLongLong();
        QVERIFY(TestFiles::processAlive(helper));
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
        // The tool's last line is logged but not acted on: the board was stopped, not failed.
        QVERIFY(log().contains("[Board 1] usb device not found"));
        QVERIFY2(!view().status().contains("download failed"), qPrintable(view().status()));
        QTRY_VERIFY(!TestFiles::processAlive(helper)); // the tool's helper ends with it
        // A further close walks no destroyed process, nor does the destructor.
        window->show();
        window->close();
        window.reset();
    }
};

QTEST_MAIN(tst_MultiWindow)
#include "tst_multiwindow.moc"
