#include "multi/mainwindow.h"
#include "tests/multi/windowtestenv.h"
#include "tests/package/zipmaker.h"

// End to end on the simulated bench: the simulated tool as config/usb_dl.exe,
// boards plugged with usb_dl_bench, whose device events reach the window
// through the bench channel.
namespace {
QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR"));
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList port(const char *command, int number, const char *scenario = "ok")
{
    QStringList args{QLatin1String(command), QStringLiteral("2"), QString::number(number)};
    return command == QLatin1String("plug") ? args << QLatin1String(scenario) : args;
}
} // namespace

class tst_MultiE2E : public QObject
{
    Q_OBJECT
private slots:
    void eightBoardsOneFailingAndTheSuccessGuardOutlivesTheBatch();
};

void tst_MultiE2E::eightBoardsOneFailingAndTheSuccessGuardOutlivesTheBatch()
{
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl_bench")).isExecutable(), "usb_dl_bench not built");
    WindowTestFolder folder;
    QVERIFY(folder.isValid());
    QVERIFY(folder.writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    const QString tool = folder.file(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), tool));
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("bench"))));
    qputenv("USB_DL_BENCH", folder.file(QStringLiteral("bench")).toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "40");
    const QString zip = folder.file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("pkg"))));
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b')),
                                     ZipMaker::zipFile("parts/rootfs.img", QByteArray(100000, 'r'))}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);
    const QString images = folder.file(QStringLiteral("pkg/QuorBurnImage/"));
    auto calls = [&] { return lines(folder.readFile(QStringLiteral("bench/calls.log"))); };
    auto downloadCalls = [&] { return calls().filter(QStringLiteral("-c CHIPX ")); };

    // No device source given: the window takes the bench's, as the program does.
    MainWindow window;
    window.show();
    const MultiWindowView view(&window);
    view.click("startButton");
    QCOMPARE(folder.readFile(QStringLiteral("pkg/QuorBurnImage/parts/rootfs.img")), QByteArray(100000, 'r'));
    QVERIFY2(view.status().startsWith(QStringLiteral("Package unpacked (")), qPrintable(view.status()));

    // Board 6 fails beside seven that pass.
    for (int n = 1; n <= 8; ++n)
        QVERIFY(runBench(port("plug", n, n == 6 ? "notfound" : "ok")));
    for (int n = 1; n <= 8; ++n) {
        const QString end = n == 6 ? QStringLiteral("Board 6 download failed! Please restart.\n")
                                   : QStringLiteral("Board %1 download complete!\n").arg(n);
        QTRY_VERIFY_WITH_TIMEOUT(view.status().contains(end), 60000);
        if (n != 6)
            QTRY_COMPARE(view.bar(n)->value(), 100);
        QCOMPARE(view.title(n), QStringLiteral("Board %1->USB Port: 2,%1").arg(n));
        QCOMPARE(view.picture(n),
                 MultiWindowView::resource(n == 6 ? ":/img/failed.png" : ":/img/success.png"));
        QVERIFY(view.status().contains(
            QStringLiteral("Board %1 USB Port:2,%1 insert!\nBoard %1 Start Downloading  ...\n").arg(n)));
    }
    QVERIFY(!view.status().contains(QStringLiteral("Board 6 download complete!")));
    QCOMPARE(view.bar(6)->styleSheet(), QStringLiteral("QProgressBar::chunk {background-color: red;}"));
    QCOMPARE(calls().first(), QStringLiteral("-r"));
    QStringList expectedCalls;
    for (int n = 1; n <= 8; ++n)
        expectedCalls << QStringLiteral("-c CHIPX -s OSY -i %1 -p 2,%2").arg(images).arg(n);
    QStringList downloads = downloadCalls();
    downloads.sort();
    QCOMPARE(downloads, expectedCalls);
    const QByteArray log = folder.readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY(log.contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));

    // Every line the tool printed is in the run log, in order, with the slot's prefix.
    QProcess replay;
    replay.setProcessChannelMode(QProcess::MergedChannels);
    replay.start(tool, {QStringLiteral("-c"), QStringLiteral("A"), QStringLiteral("-s"), QStringLiteral("B"),
                        QStringLiteral("-i"), images, QStringLiteral("-p"), QStringLiteral("2,5")});
    QVERIFY(replay.waitForFinished(30000));
    QStringList expected = QString::fromUtf8(replay.readAll()).split(QStringLiteral("\r\n"));
    QVERIFY(expected.size() > 40 && expected.takeLast().isEmpty());
    for (QString &line : expected)
        line.prepend(QStringLiteral("[Board 5] "));
    QCOMPARE(lines(log).filter(QStringLiteral("[Board 5]")), expected);

    // A second batch: the slot that completed in the first only re-arms on
    // its board's first return, and launches on the next.
    view.click("stopButton");
    view.click("startButton");
    QVERIFY(view.status().contains(QStringLiteral("Images already unpacked from this package (")));
    const int listings = calls().count(QStringLiteral("-r"));
    QVERIFY(runBench(port("unplug", 3)));
    QVERIFY(runBench(port("plug", 3)));
    QTRY_COMPARE(calls().count(QStringLiteral("-r")), listings + 2);
    QTest::qWait(200);
    QCOMPARE(downloadCalls().size(), 8);
    QCOMPARE(view.title(3), QStringLiteral("Board 3"));
    QVERIFY(runBench(port("unplug", 3)));
    QVERIFY(runBench(port("plug", 3)));
    QTRY_COMPARE_WITH_TIMEOUT(view.status().count(QStringLiteral("Board 3 download complete!")), 2, 60000);
    QCOMPARE(downloadCalls().size(), 9);
    QCOMPARE(view.title(3), QStringLiteral("Board 3->USB Port: 2,3"));
    view.click("stopButton");
    qunsetenv("USB_DL_BENCH");
}

QTEST_MAIN(tst_MultiE2E)
#include "tst_multi_e2e.moc"
