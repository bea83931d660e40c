#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/porttracker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <memory>

// Multi-board decisions: device filter, port listing, port tracking with the
// run log, and the per-line output decisions. Runs in a temporary current
// directory so the run log can be read back.
using Kind = BoardLineResult::Kind;
using Ports = QVector<PortRecord>;
Q_DECLARE_METATYPE(PortRecord)
Q_DECLARE_METATYPE(BoardLineResult::Kind)

namespace {

PortRecord port(const char *level, const char *number)
{
    return PortRecord{QString::fromUtf8(level), QString::fromUtf8(number)};
}

// A listing as the tool prints it: two header lines, then one CRLF line per board.
QByteArray toolListing(const QList<QByteArray> &boardLines)
{
    QByteArray out = "usb port scan\r\nfound devices\r\n";
    for (const QByteArray &line : boardLines)
        out += line + "\r\n";
    return out;
}

QByteArray boardLine(char level, char number)
{
    return QByteArray("dev 0, portlevel: ") + level + ", portnum: " + number + ", speed: high";
}

QByteArray readRunLog()
{
    QFile file(QString::fromLatin1(MultiplexLog::kFileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QVector<bool> kEightIdle(8, true);
const QVector<int> kEightZero(8, 0);

} // namespace

class tst_MultiLogic final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
    }
    void init() { QFile::remove(QString::fromLatin1(MultiplexLog::kFileName)); }
    void cleanupTestCase() { QDir::setCurrent(oldCwd); }

    void filter_data();
    void filter();
    void listing_data();
    void listing();
    void trackerBindingAndLog();
    void trackerRelistingAndNinthPort();
    void trackerSelection();
    void logFileHandling();

    void split();
    void lineKinds_data();
    void lineKinds();
    void updatedSize_data();
    void updatedSize();
    void waitingStopsAtTen();

private:
    QString oldCwd = QDir::currentPath();
    QTemporaryDir dir;
};

void tst_MultiLogic::filter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("windows device name")
        << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#5&2b0d7d7&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}")
        << true;
    QTest::newRow("storage device") << QStringLiteral("\\\\?\\USBSTOR#VID_7352&PID_1000#1") << false;
    QTest::newRow("lower-case storage text is not excluded")
        << QStringLiteral("\\\\?\\usbstor#vid_7352&pid_1000#1") << true;
    QTest::newRow("other vendor") << QStringLiteral("\\\\?\\USB#VID_7353&PID_1000#1") << false;
    QTest::newRow("vendor with a trailing character")
        << QStringLiteral("\\\\?\\USB#VID_73520&PID_1000#1") << false;
    QTest::newRow("other product") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1001#1") << false;
    QTest::newRow("ids swapped") << QStringLiteral("\\\\?\\USB#PID_1000&VID_7352#1") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("lone hash") << QStringLiteral("#") << false;
    QTest::newRow("no ampersand") << QStringLiteral("\\\\?\\USB#VID_7352#1") << false;
    QTest::newRow("exactly four characters") << QStringLiteral("USB#7352&1000#x") << true;
    QTest::newRow("shorter vendor field") << QStringLiteral("USB#352&1000#x") << false;
    QTest::newRow("empty first part") << QStringLiteral("#VID_7352&PID_1000") << true;
    QTest::newRow("very long junk") << QString(200000, QLatin1Char('#')) << false;
    QTest::newRow("NUL ends the vendor field")
        << (QStringLiteral("USB#VID_7352") + QChar(0) + QStringLiteral("&PID_1000#x")) << false;
}

void tst_MultiLogic::filter()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QCOMPARE(isDownloadDeviceName(name), accepted);
}

void tst_MultiLogic::listing_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<Ports>("expected");

    QTest::newRow("empty output") << QByteArray() << Ports{};
    QTest::newRow("one board") << toolListing({boardLine('1', '3')}) << Ports{port("1", "3")};
    QTest::newRow("last line without CRLF is lost")
        << (toolListing({boardLine('1', '3')}) + boardLine('2', '4')) << Ports{port("1", "3")};
    QTest::newRow("two boards come back reversed")
        << toolListing({boardLine('1', '3'), boardLine('2', '4')}) << Ports{port("2", "4"), port("1", "3")};
    QTest::newRow("header lines are never read")
        << QByteArray("portlevel: 7, portnum: 7\r\nportlevel: 8, portnum: 8\r\n") + boardLine('1', '3') +
               "\r\n"
        << Ports{port("1", "3")};
    QTest::newRow("duplicate stored once")
        << toolListing({boardLine('1', '3'), boardLine('2', '4'), boardLine('1', '3')})
        << Ports{port("1", "3"), port("2", "4")};
    QTest::newRow("missing number") << toolListing({"portlevel: 1, speed: high"}) << Ports{};
    QTest::newRow("empty field values") << toolListing({"portlevel, portnum"}) << Ports{port("l", "m")};
    QTest::newRow("later field wins")
        << toolListing({"portlevel: 1, portnum: 3, portlevel: 2, portnum: 5"}) << Ports{port("2", "5")};
    QTest::newRow("comma without blank is one field")
        << toolListing({"portlevel: 1,portnum: 3"}) << Ports{port("3", "3")};
    QTest::newRow("no CRLF at all") << QByteArray(
                                           "h\nh\nportlevel: 1, portnum: 3\nportlevel: 2, portnum: 4\n")
                                    << Ports{};
    QTest::newRow("binary bytes") << toolListing({QByteArray("\xff\xfe\x00portlevel\xff, portnum: 5", 25),
                                                  QByteArray("\x00\x01\x02", 3)})
                                  << Ports{PortRecord{QString(QChar(0xFFFD)), QStringLiteral("5")}};
}

void tst_MultiLogic::listing()
{
    QFETCH(QByteArray, output);
    QFETCH(Ports, expected);
    QCOMPARE(parsePortListing(output), expected);
}

void tst_MultiLogic::trackerBindingAndLog()
{
    PortTracker tracker;
    // First arrival: one board, bound to slot 1 and launched there.
    Ports fresh = tracker.applyListing(parsePortListing(toolListing({boardLine('1', '3')})));
    QCOMPARE(fresh, Ports{port("1", "3")});
    tracker.registerPorts(fresh);
    QVector<int> done = kEightZero;
    QCOMPARE(tracker.selectSlots(fresh, kEightIdle, kEightZero, done), QVector<int>{0});
    QCOMPARE(readRunLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"));

    // Two more boards in one listing: the later line gets the lower slot; slot
    // 1's process is busy, so only the two new slots launch.
    fresh = tracker.applyListing(
        parsePortListing(toolListing({boardLine('1', '3'), boardLine('2', '1'), boardLine('2', '2')})));
    QCOMPARE(fresh, (Ports{port("2", "2"), port("2", "1")}));
    tracker.registerPorts(fresh);
    QCOMPARE(tracker.boardPorts(), (Ports{port("1", "3"), port("2", "2"), port("2", "1")}));
    QVector<bool> idle = kEightIdle;
    idle[0] = false;
    QCOMPARE(tracker.selectSlots(fresh, idle, {1, 0, 0, 0, 0, 0, 0, 0}, done), (QVector<int>{1, 2}));
    QCOMPARE(done, kEightZero);
    QCOMPARE(readRunLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"
                                      "USB Port connected: 2 2 \nUSB Port connected: 2 1 \n"
                                      "USB Port connected: 1 3 \nUSB Port removed: 1 3 2 2 2 1 \n"));
}

void tst_MultiLogic::trackerRelistingAndNinthPort()
{
    PortTracker tracker;
    QVector<int> done = kEightZero;
    for (char n = '1'; n <= '9'; ++n)
        tracker.registerPorts(
            tracker.applyListing({port("1", "0"), port("2", QByteArray(1, n).constData())}));
    QCOMPARE(tracker.boardPorts().size(), 10);
    QCOMPARE(tracker.boardPorts().at(8), port("2", "8"));
    // A port bound beyond the eighth slot is registered but never launched.
    QVERIFY(tracker.selectSlots({port("2", "8")}, kEightIdle, kEightZero, done).isEmpty());

    // Removal: the listing drops the port, the binding stays; its return is new again.
    QVERIFY(tracker.applyListing({port("2", "9")}).isEmpty());
    QCOMPARE(tracker.applyListing({}), Ports{});
    QCOMPARE(tracker.applyListing({port("1", "0")}), Ports{port("1", "0")});
    QCOMPARE(tracker.selectSlots({port("1", "0")}, kEightIdle, kEightZero, done), QVector<int>{0});
    tracker.registerPorts({port("1", "0"), port("2", "1")});
    QCOMPARE(tracker.boardPorts().size(), 10);
}

void tst_MultiLogic::trackerSelection()
{
    PortTracker tracker;
    tracker.registerPorts({port("1", "3"), port("2", "4"), port("2", "5")});
    const Ports replug{port("1", "3"), port("2", "4")};
    const QVector<int> busyFirst{1, 0, 0, 0, 0, 0, 0, 0};

    // Slot 1 completed (busy 0, done 1): the first arrival only re-arms it, and
    // slot 2 of the same listing is not launched either; the next launches both.
    QVector<int> done{1, 0, 0, 0, 0, 0, 0, 0};
    QVERIFY(tracker.selectSlots(replug, kEightIdle, kEightZero, done).isEmpty());
    QCOMPARE(done, kEightZero);
    QCOMPARE(tracker.selectSlots(replug, kEightIdle, kEightZero, done), (QVector<int>{0, 1}));
    // The guard slot comes after a slot that would launch: still nothing launches.
    done = {0, 1, 0, 0, 0, 0, 0, 0};
    QVERIFY(tracker.selectSlots({port("2", "4"), port("1", "3")}, kEightIdle, kEightZero, done).isEmpty());
    QCOMPARE(done, kEightZero);
    // The guard looks only at the first new port.
    done = {1, 0, 0, 0, 0, 0, 0, 0};
    QCOMPARE(tracker.selectSlots({port("2", "4"), port("1", "3")}, kEightIdle, kEightZero, done),
             (QVector<int>{0, 1}));
    QCOMPARE(done.at(0), 1);
    QVERIFY(tracker.selectSlots({}, kEightIdle, kEightZero, done).isEmpty());
    // A failed run (busy 1, done 1 after a not-found kill) launches again once idle.
    QCOMPARE(tracker.selectSlots(replug, kEightIdle, busyFirst, done), (QVector<int>{0, 1}));
    QCOMPARE(done.at(0), 1);
    QVector<bool> idle = kEightIdle;
    idle[0] = false;
    QCOMPARE(tracker.selectSlots(replug, idle, busyFirst, done), QVector<int>{1});
    // Between batches there are no processes: nothing launches, no flag changes.
    QVERIFY(tracker.selectSlots(replug, {}, {}, done).isEmpty());
    QCOMPARE(done.at(0), 1);
}

void tst_MultiLogic::logFileHandling()
{
    // Written as UTF-8 whatever the locale's codec.
    QTextCodec *locale = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    appendMultiplexLog(QStringLiteral("[Board 1] first"));
    appendMultiplexLog(QString());
    appendMultiplexLog(QString::fromUtf8("[Board 2] \xe6\xb3\xa8\xc3\xbc\r"));
    logPortList({});
    QTextCodec::setCodecForLocale(locale);
    QCOMPARE(readRunLog(),
             QByteArray("[Board 1] first\n\n[Board 2] \xe6\xb3\xa8\xc3\xbc\r\nUSB Port removed: \n"));

    // A log that cannot be opened loses the line without harm.
    QVERIFY(QFile::remove(QString::fromLatin1(MultiplexLog::kFileName)));
    QVERIFY(QDir().mkdir(QString::fromLatin1(MultiplexLog::kFileName)));
    appendMultiplexLog(QStringLiteral("lost"));
    logPortConnected(port("1", "3"));
    QVERIFY(QFileInfo(QString::fromLatin1(MultiplexLog::kFileName)).isDir());
    QVERIFY(QDir().rmdir(QString::fromLatin1(MultiplexLog::kFileName)));
}

void tst_MultiLogic::split()
{
    QCOMPARE(splitBoardOutput(QString()), QStringList{QString()});
    QCOMPARE(splitBoardOutput(QStringLiteral("\r\n\r\na\nb\rc\r\n")),
             (QStringList{QString(), QString(), QStringLiteral("a\nb\rc"), QString()}));
    // A NUL or invalid byte must not cost the lines after it.
    QCOMPARE(splitBoardOutput(decodeToolOutput(QByteArray("a\0b\r\n\xff\r\nUSB download complete\r\n", 31))),
             (QStringList{QStringLiteral("a") + QChar(0) + QStringLiteral("b"), QString(QChar(0xFFFD)),
                          QStringLiteral("USB download complete"), QString()}));
    QCOMPARE(decodeToolOutput(QByteArray("\xe6\xb3\xa8")), QString(QChar(0x6CE8)));
}

void tst_MultiLogic::lineKinds_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<float>("progress");  // after the line, starting from 20
    QTest::addColumn<QString>("message"); // with "%1" for the slot's number
    QTest::addColumn<bool>("complete");

    const QString none;
    const QString notFound = QStringLiteral("Board %1 download failed! Please restart.\n");
    const QString comm =
        QStringLiteral("Board %1 usb commuicate failed! Please check your usb and restart.\n");
    const QString tooLarge = QStringLiteral("Board %1 updating file is too large!!!");
    QTest::newRow("empty line") << QString() << Kind::Plain << 20.0f << none << false;
    QTest::newRow("unknown text") << QStringLiteral("[INFO] erase flash") << Kind::Plain << 20.0f << none
                                  << false;
    QTest::newRow("not found") << QStringLiteral("[ERR] usb device not found") << Kind::NotFound << 20.0f
                               << notFound << false;
    QTest::newRow("not found, tool's typo")
        << QStringLiteral("device not foundce") << Kind::NotFound << 20.0f << notFound << false;
    QTest::newRow("not found ignores completion") << QStringLiteral("usb device not found; download complete")
                                                  << Kind::NotFound << 20.0f << notFound << false;
    QTest::newRow("waiting with completion counts as waiting")
        << QStringLiteral("Waiting for USB device connection download complete") << Kind::Waiting << 20.0f
        << none << false;
    QTest::newRow("communication failure")
        << QStringLiteral("usb commuicate failed!!!") << Kind::CommFailed << 20.0f << comm << false;
    QTest::newRow("communication failure then completion")
        << QStringLiteral("usb commuicate failed!!! download complete") << Kind::CommFailed << 100.0f << comm
        << true;
    QTest::newRow("too large") << QStringLiteral("[ERR] updating file is too large") << Kind::TooLarge
                               << 20.0f << tooLarge << false;
    QTest::newRow("too large wins over download failed")
        << QStringLiteral("USB download failed: updating file is too large") << Kind::TooLarge << 20.0f
        << tooLarge << false;
    QTest::newRow("download failed") << QStringLiteral("USB download failed") << Kind::DownloadFailed << 20.0f
                                     << QStringLiteral("Board %1 USB download failed!!!") << false;
    QTest::newRow("failure texts are case-sensitive")
        << QStringLiteral("usb download FAILED") << Kind::Plain << 20.0f << none << false;
    QTest::newRow("progress wins over break")
        << QStringLiteral("break updated size: 256/1024(25%)") << Kind::Progress << 25.0f << none << false;
    QTest::newRow("break adds one") << QStringLiteral("--break--") << Kind::Break << 21.0f << none << false;
    QTest::newRow("Break is not break") << QStringLiteral("Break") << Kind::Plain << 20.0f << none << false;
    QTest::newRow("completion") << QStringLiteral("USB download complete") << Kind::Plain << 100.0f << none
                                << true;
    QTest::newRow("progress and completion")
        << QStringLiteral("updated size: 1024/1024(100%) download complete") << Kind::Progress << 100.0f
        << none << true;
}

void tst_MultiLogic::lineKinds()
{
    QFETCH(QString, line);
    QFETCH(Kind, kind);
    QFETCH(float, progress);
    QFETCH(QString, message);
    QFETCH(bool, complete);

    // Every text carries the slot's own number.
    for (int slot : {1, 8}) {
        const BoardLineResult result = interpretBoardLine(line, slot, 20.0f);
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.complete, complete);
        QCOMPARE(result.progress, progress);
        QCOMPARE(result.statusMessage, message.isEmpty() ? message : message.arg(slot));
        QCOMPARE(result.completeMessage,
                 complete ? QStringLiteral("Board %1 download complete!\n").arg(slot) : QString());
        QCOMPARE(boardLogPrefix(slot), QStringLiteral("[Board %1] ").arg(slot));
    }
}

void tst_MultiLogic::updatedSize_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("after");

    QTest::newRow("half") << QStringLiteral("updated size: 512/1024(50%)") << 0.0f << 51.0f;
    QTest::newRow("smaller later percent unchanged")
        << QStringLiteral("updated size: 256/1024(25%)") << 51.0f << 51.0f;
    QTest::newRow("fraction below the integer percent")
        << QStringLiteral("updated size: 512/1024(50%)") << 50.5f << 51.0f;
    QTest::newRow("truncating divisions") << QStringLiteral("updated size: 999/1999(49%)") << 0.0f << 52.0f;
    QTest::newRow("only the first backslash read as slash")
        << QStringLiteral("updated size: 512\\1024(50%)\\") << 0.0f << 51.0f;
    QTest::newRow("earlier backslash moves nothing")
        << QStringLiteral("C:\\img updated size: 512/1024(50%)") << 0.0f << 51.0f;
    QTest::newRow("last colon and slash count")
        << QStringLiteral("t 10:20/x updated size: 300/1000(30%)") << 0.0f << 30.0f;
    QTest::newRow("colon after the slash gives no count")
        << QStringLiteral("updated size 600/1000(60%) at:900") << 0.0f << 0.0f;
    QTest::newRow("total exactly 100") << QStringLiteral("updated size: 37/100(37%)") << 0.0f << 37.0f;
    QTest::newRow("total below 100 keeps") << QStringLiteral("updated size: 5/99(5%)") << 7.0f << 7.0f;
    QTest::newRow("negative total keeps") << QStringLiteral("updated size: 5/-1000(0%)") << 7.0f << 7.0f;
    QTest::newRow("total overflows keeps")
        << QStringLiteral("updated size: 5/99999999999(0%)") << 7.0f << 7.0f;
    QTest::newRow("no parenthesis keeps") << QStringLiteral("updated size: 512/1024") << 7.0f << 7.0f;
    QTest::newRow("largest counts") << QStringLiteral("updated size: 2147483647/2147483647(100%)") << 0.0f
                                    << 100.0f;
    QTest::newRow("total truncated to hundreds, not capped")
        << QStringLiteral("updated size: 2048/1024(200%)") << 0.0f << 204.0f;
}

void tst_MultiLogic::updatedSize()
{
    QFETCH(QString, line);
    QFETCH(float, before);
    QFETCH(float, after);
    const BoardLineResult result = interpretBoardLine(line, 4, before);
    QCOMPARE(result.kind, Kind::Progress);
    QCOMPARE(result.progress, after);
    QVERIFY(!result.complete);
}

void tst_MultiLogic::waitingStopsAtTen()
{
    const QString waiting = QStringLiteral("Waiting for USB device connection...");
    float value = 0.0f;
    int steps = 0;
    for (float next; (next = interpretBoardLine(waiting, 2, value).progress) != value && steps < 1000;
         ++steps) {
        // Each step adds 0.1 computed in double and stored as float (exact:
        // QCOMPARE on floats would forgive the last bit).
        QVERIFY(next == static_cast<float>(static_cast<double>(value) + 0.1));
        value = next;
    }
    QVERIFY(value >= 10.0f && value < 10.1f);
    QVERIFY(steps >= 100 && steps <= 101);
    QVERIFY(interpretBoardLine(waiting, 2, 0.02f).progress != 0.02f + 0.1f);
    QCOMPARE(interpretBoardLine(waiting, 2, 100.0f).progress, 100.0f);
}

QTEST_APPLESS_MAIN(tst_MultiLogic)
#include "tst_multi_logic.moc"
