#include "multi/mainwindow.h"
#include "tests/multi/windowtestenv.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

#include <signal.h>
#include <sys/types.h>

// End to end on the simulated bench: the real simulated tool as config/usb_dl.exe,
// boards plugged with usb_dl_bench, whose device events reach the window
// through the bench channel.
namespace {

QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR"));
}

bool writeZip(const QString &path, const QList<QPair<QString, QByteArray>> &files)
{
    archive *zip = archive_write_new();
    archive_write_set_format_zip(zip);
    bool ok = archive_write_open_filename(zip, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const auto &file : files) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.first.toUtf8().constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, file.second.size());
        ok = archive_write_header(zip, entry) == ARCHIVE_OK &&
             archive_write_data(zip, file.second.constData(), static_cast<size_t>(file.second.size())) ==
                 file.second.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(zip) == ARCHIVE_OK && ok;
    archive_write_free(zip);
    return ok;
}

template <typename T> T *child(QWidget *window, const QString &name)
{
    return window->findChild<T *>(name);
}

QString boxName(int n)
{
    return n == 1 ? QStringLiteral("groupBox") : QStringLiteral("groupBox_%1").arg(n);
}

int runningCount(QWidget *window)
{
    int running = 0;
    for (QProcess *p : window->findChildren<QProcess *>())
        if (p->state() != QProcess::NotRunning)
            ++running;
    return running;
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text.constData(), text.size()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

class tst_MultiE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startUnpacksAndOneBoardBurns();
    void eightBoardsBurnInParallel();
    void twoBoardsInOneListingBindInReverse();
    void successGuardThenRelaunch();
    void failedSlotRelaunchesOnNextArrival();
    void notFoundFailsTheSlot();
    void foreignDevicesChangeNothing();
    void arrivalsBeforeStartOnlyRegister();
    void badToolBehaviourIsSurvived();
    void closeDuringTransferLeavesNoChild();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<MainWindow> window;
    QString benchDir;

    bool bench(const QStringList &args);
    void startBatch();
    void waitComplete(int n, int timeoutMs = 20000);
    QString statusText() const
    {
        return child<QPlainTextEdit>(window.get(), QStringLiteral("statusText"))->toPlainText();
    }
    QProgressBar *bar(int n) const
    {
        return child<QProgressBar>(window.get(), QStringLiteral("progressBar_%1").arg(n));
    }
    QString title(int n) const { return child<QGroupBox>(window.get(), boxName(n))->title(); }
    QStringList calls() const { return lines(folder->readFile(QStringLiteral("bench/calls.log"))); }
    QStringList downloadCalls() const { return calls().filter(QStringLiteral("-p ")); }
    QString imageFolder() const { return folder->file(QStringLiteral("pkg/QuorBurnImage/")); }
    QImage shownImage(int n) const
    {
        const QPixmap *pixmap = child<QLabel>(window.get(), QStringLiteral("status_%1").arg(n))->pixmap();
        return pixmap ? pixmap->toImage() : QImage();
    }
    static QImage expectedImage(const char *resource)
    {
        return QImage(QLatin1String(resource))
            .scaled(90, 90, Qt::KeepAspectRatio, Qt::FastTransformation)
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
};

void tst_MultiE2E::initTestCase()
{
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl")).isExecutable(), "usb_dl not built");
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl_bench")).isExecutable(), "usb_dl_bench not built");
}

void tst_MultiE2E::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(folder->writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    const QString tool = folder->file(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), tool));
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    benchDir = folder->file(QStringLiteral("bench"));
    QVERIFY(QDir().mkpath(benchDir));
    qputenv("USB_DL_BENCH", benchDir.toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "15");

    const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QVERIFY(writeZip(zip, {{QStringLiteral("boot.img"), QByteArray(4096, 'b')},
                           {QStringLiteral("parts/rootfs.img"), QByteArray(100000, 'r')}}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);
    // No device source given: the window takes the bench's, as the program does.
    window = std::make_unique<MainWindow>();
    window->show();
}

void tst_MultiE2E::cleanup()
{
    if (window)
        child<QPushButton>(window.get(), QStringLiteral("stopButton"))->click();
    window.reset();
    folder.reset();
    qunsetenv("USB_DL_BENCH");
}

bool tst_MultiE2E::bench(const QStringList &args)
{
    // Run asynchronously: the window must keep taking events while the driver
    // waits for its event to be confirmed.
    QProcess driver;
    driver.start(binDir() + QStringLiteral("/usb_dl_bench"), args);
    if (!driver.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (driver.state() != QProcess::NotRunning && timer.elapsed() < 20000)
        QTest::qWait(5);
    const QByteArray out = driver.readAll();
    const bool undelivered = out.contains("not delivered") || out.contains("not confirmed");
    if (driver.state() != QProcess::NotRunning || driver.exitCode() != 0 || undelivered) {
        qWarning() << "bench" << args << out;
        return false;
    }
    // The listing an event starts runs on without the window waiting for it;
    // the next step of a test begins once it has ended, as an operator's would.
    return settleListings();
}

void tst_MultiE2E::startBatch()
{
    child<QPushButton>(window.get(), QStringLiteral("startButton"))->click();
    QVERIFY(!child<QPushButton>(window.get(), QStringLiteral("startButton"))->isEnabled());
}

void tst_MultiE2E::waitComplete(int n, int timeoutMs)
{
    // The bar may reach 100 from the counts before the completion line arrives.
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board %1 download complete!\n").arg(n)),
                             timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(bar(n)->value(), 100, 2000);
}

void tst_MultiE2E::startUnpacksAndOneBoardBurns()
{
    startBatch();
    QCOMPARE(folder->readFile(QStringLiteral("pkg/QuorBurnImage/parts/rootfs.img")), QByteArray(100000, 'r'));
    QCOMPARE(folder->readFile(QStringLiteral("pkg/QuorBurnImage/boot.img")), QByteArray(4096, 'b'));

    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    waitComplete(1, 20000);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 1,3"));
    QCOMPARE(shownImage(1), expectedImage(":/img/success.png"));
    QVERIFY(shownImage(1) != expectedImage(":/img/failed.png"));
    // The status view says the package was unpacked, with its short hash.
    QVERIFY2(statusText().startsWith(QStringLiteral("Package unpacked (")), qPrintable(statusText()));
    QVERIFY(statusText().contains(
        QStringLiteral(").\nBoard 1 USB Port:1,3 insert!\nBoard 1 Start Downloading  ...\n")));
    QVERIFY(statusText().contains(QStringLiteral("Board 1 download complete!\n")));

    QCOMPARE(calls().first(), QStringLiteral("-r"));
    QCOMPARE(downloadCalls(),
             QStringList{QStringLiteral("-c CHIPX -s OSY -i ") + imageFolder() + QStringLiteral(" -p 1,3")});

    // Every line the tool printed is in the run log, in order, with the slot's prefix.
    QProcess replay;
    replay.setProcessChannelMode(QProcess::MergedChannels);
    replay.start(folder->file(QStringLiteral("config/usb_dl.exe")),
                 {QStringLiteral("-c"), QStringLiteral("A"), QStringLiteral("-s"), QStringLiteral("B"),
                  QStringLiteral("-i"), imageFolder(), QStringLiteral("-p"), QStringLiteral("1,3")});
    QVERIFY(replay.waitForFinished(20000));
    const QStringList toolLines =
        QString::fromUtf8(replay.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QVERIFY(toolLines.size() > 40);
    QStringList logged =
        lines(folder->readFile(QStringLiteral("log_multiplex.txt"))).filter(QStringLiteral("[Board 1] "));
    logged.removeAll(QStringLiteral("[Board 1] "));
    QStringList expected;
    for (const QString &line : toolLines)
        expected.append(QStringLiteral("[Board 1] ") + line);
    QCOMPARE(logged, expected);
}

void tst_MultiE2E::eightBoardsBurnInParallel()
{
    qputenv("USB_DL_SIM_DELAY_MS", "60");
    startBatch();
    for (int n = 1; n <= 8; ++n)
        QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("2"), QString::number(n)}));
    // Each run takes about 2.6 s and they were started within well under that.
    QVERIFY(runningCount(window.get()) >= 2);
    for (int n = 1; n <= 8; ++n) {
        waitComplete(n, 30000);
        QCOMPARE(title(n), QStringLiteral("Board %1->USB Port: 2,%1").arg(n));
        QCOMPARE(shownImage(n), expectedImage(":/img/success.png"));
        QVERIFY(statusText().contains(QStringLiteral("Board %1 download complete!\n").arg(n)));
        QVERIFY(statusText().contains(QStringLiteral("Board %1 USB Port:2,%1 insert!").arg(n)));
    }
    const QStringList downloads = downloadCalls();
    QCOMPARE(downloads.size(), 8);
    for (int n = 1; n <= 8; ++n)
        QVERIFY(
            downloads.contains(QStringLiteral("-c CHIPX -s OSY -i %1 -p 2,%2").arg(imageFolder()).arg(n)));
    const QByteArray log = folder->readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY(log.contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));
}

void tst_MultiE2E::twoBoardsInOneListingBindInReverse()
{
    startBatch();
    QVERIFY(bench(
        {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("--no-event")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("2")}));
    waitComplete(1, 20000);
    waitComplete(2, 20000);
    // The later listing line gets the lower slot.
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 1,2"));
    QCOMPARE(title(2), QStringLiteral("Board 2->USB Port: 1,1"));
    QVERIFY(folder->readFile(QStringLiteral("log_multiplex.txt")).contains("USB Port removed: 1 2 1 1 \n"));
}

void tst_MultiE2E::successGuardThenRelaunch()
{
    startBatch();
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    waitComplete(1, 20000);
    QCOMPARE(downloadCalls().size(), 1);

    // First re-plug after a success only clears the done flag.
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("1"), QStringLiteral("3")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    // The arrival's listing ran (three listings now), but no launch followed it.
    QTRY_COMPARE(calls().count(QStringLiteral("-r")), 3);
    QTest::qWait(200);
    QCOMPARE(downloadCalls().size(), 1);
    QCOMPARE(statusText().count(QStringLiteral("Board 1 USB Port:1,3 insert!")), 1);
    QCOMPARE(runningCount(window.get()), 0);

    // The next one launches the slot again.
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("1"), QStringLiteral("3")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    QTRY_COMPARE(downloadCalls().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(statusText().count(QStringLiteral("Board 1 download complete!")), 2, 20000);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 1,3"));
}

void tst_MultiE2E::failedSlotRelaunchesOnNextArrival()
{
    startBatch();
    QVERIFY(
        bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("dlfail")}));
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board 1 USB download failed!!!")), 20000);
    QCOMPARE(shownImage(1), expectedImage(":/img/failed.png"));
    QTRY_COMPARE_WITH_TIMEOUT(runningCount(window.get()), 0, 20000);

    // No guard after a failure: the first re-plug launches again.
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("1"), QStringLiteral("3")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("ok")}));
    waitComplete(1, 20000);
    QCOMPARE(downloadCalls().size(), 2);
    QCOMPARE(shownImage(1), expectedImage(":/img/success.png"));
    QCOMPARE(bar(1)->styleSheet(), QStringLiteral("QProgressBar {color: black;}"));
}

void tst_MultiE2E::notFoundFailsTheSlot()
{
    startBatch();
    QVERIFY(bench(
        {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("notfound")}));
    QTRY_VERIFY_WITH_TIMEOUT(
        statusText().contains(QStringLiteral("Board 1 download failed! Please restart.\n")), 20000);
    QTRY_COMPARE(runningCount(window.get()), 0); // killed without the window waiting for it
    QCOMPARE(bar(1)->styleSheet(), QStringLiteral("QProgressBar::chunk {background-color: red;}"));
    QCOMPARE(shownImage(1), expectedImage(":/img/failed.png"));
    // The slot stayed busy, so its next arrival launches it.
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("1"), QStringLiteral("3")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    waitComplete(1, 20000);
}

void tst_MultiE2E::foreignDevicesChangeNothing()
{
    startBatch();
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("hang"),
                   QStringLiteral("--no-event")}));
    const QStringList names = {
        QStringLiteral("\\\\?\\USBSTOR#Disk&Ven_7352&Prod_1000#1#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"),
        QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#USBSTOR#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"),
        QStringLiteral("\\\\?\\USB#VID_1234&PID_1000#1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"),
        QStringLiteral("\\\\?\\USB#VID_7352&PID_1001#1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"),
        QStringLiteral("\\\\?\\USB#VID_7352"),
        QStringLiteral("#"),
    };
    for (const QString &name : names) {
        QVERIFY(bench({QStringLiteral("event"), QStringLiteral("arrival"), name}));
        QVERIFY(bench({QStringLiteral("event"), QStringLiteral("removal"), name}));
    }
    QTest::qWait(100);
    QVERIFY(calls().isEmpty());
    QVERIFY(!QFileInfo::exists(folder->file(QStringLiteral("log_multiplex.txt"))));
    QCOMPARE(runningCount(window.get()), 0);
    QCOMPARE(title(1), QStringLiteral("Board 1"));
}

void tst_MultiE2E::arrivalsBeforeStartOnlyRegister()
{
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("4"), QStringLiteral("2")}));
    QTRY_VERIFY(folder->readFile(QStringLiteral("log_multiplex.txt")).contains("USB Port removed: 4 2 \n"));
    QCOMPARE(calls(), QStringList{QStringLiteral("-r")});
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    QCOMPARE(title(1), QStringLiteral("Board 1"));

    startBatch();
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("4"), QStringLiteral("2")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("4"), QStringLiteral("2")}));
    waitComplete(1, 20000);
    QCOMPARE(title(1), QStringLiteral("Board 1->USB Port: 4,2"));
}

void tst_MultiE2E::badToolBehaviourIsSurvived()
{
    qputenv("USB_DL_SIM_DELAY_MS", "5");
    startBatch();
    // The flood comes last: its 100,000 lines keep the window busy while they arrive.
    const QStringList scenarios = {QStringLiteral("crash"),    QStringLiteral("hang"),
                                   QStringLiteral("garbage"),  QStringLiteral("commfail"),
                                   QStringLiteral("toolarge"), QStringLiteral("flood")};
    // One board at a time, each listed before the next is plugged, so board n
    // binds slot n (boards that show up in one listing bind in reverse order).
    for (int i = 0; i < scenarios.size(); ++i) {
        QVERIFY(
            bench({QStringLiteral("plug"), QStringLiteral("3"), QString::number(i + 1), scenarios.at(i)}));
        QVERIFY(settleListings());
    }

    waitComplete(3, 60000); // garbage
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral(
                                 "Board 4 usb commuicate failed! Please check your usb and restart.\n")),
                             20000);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board 5 updating file is too large!!!")),
                             20000);
    waitComplete(6, 120000); // flood
    QVERIFY(!statusText().contains(QStringLiteral("Board 1 download complete!")));
    QVERIFY(!statusText().contains(QStringLiteral("Board 2 download complete!")));
    QCOMPARE(shownImage(3), expectedImage(":/img/success.png"));
    QCOMPARE(shownImage(4), expectedImage(":/img/failed.png"));
    QCOMPARE(shownImage(6), expectedImage(":/img/success.png"));

    // The flood's every progress line is logged, then its completion.
    const QStringList logged = lines(folder->readFile(QStringLiteral("log_multiplex.txt")));
    QCOMPARE(logged.filter(QStringLiteral("[Board 6] updated size")).size(), 100000);
    QVERIFY(logged.contains(QStringLiteral("[Board 6] USB download complete")));
    QVERIFY(logged.contains(QStringLiteral("[Board 3] USB download complete")));

    // The crashed run ended; the hung one still runs until Stop ends it.
    QTRY_COMPARE_WITH_TIMEOUT(runningCount(window.get()), 1, 20000);
    child<QPushButton>(window.get(), QStringLiteral("stopButton"))->click();
    QCOMPARE(runningCount(window.get()), 0);
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(title(n), QStringLiteral("Board %1").arg(n));
    QTRY_COMPARE(bar(6)->value(), 0);
}

void tst_MultiE2E::closeDuringTransferLeavesNoChild()
{
    startBatch();
    QVERIFY(
        bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("slow")}));
    QVERIFY(
        bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("4"), QStringLiteral("hang")}));
    QTRY_VERIFY_WITH_TIMEOUT(statusText().contains(QStringLiteral("Board 2 Start Downloading  ...")), 20000);
    QList<qint64> pids;
    for (QProcess *p : window->findChildren<QProcess *>())
        if (p->state() == QProcess::Running)
            pids.append(p->processId());
    QCOMPARE(pids.size(), 2);

    child<QPushButton>(window.get(), QStringLiteral("closeButton"))->click();
    QVERIFY(!window->isVisible());
    for (qint64 pid : pids)
        QVERIFY(::kill(static_cast<pid_t>(pid), 0) != 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
    // Nothing listens for the ticker any more, and a late device event launches nothing.
    QVERIFY(window->findChildren<QThread *>().isEmpty());
    // (A tool killed right after it started may not have logged its call yet.)
    const int downloads = downloadCalls().size();
    QVERIFY(bench({QStringLiteral("unplug"), QStringLiteral("1"), QStringLiteral("3")}));
    QVERIFY(bench({QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("3")}));
    QTest::qWait(200);
    QCOMPARE(downloadCalls().size(), downloads);
    QVERIFY(window->findChildren<QProcess *>().isEmpty());
}

QTEST_MAIN(tst_MultiE2E)
#include "tst_multi_e2e.moc"
