#include "multi/mainwindow.h"
#include "windowtestenv.h"
#include "zipmaker.h"

// End to end on the simulated bench: the simulated tool as config/usb_dl.exe,
// boards plugged with usb_dl_bench, whose device events reach the window
// through the bench channel.
class tst_MultiE2E : public QObject
{
    Q_OBJECT
private slots:
    void eightBoardsOneFailing()
    {
        WindowTestFolder folder;
        QVERIFY(!folder.setUpBench().isEmpty());
        qputenv("USB_DL_SIM_DELAY_MS", "40");
        QVERIFY(folder.rememberPackage({ZipMaker::zipFile("boot.img", QByteArray(4096, 'b')),
                                        ZipMaker::zipFile("parts/rootfs.img", QByteArray(100000, 'r'))}));
        const QString images = folder.file("pkg/QuorBurnImage/");
        const auto calls = [&] { return QString(folder.readFile("bench/calls.log")).split('\n'); };

        // No device source given: the window takes the bench's, as the program does.
        MainWindow window;
        window.show();
        const MultiWindowView view(&window);
        view.click("startButton");

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
            QVERIFY(calls().contains(QString("-c CHIPX -s OSY -i %1 -p 2,%2").arg(images).arg(n)));
        }
        QCOMPARE(view.bar(6)->styleSheet(), "QProgressBar::chunk {background-color: red;}");
        QCOMPARE(calls().filter("-c CHIPX ").size(), 8);
        QVERIFY(folder.readFile("log_multiplex.txt")
                    .contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));

        view.click("stopButton");
    }
};

QTEST_MAIN(tst_MultiE2E)
#include "tst_multi_e2e.moc"
