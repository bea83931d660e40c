#include "multi/mainwindow.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"

// End to end on the simulated bench: the simulated tool as config/usb_dl.exe,
// boards plugged with usb_dl_bench, whose device events reach the window
// through the bench channel.
class tst_MultiE2E : public QObject
{
    Q_OBJECT
private slots:
    void eightBoardsOneFailingAndTheSuccessGuardOutlivesTheBatch()
    {
        const QString bin = qEnvironmentVariable("QUOR_BIN_DIR");
        QVERIFY2(QFileInfo(bin + "/usb_dl_bench").isExecutable(), "usb_dl_bench not built");
        WindowTestFolder folder;
        QVERIFY(folder.isValid() && folder.writeBoardConfig("CHIPX", "OSY"));
        QVERIFY(QFile::copy(bin + "/usb_dl", folder.file("config/usb_dl.exe")));
        QVERIFY(QDir().mkpath("bench") && QDir().mkpath("pkg"));
        qputenv("USB_DL_BENCH", folder.file("bench").toLocal8Bit());
        qputenv("USB_DL_SIM_DELAY_MS", "40");
        const QString zip = folder.file("pkg/images.zip"), images = folder.file("pkg/QuorBurnImage/");
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b')),
                                         ZipMaker::zipFile("parts/rootfs.img", QByteArray(100000, 'r'))}));
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "quor_combine", QString())
            .setValue("lastPath2", zip);
        const auto calls = [&] { return QString(folder.readFile("bench/calls.log")).split('\n'); };
        const auto downloads = [&] { return calls().filter("-c CHIPX ").size(); };

        // No device source given: the window takes the bench's, as the program does.
        MainWindow window;
        window.show();
        const MultiWindowView view(&window);
        view.click("startButton");
        QCOMPARE(folder.readFile("pkg/QuorBurnImage/parts/rootfs.img"), QByteArray(100000, 'r'));
        QVERIFY2(view.status().startsWith("Package unpacked ("), qPrintable(view.status()));

        // Board 6 fails beside seven that pass.
        for (int n = 1; n <= 8; ++n)
            QVERIFY(runBench({"plug", "2", QString::number(n), n == 6 ? "notfound" : "ok"}));
        for (int n = 1; n <= 8; ++n) {
            QTRY_VERIFY_WITH_TIMEOUT(
                view.status().contains(n == 6 ? "Board 6 download failed! Please restart.\n"
                                              : QString("Board %1 download complete!\n").arg(n)),
                60000);
            if (n != 6)
                QTRY_COMPARE(view.bar(n)->value(), 100);
            QCOMPARE(view.title(n), QString("Board %1->USB Port: 2,%1").arg(n));
            QCOMPARE(view.picture(n),
                     MultiWindowView::resource(n == 6 ? ":/img/failed.png" : ":/img/success.png"));
            QVERIFY(view.status().contains(
                QString("Board %1 USB Port:2,%1 insert!\nBoard %1 Start Downloading  ...\n").arg(n)));
            QVERIFY(calls().contains(QString("-c CHIPX -s OSY -i %1 -p 2,%2").arg(images).arg(n)));
        }
        QCOMPARE(view.bar(6)->styleSheet(), "QProgressBar::chunk {background-color: red;}");
        QCOMPARE(downloads(), 8);
        QVERIFY(folder.readFile("log_multiplex.txt")
                    .contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));

        // A second batch: the slot that completed in the first only re-arms on
        // its board's first return, and launches on the next.
        view.click("stopButton");
        view.click("startButton");
        QVERIFY(view.status().contains("Images already unpacked from this package ("));
        const int listings = calls().count("-r");
        QVERIFY(runBench({"unplug", "2", "3"}) && runBench({"plug", "2", "3", "ok"}));
        QTRY_COMPARE(calls().count("-r"), listings + 2);
        QTest::qWait(200);
        QCOMPARE(downloads(), 8);
        QCOMPARE(view.title(3), "Board 3");
        QVERIFY(runBench({"unplug", "2", "3"}) && runBench({"plug", "2", "3", "ok"}));
        QTRY_COMPARE_WITH_TIMEOUT(view.status().count("Board 3 download complete!"), 2, 60000);
        QCOMPARE(downloads(), 9);
        QCOMPARE(view.title(3), "Board 3->USB Port: 2,3");
        view.click("stopButton");
        qunsetenv("USB_DL_BENCH");
    }
};

QTEST_MAIN(tst_MultiE2E)
#include "tst_multi_e2e.moc"
