#include "boxanswerer.h"
#include "faultbench.h"
#include "multi/mainwindow.h"
#include "zipmaker.h"

#include <QMessageBox>
#include <QtTest>

#include <memory>

// Faults met by the multi-board window on the simulated bench, with real
// processes: tools that crash, babble or flood, start/stop cycles with running
// tools, and a hostile package at Start. The window must stay usable,
// show what happened, log every line the tool printed to "log_multiplex.txt",
// and leave no process, descriptor or stray file behind.
using namespace Faults;
using namespace ZipMaker;

class tst_FaultsMulti : public QObject
{
    Q_OBJECT
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<MainWindow> window;

    MultiWindowView view() const { return MultiWindowView(window.get()); }
    bool plug(const char *scenario) { return runBench({"plug", "1", "4", scenario}); }
    QByteArray log() const { return folder->readFile("log_multiplex.txt"); }

private slots:
    void init()
    {
        folder = std::make_unique<WindowTestFolder>();
        QVERIFY(!folder->setUpBench().isEmpty());
        window = std::make_unique<MainWindow>();
        window->show();
        new BoxAnswerer(window.get()); // a refused Start shows a box
    }

    void cleanup()
    {
        if (window)
            view().click("stopButton");
        window.reset();
        QTRY_VERIFY_WITH_TIMEOUT(childProcesses().isEmpty(), 20000);
        folder.reset();
    }

    void toolOutputIsLoggedWhole_data()
    {
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<bool>("completes");
        QTest::newRow("crash after five steps") << QByteArray("crash") << false;
        QTest::newRow("binary bytes, NULs, invalid UTF-8") << QByteArray("garbage") << true;
        QTest::newRow("flood of 100,000 lines") << QByteArray("flood") << true;
        QTest::newRow("50 MiB without a line break") << QByteArray("longline") << true;
    }

    void toolOutputIsLoggedWhole()
    {
        QFETCH(QByteArray, scenario);
        QFETCH(bool, completes);
        view().click("startButton");
        LatencyProbe probe;
        QVERIFY(plug(scenario.constData()));
        QTRY_COMPARE_WITH_TIMEOUT(view().downloadCount(), 0, 120000);
        QTRY_COMPARE(view().status().contains("Board 1 download complete!\n"), completes);
        QTRY_COMPARE(view().bar(1)->value() == 100, completes);
        QCOMPARE(view().picture(1) == MultiWindowView::resource(":/img/success.png"), completes);
        // The window answers throughout (a bound far above a loaded machine's pauses); a line
        // without an end is handled in one go when its end comes.
        QVERIFY2(probe.ticks > 2 && (scenario == "longline" || probe.longest < 2500),
                 qPrintable(QString::number(probe.longest)));
        QVERIFY(view().status().size() < 4096);
        const QString dir = folder->configDir();
        const QByteArray output =
            replay(dir + "usb_dl.exe", {"-c", "CHIPX", "-s", "OSY", "-i", dir, "-p", "1,4"}, dir);
        QVERIFY(output.contains("updated size"));
        QVERIFY(log().contains(expectedLogRecords(output, "[Board 1] "))); // QCOMPARE would print 50 MiB
    }

    void fiftyStartStopCyclesWithRunningTools()
    {
        QVERIFY(plug("hang"));
        int fdsBefore = 0;
        for (int cycle = 0; cycle < 50; ++cycle) {
            view().click("startButton");
            QVERIFY(!view().button("startButton")->isEnabled() && view().button("reButton_8")->isEnabled());
            QVERIFY(runBench({"unplug", "1", "4"}) && plug("hang"));
            // The waiting line is read before the transfer is stopped.
            QTRY_COMPARE_WITH_TIMEOUT(log().count("[Board 1] Waiting for USB device connection"), cycle + 1,
                                      20000);
            QCOMPARE(view().downloadCount(), 1);
            view().click("stopButton");
            QCOMPARE(view().downloadCount(), 0);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (cycle == 0) { // once the record writer has opened its database
                QTRY_VERIFY(QFileInfo::exists("records.sqlite"));
                fdsBefore = openFdCount();
            }
        }
        QVERIFY(window->findChildren<QProcess *>().isEmpty());
        QVERIFY(view().button("startButton")->isEnabled() && !view().button("reButton_8")->isEnabled());
        QVERIFY(view().status().endsWith("Stop download process ...\nStop process success !\n"));
        QTRY_VERIFY_WITH_TIMEOUT(childProcesses().isEmpty(), 20000);
        // Pipes close as deletions come round, seconds on a loaded machine; the
        // database may hold a journal open. A descriptor lost per cycle: 49 more.
        QTRY_VERIFY2_WITH_TIMEOUT(openFdCount() <= fdsBefore + 2,
                                  qPrintable(QString::number(openFdCount() - fdsBefore)), 30000);
    }

    // An entry pointing outside the unpack folder is skipped and named, the rest unpacked, nothing
    // written outside; Stop, a sound package, and Start unpacks it. Every other hostile or damaged
    // package, a full disk included, is the extractor's tests' (a refused Start: tst_multiwindow's).
    void hostilePackage()
    {
        QVERIFY(folder->writeFile(
            "pkg/images.zip", raw({rawFile("../outside/evil.img", "evil"), rawFile("good.img", "good")})));
        view().click("startButton");
        QVERIFY2(
            view().status().contains("Skipped unsafe path in package (\"..\" in path): ../outside/evil.img"),
            qPrintable(view().status()));
        const QMap<QString, QByteArray> tree = ZipMaker::tree(folder->file("pkg"));
        QCOMPARE(QStringList(tree.keys()).join(' '),
                 "QuorBurnImage QuorBurnImage/.quor-package-stamp QuorBurnImage/good.img images.zip");
        QCOMPARE(tree.value("QuorBurnImage/good.img"), QByteArray("good"));
        view().click("stopButton");
        QVERIFY(writeZip(folder->file("pkg/images.zip"), {zipFile("boot.img", "boot")}));
        view().click("startButton");
        QCOMPARE(fileContent(folder->file("pkg/QuorBurnImage/boot.img")), QByteArray("boot"));
        QCOMPARE(window->findChildren<QProcess *>().size(), 8);
    }
};

QTEST_MAIN(tst_FaultsMulti)
#include "tst_faults_multi.moc"
