#include "../multi/windowtestenv.h"
#include "../package/zipmaker.h"
#include "faultbench.h"
#include "multi/mainwindow.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <memory>

// Faults of the tool, the bench and the working folder met by the multi-board
// window on the simulated bench, with real processes. Each case checks that
// the window survives and stays usable, that the operator sees what the
// window's behaviour says, and that every line the tool printed (up to where
// reading stops) is in "log_multiplex.txt".
namespace {

using namespace Faults;

QString boxName(int n)
{
    return n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n);
}

void flushDeletes()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

// The log without the port records (listing and registration lines).
QByteArray boardRecords(const QByteArray &log, const QByteArray &prefix)
{
    // Records may hold line feeds of their own (binary output); a record
    // starts where a line feed is followed by a known record label.
    QByteArray out;
    int from = 0;
    while (from < log.size()) {
        int end = from;
        for (;;) {
            end = log.indexOf('\n', end);
            if (end < 0) {
                end = log.size() - 1;
                break;
            }
            const QByteArray next = log.mid(end + 1, 10);
            if (end + 1 >= log.size() || next.startsWith("[Board ") || next.startsWith("USB Port "))
                break;
            ++end;
        }
        const QByteArray record = log.mid(from, end + 1 - from);
        if (record.startsWith(prefix))
            out += record;
        from = end + 1;
    }
    return out;
}

} // namespace

class tst_FaultsMulti : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void toolMissingFromConfig();
    void toolCrashesMidRun();
    void hangingToolStopRestartAndClose();
    void floodKeepsWindowAnswering();
    void binaryOutputIsLoggedWhole();
    void longLineIsHandledWhole();
    void linesAndCharactersSplitAcrossReads_data();
    void linesAndCharactersSplitAcrossReads();
    void malformedAndOversizedDeviceNames();
    void listingQuirks();
    void eightBoardsFailAndReplugAtOnce();
    void eightNotFoundAtOnceKeepTheWindowAnswering();
    void fiftyStartStopCyclesWithRunningTools();
    void windowSystemCloseDuringTransfers();
    void logFileCannotBeOpened();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<MainWindow> window;
    QString toolDir;

    void openWindow();
    void start();
    void stop() { button(QStringLiteral("stopButton"))->click(); }
    bool plug(char level, char number, const char *scenario = "ok")
    {
        // The listing the event starts runs on without the window waiting: let it end.
        return runBench({QStringLiteral("plug"), QString(QLatin1Char(level)), QString(QLatin1Char(number)),
                         QLatin1String(scenario)}) &&
               settleListings();
    }
    bool unplug(char level, char number)
    {
        return runBench(
                   {QStringLiteral("unplug"), QString(QLatin1Char(level)), QString(QLatin1Char(number))}) &&
               settleListings();
    }
    QPushButton *button(const QString &name) const { return window->findChild<QPushButton *>(name); }
    QProgressBar *bar(int n) const
    {
        return window->findChild<QProgressBar *>(QStringLiteral("progressBar_%1").arg(n));
    }
    QString title(int n) const { return window->findChild<QGroupBox *>(boxName(n))->title(); }
    QString statusText() const
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }
    QByteArray log() const { return folder->readFile(QStringLiteral("log_multiplex.txt")); }
    int running() const
    {
        int count = 0;
        for (QProcess *p : window->findChildren<QProcess *>())
            count += p->state() != QProcess::NotRunning;
        return count;
    }
    QImage shown(int n) const
    {
        const QPixmap *pixmap = window->findChild<QLabel *>(QStringLiteral("status_%1").arg(n))->pixmap();
        return pixmap ? pixmap->toImage() : QImage();
    }
    static QImage picture(const char *resource)
    {
        return QImage(QLatin1String(resource))
            .scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation)
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
    // The tool's own output for a download on a port, replayed outside the window.
    QByteArray replayDownload(char level, char number) const
    {
        return replay(toolDir + QStringLiteral("usb_dl.exe"),
                      {QStringLiteral("-c"), QStringLiteral("C"), QStringLiteral("-s"), QStringLiteral("O"),
                       QStringLiteral("-i"), toolDir, QStringLiteral("-p"),
                       QStringLiteral("%1,%2").arg(QLatin1Char(level)).arg(QLatin1Char(number))},
                      toolDir);
    }
};

void tst_FaultsMulti::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl")).isExecutable(), "usb_dl not built");
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl_bench")).isExecutable(), "usb_dl_bench not built");
}

void tst_FaultsMulti::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(folder->writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    toolDir = folder->configDir();
    QVERIFY(installTool(toolDir));
    const QString bench = folder->file(QStringLiteral("bench"));
    QVERIFY(QDir().mkpath(bench));
    qputenv("USB_DL_BENCH", bench.toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "10");

    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);
}

void tst_FaultsMulti::openWindow()
{
    window = std::make_unique<MainWindow>();
    window->show();
}

void tst_FaultsMulti::start()
{
    button(QStringLiteral("startButton"))->click();
    QVERIFY(!button(QStringLiteral("startButton"))->isEnabled());
}

void tst_FaultsMulti::cleanup()
{
    if (window)
        stop();
    window.reset();
    flushDeletes();
    QTRY_VERIFY(childProcesses().isEmpty());
    folder.reset();
    qunsetenv("USB_DL_BENCH");
    qunsetenv("USB_DL_SIM_DELAY_MS");
}

void tst_FaultsMulti::toolMissingFromConfig()
{
    QVERIFY(QFile::remove(toolDir + QStringLiteral("usb_dl.exe")));
    openWindow();
    start();
    QVERIFY(plug('1', '3'));
    // No listing, so no port and no transfer; nothing to show or log.
    QCOMPARE(running(), 0);
    QVERIFY(!statusText().contains(QStringLiteral("insert!")));
    QVERIFY(!log().contains("USB Port connected"));
    QCOMPARE(title(1), QStringLiteral("Board 1"));
    QVERIFY(childProcesses().isEmpty());

    // The tool put back: the next arrival lists the port as new and burns it.
    QVERIFY(installTool(toolDir));
    QVERIFY(plug('1', '3'));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 20000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             20000);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 1,3"));
    QVERIFY(statusText().contains(QStringLiteral("Board 1 download complete!\n")));
}

void tst_FaultsMulti::toolCrashesMidRun()
{
    openWindow();
    start();
    QVERIFY(plug('1', '3', "crash"));
    QVERIFY(statusText().contains(QStringLiteral("Board 1 Start Downloading  ...")));
    QTRY_COMPARE_WITH_TIMEOUT(running(), 0, 20000);
    QTRY_VERIFY(childProcesses().isEmpty());
    // Every line printed before the crash is logged; no success is shown.
    const QByteArray output = replayDownload('1', '3');
    QVERIFY(output.contains("updated size"));
    QCOMPARE(boardRecords(log(), "[Board 1] "), expectedLogRecords(output, "[Board 1] "));
    QVERIFY(!statusText().contains(QStringLiteral("download complete")));
    QVERIFY(shown(1) != picture(":/img/success.png"));
    QVERIFY(bar(1)->value() < 100);

    // The slot stays busy, so a re-plug runs it again.
    QVERIFY(unplug('1', '3'));
    QVERIFY(plug('1', '3', "ok"));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 20000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             20000);
    QCOMPARE(shown(1), picture(":/img/success.png"));
}

void tst_FaultsMulti::hangingToolStopRestartAndClose()
{
    openWindow();
    start();
    QVERIFY(plug('1', '1', "hang"));
    QVERIFY(plug('1', '2', "hang"));
    QVERIFY(plug('1', '3', "hang"));
    QTRY_COMPARE_WITH_TIMEOUT(running(), 3, 10000);
    QCOMPARE(childProcesses().size(), 3);

    // Restart ends one hung transfer only.
    button(QStringLiteral("reButton_2"))->click();
    QCOMPARE(running(), 2);
    QVERIFY(statusText().endsWith(
        QStringLiteral("Board 2 Stop downloading ...\nBoard 2 Stop downloading successfully !\n\n"
                       "Board 2 Please insert usb device again !\n")));
    QTRY_COMPARE(childProcesses().size(), 2);

    // Stop ends the others and resets the display.
    stop();
    QCOMPARE(running(), 0);
    QTRY_VERIFY(childProcesses().isEmpty());
    QCOMPARE(title(1), QStringLiteral("Board 1"));
    QVERIFY(button(QStringLiteral("startButton"))->isEnabled());
    QVERIFY(log().contains("[Board 1] Waiting for USB device connection"));

    // A new batch runs the hung slots again; Close ends them and the ticker.
    start();
    QVERIFY(unplug('1', '1'));
    QVERIFY(plug('1', '1', "hang"));
    QTRY_COMPARE_WITH_TIMEOUT(running(), 1, 10000);
    button(QStringLiteral("closeButton"))->click();
    QVERIFY(!window->isVisible());
    flushDeletes();
    QTRY_VERIFY(childProcesses().isEmpty());
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QVERIFY(window->findChildren<QThread *>().isEmpty());
}

void tst_FaultsMulti::floodKeepsWindowAnswering()
{
    openWindow();
    start();
    LatencyProbe probe;
    QVERIFY(plug('2', '1', "flood"));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 120000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             120000);
    QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
    QVERIFY(probe.tickCount() > 2);
    // The view holds operator messages only; the log holds every line, in order.
    QVERIFY(statusText().size() < 4096);
    const QByteArray output = replayDownload('2', '1');
    QCOMPARE(output.count("updated size"), 100000);
    const QByteArray records = boardRecords(log(), "[Board 1] ");
    QCOMPARE(records.size(), expectedLogRecords(output, "[Board 1] ").size());
    QVERIFY(records == expectedLogRecords(output, "[Board 1] "));
}

void tst_FaultsMulti::binaryOutputIsLoggedWhole()
{
    openWindow();
    start();
    QVERIFY(plug('1', '4', "garbage"));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 30000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             30000);
    QCOMPARE(shown(1), picture(":/img/success.png"));
    const QByteArray output = replayDownload('1', '4');
    QVERIFY(output.contains('\0'));
    QVERIFY(QString::fromUtf8(output.constData(), output.size()).contains(QChar::ReplacementCharacter));
    QCOMPARE(boardRecords(log(), "[Board 1] "), expectedLogRecords(output, "[Board 1] "));
}

void tst_FaultsMulti::longLineIsHandledWhole()
{
    // 50 MiB without a line break, then three ordinary lines.
    openWindow();
    start();
    resetPeakResident();
    const qint64 before = peakResidentMiB();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(plug('1', '4', "longline"));
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board 1 download complete!")), 60000);
    qInfo("long line handled in %lld ms, peak %lld MiB above the start", clock.elapsed(),
          peakResidentMiB() - before);
    // A liveness bound, not a speed measurement: rescanning the growing line
    // at every read took minutes.
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
    if (kMemoryIsMeasurable)
        QVERIFY2(peakResidentMiB() - before < 500, qPrintable(QString::number(peakResidentMiB() - before)));
    QCOMPARE(shown(1), picture(":/img/success.png"));
    QList<QByteArray> logged = boardRecords(log(), "[Board 1] ").split('\n');
    logged.removeLast(); // after the last line feed
    QVERIFY(logged.size() >= 4);
    QCOMPARE(logged.at(logged.size() - 4), "[Board 1] " + QByteArray(50 * 1024 * 1024, 'x'));
    QCOMPARE(logged.at(logged.size() - 3), QByteArray("[Board 1] break"));
    QVERIFY(logged.at(logged.size() - 2).startsWith("[Board 1] updated size: "));
    QCOMPARE(logged.last(), QByteArray("[Board 1] USB download complete"));
}

void tst_FaultsMulti::linesAndCharactersSplitAcrossReads_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("expected");
    // printf's octal escapes: \303\251 is "é" in UTF-8.
    QTest::newRow("character cut in two")
        << QByteArray("printf 'Waiting for USB device connection: \\303'; sleep 0.4\n"
                      "printf '\\251 ok\\r\\nUSB download complete\\r\\n'\n")
        << QByteArray(
               "[Board 1] Waiting for USB device connection: \xc3\xa9 ok\n[Board 1] USB download complete\n");
    QTest::newRow("line cut in two")
        << QByteArray("printf 'updated size: 10485760/2097'; sleep 0.4\n"
                      "printf '1520(50%%)\\r\\nUSB downl'; sleep 0.4; printf 'oad complete\\r\\n'\n")
        << QByteArray("[Board 1] updated size: 10485760/20971520(50%)\n[Board 1] USB download complete\n");
    QTest::newRow("last line unfinished")
        << QByteArray("printf 'updated size: 1/2(0%%)\\r\\nUSB download complete'\n")
        << QByteArray("[Board 1] updated size: 1/2(0%)\n[Board 1] USB download complete\n");
}

void tst_FaultsMulti::linesAndCharactersSplitAcrossReads()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, expected);
    // Listings by the simulated tool, downloads by a script printing in pieces.
    QVERIFY(installTool(toolDir, QStringLiteral("usb_dl.real")));
    QVERIFY(installScript(toolDir + QStringLiteral("usb_dl.exe"),
                          "d=$(dirname \"$0\")\n"
                          "[ \"$1\" = -r ] && exec \"$d/usb_dl.real\" \"$@\"\n" +
                              script));
    openWindow();
    start();
    QVERIFY(plug('1', '3'));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 10000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             10000);
    QCOMPARE(boardRecords(log(), "[Board 1] "), expected);
    QVERIFY(statusText().contains(QStringLiteral("Board 1 download complete!\n")));
}

void tst_FaultsMulti::malformedAndOversizedDeviceNames()
{
    openWindow();
    start();
    QVERIFY(runBench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"),
                      QStringLiteral("hang"), QStringLiteral("--no-event")}));
    const QString filler(3000, QLatin1Char('x'));
    const QStringList foreign = {
        QStringLiteral("USB"),
        QStringLiteral("##&&##"),
        QStringLiteral("\\\\?\\USB#VID_&PID_#"),
        QStringLiteral("\\\\?\\USB#&1000#x#y"),
        QStringLiteral("\\\\?\\USB#VID_7352#x"),
        QStringLiteral("\\\\?\\USB#VID_7352&PID_1000\\USBSTOR#x#y"),
        QStringLiteral("\\\\?\\USB#VID_1234&PID_1000#") + filler + QStringLiteral("#x"),
        QStringLiteral("\\\\?\\USB#VID_7352\u00e9&PID_1000\u00e9#\u4e2d#{}"),
        QString(3500, QLatin1Char('&')),
    };
    for (const QString &name : foreign) {
        QVERIFY(runBench({QStringLiteral("event"), QStringLiteral("arrival"), name}));
        QVERIFY(runBench({QStringLiteral("event"), QStringLiteral("removal"), name}));
    }
    QCOMPARE(running(), 0);
    QVERIFY(log().isEmpty());

    // Longer than a bench event may be: the bench drops it, the window lives on.
    QByteArray out;
    runBench({QStringLiteral("event"), QStringLiteral("arrival"),
              QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#") + QString(20000, QLatin1Char('x')) +
                  QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")},
             &out);
    QVERIFY2(!out.contains(" delivered"), out.constData());
    QCOMPARE(running(), 0);

    // A download device with a short, odd name still counts: its listing runs.
    QVERIFY(runBench(
        {QStringLiteral("event"), QStringLiteral("arrival"), QStringLiteral("x#VID_7352&PID_1000")}));
    QVERIFY(settleListings());
    QTRY_COMPARE(running(), 1);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 1,3"));
    QVERIFY(log().startsWith("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"));
}

void tst_FaultsMulti::listingQuirks()
{
    // Listing: duplicates, a line without its number, LF-only ends, and a
    // last line without CRLF; downloads by the simulated tool.
    QVERIFY(installTool(toolDir, QStringLiteral("usb_dl.real")));
    QVERIFY(folder->writeFile(QStringLiteral("config/listing.bin"),
                              "head\r\nfound\r\n"
                              "dev 0, vid 7352, pid 1000, portlevel1, portnum1\r\n"
                              "dev 1, vid 7352, pid 1000, portlevel2\r\n"
                              "dev 2, vid 7352, pid 1000, portlevel1, portnum1\r\n"
                              "dev 3, vid 7352, pid 1000, portlevel3, portnum3\n"
                              "dev 4, vid 7352, pid 1000, portnum4, portlevel4\r\n"
                              "dev 5, vid 7352, pid 1000, portlevel5, portnum5"));
    QVERIFY(installScript(toolDir + QStringLiteral("usb_dl.exe"),
                          "d=$(dirname \"$0\")\n"
                          "[ \"$1\" = -r ] && exec cat \"$d/listing.bin\"\n"
                          "exec \"$d/usb_dl.real\" \"$@\"\n"));
    QVERIFY(runBench(
        {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("--no-event")}));
    openWindow();
    start();
    QVERIFY(plug('4', '4'));
    // Bound in reverse line order: 4,4 first, then 1,1 once; the others are dropped.
    QTRY_COMPARE_WITH_TIMEOUT(bar(2)->value(), 100, 20000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(2)),
                             20000);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 4,4"));
    QCOMPARE(title(2), QStringLiteral("Board 2->USB Port: 1,1"));
    QCOMPARE(title(3), QStringLiteral("Board 3"));
    QVERIFY(log().contains("USB Port removed: 4 4 1 1 \n"));
    QCOMPARE(log().count("USB Port connected: "), 2);
    QVERIFY(!log().contains("5 5") && !log().contains("3 3"));
    QVERIFY(statusText().contains(QStringLiteral("Board 2 download complete!\n")));
}

void tst_FaultsMulti::eightNotFoundAtOnceKeepTheWindowAnswering()
{
    // Eight boards in one listing, all answering "not found": each tool is
    // killed and its slot finished when the end is reported, while the
    // window keeps answering instead of waiting for one kill after another.
    openWindow();
    start();
    for (char n = '1'; n <= '7'; ++n)
        QVERIFY(runBench({QStringLiteral("plug"), QStringLiteral("4"), QString(QLatin1Char(n)),
                          QStringLiteral("notfound"), QStringLiteral("--no-event")}));
    for (int i = 0; i < 8; ++i)
        QTest::ignoreMessage(QtDebugMsg, "Process has killed successfully");
    LatencyProbe probe;
    QVERIFY(plug('4', '8', "notfound"));
    for (int n = 1; n <= 8; ++n)
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText().contains(QStringLiteral("Board %1 download failed! Please restart.\n").arg(n)),
            20000);
    QTRY_COMPARE_WITH_TIMEOUT(running(), 0, 20000);
    QTest::qWait(50);
    QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(shown(n), picture(":/img/failed.png"));
}

void tst_FaultsMulti::eightBoardsFailAndReplugAtOnce()
{
    openWindow();
    start();
    for (char n = '1'; n <= '8'; ++n)
        QVERIFY(plug('2', n, "dlfail"));
    for (int n = 1; n <= 8; ++n)
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText().contains(QStringLiteral("Board %1 USB download failed!!!").arg(n)), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(running(), 0, 20000);
    const QByteArray failed = replayDownload('2', '1');

    // All eight unplugged and plugged back in one go: one listing, eight new ports.
    for (char n = '1'; n <= '7'; ++n)
        QVERIFY(runBench({QStringLiteral("unplug"), QStringLiteral("2"), QString(QLatin1Char(n)),
                          QStringLiteral("--no-event")}));
    QVERIFY(unplug('2', '8'));
    for (char n = '1'; n <= '7'; ++n)
        QVERIFY(runBench({QStringLiteral("plug"), QStringLiteral("2"), QString(QLatin1Char(n)),
                          QStringLiteral("ok"), QStringLiteral("--no-event")}));
    QVERIFY(plug('2', '8', "ok"));
    QVERIFY(running() >= 2);
    for (int n = 1; n <= 8; ++n) {
        QTRY_COMPARE_WITH_TIMEOUT(bar(n)->value(), 100, 30000);
        // The bar may reach 100 from the last count line, before the completion line.
        QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(n)),
                                 30000);
        QCOMPARE(shown(n), picture(":/img/success.png"));
        QCOMPARE(bar(n)->styleSheet(), QStringLiteral("QProgressBar {color: black;}"));
    }
    const QByteArray ok = replayDownload('2', '1');
    for (int n = 1; n <= 8; ++n) {
        const QByteArray prefix = QStringLiteral("[Board %1] ").arg(n).toUtf8();
        QCOMPARE(boardRecords(log(), prefix),
                 expectedLogRecords(failed, prefix) + expectedLogRecords(ok, prefix));
    }
}

void tst_FaultsMulti::fiftyStartStopCyclesWithRunningTools()
{
    openWindow();
    QVERIFY(plug('1', '1', "hang"));
    int fdsBefore = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        start();
        QVERIFY(unplug('1', '1'));
        QVERIFY(plug('1', '1', "hang"));
        QTRY_COMPARE(running(), 1);
        // The waiting line is read before the transfer is stopped.
        QTRY_COMPARE(log().count("[Board 1] Waiting for USB device connection"), cycle + 1);
        stop();
        QCOMPARE(running(), 0);
        flushDeletes();
        if (cycle == 0)
            fdsBefore = openFdCount();
    }
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QTRY_VERIFY(childProcesses().isEmpty());
    QTRY_VERIFY2(openFdCount() <= fdsBefore,
                 qPrintable(QStringLiteral("%1 > %2").arg(openFdCount()).arg(fdsBefore)));
    QCOMPARE(log().count("[Board 1] Waiting for USB device connection"), 50);
    QVERIFY(button(QStringLiteral("startButton"))->isEnabled());
}

void tst_FaultsMulti::windowSystemCloseDuringTransfers()
{
    qputenv("USB_DL_SIM_DELAY_MS", "200");
    openWindow();
    start();
    QVERIFY(plug('1', '1', "slow"));
    QVERIFY(plug('1', '2', "hang"));
    QVERIFY(plug('1', '3', "ok"));
    QTRY_COMPARE(running(), 3);
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QTRY_VERIFY(childProcesses().isEmpty());
    QCOMPARE(running(), 0);
    // The ticker ends with the window's close.
    const QList<QThread *> threads = window->findChildren<QThread *>();
    QCOMPARE(threads.size(), 1);
    QTRY_VERIFY(threads.first()->isFinished());
}

void tst_FaultsMulti::logFileCannotBeOpened()
{
    openWindow();
    // A folder in the log's place: every line is lost, the run goes on.
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("log_multiplex.txt"))));
    start();
    QVERIFY(plug('1', '3'));
    QTRY_COMPARE_WITH_TIMEOUT(bar(1)->value(), 100, 20000);
    // The bar may reach 100 from the last count line, before the completion line.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!").arg(1)),
                             20000);
    QVERIFY(statusText().contains(QStringLiteral("Board 1 download complete!\n")));
    QCOMPARE(shown(1), picture(":/img/success.png"));
    QVERIFY(QFileInfo(folder->file(QStringLiteral("log_multiplex.txt"))).isDir());
}

QTEST_MAIN(tst_FaultsMulti)
#include "tst_faults_multi.moc"
