#include "faketool.h"
#include "multi/boardsession.h"
#include "windowtestenv.h"

#include <memory>

// The multi-board batch without a window: held arrivals and shared listings,
// the tool's output cut anywhere, the re-arm after a success, the watchdog and
// the counters, seen through the session's reports.
namespace {
using Kind = DeviceEventSource::Kind;
using Picture = BoardSession::Picture;
const QByteArray kComplete = "Waiting for USB device connection\r\nUSB download complete";
} // namespace

class tst_BoardSession : public QObject
{
    Q_OBJECT
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<BoardSession> session;
    QString status, counters; // the status view's text, the counters line
    int picture = -1;         // board 1's picture, red bar and progress
    bool red = false;
    float progress = 0;

    void setPorts(const QByteArray &ports) { QVERIFY(folder->writeFile("config/ports", ports)); }
    int calls(const char *prefix) const
    {
        return QString(folder->readFile("config/calls.log"))
            .split('\n')
            .filter(QRegularExpression(prefix))
            .size();
    }
    int running(const QString &option) const
    {
        int count = 0;
        for (const QProcess *process : session->findChildren<QProcess *>())
            count += process->state() != QProcess::NotRunning && process->arguments().contains(option);
        return count;
    }
    bool settle()
    {
        return QTest::qWaitFor([this] { return running("-r") == 0; }, 30000);
    }
    void replug()
    {
        for (const Kind kind : {Kind::Removal, Kind::Arrival}) {
            setPorts(kind == Kind::Arrival ? kPort13 : QByteArray());
            session->deviceEvent(kind, downloadDeviceName("P1"));
            QVERIFY(settle());
        }
    }
    void makeSession()
    {
        session = std::make_unique<BoardSession>(folder->configDir());
        BoardSession *s = session.get();
        connect(s, &BoardSession::statusLine, [this](const QString &line) {
            status += (status.isEmpty() ? "" : "\n") + line; // as the status view shows it
        });
        connect(s, &BoardSession::countersChanged, [this](const QString &text) { counters = text; });
        connect(s, &BoardSession::pictureChanged, [this](int, Picture shown) { picture = int(shown); });
        connect(s, &BoardSession::barMarkedRed, [this] { red = true; });
        connect(s, &BoardSession::barHeard, [this] { red = false; });
        connect(s, &BoardSession::progressChanged, [this](int, float value) { progress = value; });
        session->setUp();
        session->setPackage(folder->file("pkg/images.zip"), folder->file("pkg/QuorBurnImage/"));
    }

private slots:
    void init()
    {
        folder.reset(); // back in the first current directory before the next one (cleanup ended the session)
        folder = std::make_unique<WindowTestFolder>();
        QVERIFY(folder->isValid() && folder->writeBoardConfig("CHIPX", "OSY"));
        QVERIFY(folder->installScript(kFakeTool));
        qputenv("FAKE_TOOL_OUTPUT", "Waiting for USB device connection\r\n|hang");
        status.clear();
        red = false;
    }
    void cleanup() { session.reset(); }

    // Boards plugged while Start prepares the batch wait for it; a burst of
    // events shares one listing; a refused Start launches nothing.
    void arrivalsHeldDuringStart_data()
    {
        QTest::addColumn<bool>("listingFirst"); // a listing was running when Start began
        QTest::addColumn<bool>("started");
        QTest::newRow("plugged during Start") << false << true;
        QTest::newRow("listing running at Start") << true << true;
        QTest::newRow("Start refused") << false << false;
    }
    void arrivalsHeldDuringStart()
    {
        QFETCH(bool, listingFirst);
        QFETCH(bool, started);
        setPorts(kPort13);
        makeSession();
        if (listingFirst)
            session->deviceEvent(Kind::Arrival, downloadDeviceName("P1"));
        session->holdLaunches();
        for (int i = 0; i < 3; ++i)
            session->deviceEvent(Kind::Arrival, downloadDeviceName("P1"));
        QVERIFY(settle());
        QCOMPARE(calls("^-r"), listingFirst ? 1 : 0); // none starts while Start prepares
        if (started)
            session->startBatch("hash", QString());
        else
            session->releaseLaunches();
        QVERIFY(settle());
        QCOMPARE(calls("^-r"), listingFirst ? 2 : 1); // the burst held shares one listing
        QCOMPARE(running("-p"), started ? 1 : 0);
        QCOMPARE(status.contains("Board 1 USB Port:1,3 insert!\nBoard 1 Start Downloading  ..."), started);
        QVERIFY(folder->readFile("log_multiplex.txt").contains("USB Port removed: 1 3 \n"));
    }

    void outputCutAnywhereIsWhole_data()
    {
        QTest::addColumn<QByteArray>("output"); // '|' where the tool pauses
        QTest::addColumn<int>("watchdog");      // [Watchdog] Silent_Seconds
        QTest::addColumn<QString>("said");      // what the first run ends with
        QTest::addColumn<int>("picture");       // the slot's picture after it
        QTest::addColumn<int>("replugs");       // until a second run (kComplete) starts; 0: none
        QTest::addColumn<QString>("expected");  // the board's lines in the run log
        QTest::addColumn<QString>("counted");
        const QString waiting = "[Board 1] Waiting for USB device connection\n",
                      done = "[Board 1] USB download complete\n", complete = "Board 1 download complete!\n";
        const int success = int(Picture::Success), failed = int(Picture::Failed);
        QTest::newRow("line and character cut, nothing after completion")
            << QByteArray(
                   "Waiting for USB device connection: \xc3|\xa9 ok\r\nupdated size: 51|2/1024(50%%)\r\n"
                   "USB download comp|lete\r\nafter the end\r\n")
            << 0 << complete << success << 0
            << QString::fromUtf8(
                   "[Board 1] Waiting for USB device connection: \xc3\xa9 ok\n[Board 1] updated "
                   "size: 512/1024(50%)\n") +
                   done
            << "1 passed, 0 failed";
        // A board not found is killed; nothing of its unfinished line is left
        // to cut the next run's lines, and its red bar goes with the next output.
        QTest::newRow("after a killed run")
            << QByteArray(
                   "usb device not found\r\nand an unfinished line long enough to hide a first line|hang")
            << 0 << "Board 1 download failed! Please restart.\n"
            << failed << 1 << "[Board 1] usb device not found\n" + waiting + done << "1 passed, 1 failed";
        // The first return after a success only re-arms the slot (the first run's last line is unfinished).
        QTest::newRow("re-arm after success") << kComplete << 0 << complete << success << 2
                                              << waiting + done + waiting + done << "2 passed, 0 failed";
        QTest::newRow("silent tool")
            << QByteArray("Waiting for USB device connection\r\n|hang") << 1
            << "Board 1 (USB Port: 1,3, serial P1) printed nothing for 1 s: stopped as failed." << failed << 0
            << waiting << "0 passed, 1 failed";
        // Output restarts the silence: pauses under the limit pass it together, and the board completes.
        QTest::newRow("steady tool past the limit")
            << QByteArray("Waiting for USB device connection\r\n|").repeated(5) + "USB download complete" << 1
            << complete << success << 0 << waiting.repeated(5) + done << "1 passed, 0 failed";
    }
    void outputCutAnywhereIsWhole()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, watchdog);
        QFETCH(QString, said);
        QFETCH(int, picture);
        QFETCH(int, replugs);
        QFETCH(QString, expected);
        QFETCH(QString, counted);
        if (watchdog)
            QVERIFY(folder->writeBoardConfig("CHIPX", "OSY",
                                             "[Watchdog]\nSilent_Seconds=" + QByteArray::number(watchdog)));
        qputenv("FAKE_TOOL_OUTPUT", output);
        makeSession();
        session->startBatch("hash", QString());
        replug();
        QTRY_VERIFY2(status.endsWith(said), qPrintable(status));
        QTRY_COMPARE(running("-p"), 0);
        QCOMPARE(this->picture, picture);
        QCOMPARE(red, picture == int(Picture::Failed));
        qputenv("FAKE_TOOL_OUTPUT", kComplete);
        for (int n = 1; n <= replugs; ++n) { // the tool writes its call when it runs, maybe after the listing
            replug();
            QTRY_COMPARE(calls("^-c CHIPX"), n == replugs ? 2 : 1);
        }
        if (replugs > 0) {
            QTRY_VERIFY2(status.endsWith("Board 1 download complete!\n") && running("-p") == 0,
                         qPrintable(status));
            QCOMPARE(calls("^-c CHIPX"), 2); // every tool has ended: no call is still to come
        }
        if (picture == int(Picture::Success) || replugs > 0) {
            QCOMPARE(this->picture, int(Picture::Success));
            QCOMPARE(progress, 100.0f);
            QVERIFY(!red);
        }
        const QString log = QString::fromUtf8(folder->readFile("log_multiplex.txt"));
        QCOMPARE(log.split('\n').filter("[Board ").join('\n') + '\n', expected);
        QVERIFY2(counters.startsWith("Batch: " + counted + ", 0 burning"), qPrintable(counters));
    }
};

QTEST_MAIN(tst_BoardSession)
#include "tst_boardsession.moc"
