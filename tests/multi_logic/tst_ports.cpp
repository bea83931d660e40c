#include "tst_multi_logic.h"

#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/porttracker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

Q_DECLARE_METATYPE(PortRecord)

namespace {

using Ports = QVector<PortRecord>;

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

QString withNul(const char *before, const char *after)
{
    QString name = QString::fromLatin1(before);
    name.append(QChar(0));
    name.append(QString::fromLatin1(after));
    return name;
}

const QVector<bool> kEightIdle(8, true);
const QVector<int> kEightZero(8, 0);

} // namespace

void tst_MultiLogic::filter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    const QString classId = QStringLiteral("#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    QTest::newRow("windows device name")
        << (QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#5&2b0d7d7&0&1") + classId) << true;
    QTest::newRow("no serial part") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000") << true;
    QTest::newRow("storage device") << QStringLiteral("\\\\?\\USBSTOR#VID_7352&PID_1000#1") << false;
    QTest::newRow("storage text later") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#USBSTOR") << false;
    QTest::newRow("lower-case storage text is not excluded")
        << QStringLiteral("\\\\?\\usbstor#vid_7352&pid_1000#1") << true;
    QTest::newRow("other vendor") << QStringLiteral("\\\\?\\USB#VID_7353&PID_1000#1") << false;
    QTest::newRow("vendor with a trailing character")
        << QStringLiteral("\\\\?\\USB#VID_73520&PID_1000#1") << false;
    QTest::newRow("other product") << QStringLiteral("\\\\?\\USB#VID_7352&PID_1001#1") << false;
    QTest::newRow("ids swapped") << QStringLiteral("\\\\?\\USB#PID_1000&VID_7352#1") << false;
    QTest::newRow("ids in the first part only") << QStringLiteral("VID_7352&PID_1000#USB#x") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("no hash") << QStringLiteral("\\\\?\\USB_VID_7352&PID_1000") << false;
    QTest::newRow("lone hash") << QStringLiteral("#") << false;
    QTest::newRow("no ampersand") << QStringLiteral("\\\\?\\USB#VID_7352#1") << false;
    QTest::newRow("empty id parts") << QStringLiteral("USB#&#x") << false;
    QTest::newRow("exactly four characters") << QStringLiteral("USB#7352&1000#x") << true;
    QTest::newRow("shorter vendor field") << QStringLiteral("USB#352&1000#x") << false;
    QTest::newRow("shorter product field") << QStringLiteral("USB#7352&100#x") << false;
    QTest::newRow("empty first part") << QStringLiteral("#VID_7352&PID_1000") << true;
    QTest::newRow("very long serial")
        << (QStringLiteral("USB#VID_7352&PID_1000#") + QString(200000, QLatin1Char('s'))) << true;
    QTest::newRow("very long junk") << QString(200000, QLatin1Char('#')) << false;
    QTest::newRow("NUL in the serial") << withNul("USB#VID_7352&PID_1000#a", "b") << true;
    QTest::newRow("NUL ends the vendor field") << withNul("USB#VID_7352", "&PID_1000#x") << false;
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
    QTest::newRow("headers only") << toolListing({}) << Ports{};
    QTest::newRow("fewer than three lines") << QByteArray("a\r\nportlevel: 1, portnum: 3\r\n") << Ports{};
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
    QTest::newRow("missing level") << toolListing({"portnum: 3"}) << Ports{};
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
    QTest::newRow("NUL byte in a header line")
        << (QByteArray("usb\0port\r\nx\r\n", 13) + boardLine('1', '3') + "\r\n") << Ports{port("1", "3")};
    QTest::newRow("character outside the basic plane kept whole")
        << toolListing({"portlevel: \xf0\x9f\x98\x80, portnum: 2"})
        << Ports{PortRecord{QString::fromUtf8("\xf0\x9f\x98\x80"), QStringLiteral("2")}};
}

void tst_MultiLogic::listing()
{
    QFETCH(QByteArray, output);
    QFETCH(Ports, expected);
    QCOMPARE(parsePortListing(output), expected);
}

void tst_MultiLogic::listingDuplicateDiagnostic()
{
    QTest::ignoreMessage(QtDebugMsg, "usb port exist !");
    const Ports ports = parsePortListing(toolListing({boardLine('1', '3'), boardLine('1', '3')}));
    QCOMPARE(ports, Ports{port("1", "3")});
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

    // Two more boards in one listing: the later line gets the lower slot.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^newPort: ")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Register port list: ")));
    fresh = tracker.applyListing(
        parsePortListing(toolListing({boardLine('1', '3'), boardLine('2', '1'), boardLine('2', '2')})));
    QCOMPARE(fresh, (Ports{port("2", "2"), port("2", "1")}));
    tracker.registerPorts(fresh);
    QCOMPARE(tracker.boardPorts(), (Ports{port("1", "3"), port("2", "2"), port("2", "1")}));
    QCOMPARE(tracker.scannedPorts(), (Ports{port("2", "2"), port("2", "1"), port("1", "3")}));
    // Slot 1's process is busy now; only the two new slots launch.
    QVector<bool> idle = kEightIdle;
    idle[0] = false;
    const QVector<int> busy{1, 0, 0, 0, 0, 0, 0, 0};
    QCOMPARE(tracker.selectSlots(fresh, idle, busy, done), (QVector<int>{1, 2}));
    QCOMPARE(done, kEightZero);

    QCOMPARE(readRunLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"
                                      "USB Port connected: 2 2 \nUSB Port connected: 2 1 \n"
                                      "USB Port connected: 1 3 \nUSB Port removed: 1 3 2 2 2 1 \n"));
}

void tst_MultiLogic::trackerRelistingAndNinthPort()
{
    PortTracker tracker;
    QVector<int> done = kEightZero;
    for (char n = '1'; n <= '9'; ++n) {
        const Ports fresh = tracker.applyListing({port("1", "0"), port("2", QByteArray(1, n).constData())});
        tracker.registerPorts(fresh);
    }
    QCOMPARE(tracker.boardPorts().size(), 10);
    QCOMPARE(tracker.boardPorts().at(8), port("2", "8"));

    // A port bound beyond the eighth slot is registered but never launched.
    const Ports last{port("2", "8")};
    QVERIFY(tracker.selectSlots(last, kEightIdle, kEightZero, done).isEmpty());

    // Removal: the listing drops the port, the binding stays; its return is new again.
    QVERIFY(tracker.applyListing({port("2", "9")}).isEmpty());
    QCOMPARE(tracker.applyListing({}), Ports{});
    QCOMPARE(tracker.applyListing({port("1", "0")}), Ports{port("1", "0")});
    QCOMPARE(tracker.boardPorts().size(), 10);
    QCOMPARE(tracker.selectSlots({port("1", "0")}, kEightIdle, kEightZero, done), QVector<int>{0});

    // Registering a known port again adds nothing.
    tracker.registerPorts({port("1", "0"), port("2", "1")});
    QCOMPARE(tracker.boardPorts().size(), 10);
}

void tst_MultiLogic::trackerOneTimeGuard()
{
    PortTracker tracker;
    tracker.registerPorts({port("1", "3"), port("2", "4"), port("2", "5")});
    const Ports replug{port("1", "3"), port("2", "4")};

    // Slot 1 completed (busy 0, done 1): the first arrival only re-arms it,
    // and slot 2 of the same listing is not launched either.
    QVector<int> done{1, 0, 0, 0, 0, 0, 0, 0};
    QVERIFY(tracker.selectSlots(replug, kEightIdle, kEightZero, done).isEmpty());
    QCOMPARE(done, kEightZero);
    // The next arrival launches both.
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

    // No new ports: nothing launches and no flag changes.
    QVERIFY(tracker.selectSlots({}, kEightIdle, kEightZero, done).isEmpty());
    QCOMPARE(done.at(0), 1);
}

void tst_MultiLogic::trackerBeforeStartAndFailedSlot()
{
    PortTracker tracker;
    // Before Start there are no processes: the port is registered and logged only.
    QVector<int> done;
    const Ports fresh = tracker.applyListing({port("1", "3")});
    tracker.registerPorts(fresh);
    QVERIFY(tracker.selectSlots(fresh, {}, {}, done).isEmpty());
    QCOMPARE(tracker.boardPorts(), Ports{port("1", "3")});
    QCOMPARE(readRunLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"));

    // A failed run (busy 1, done 1 after a not-found kill) launches again once idle.
    done = {1, 0, 0, 0, 0, 0, 0, 0};
    const QVector<int> busy{1, 0, 0, 0, 0, 0, 0, 0};
    QCOMPARE(tracker.selectSlots(fresh, kEightIdle, busy, done), QVector<int>{0});
    QCOMPARE(done.at(0), 1);
    QVector<bool> idle = kEightIdle;
    idle[0] = false;
    QVERIFY(tracker.selectSlots(fresh, idle, busy, done).isEmpty());
    // Flag vectors shorter than the process list are not read past their end.
    QVector<int> shortDone{0};
    QVERIFY(tracker.selectSlots(fresh, kEightIdle, {}, shortDone).isEmpty());
}

void tst_MultiLogic::logFileHandling()
{
    appendMultiplexLog(QStringLiteral("[Board 1] first"));
    appendMultiplexLog(QString());
    appendMultiplexLog(QString::fromUtf8("[Board 2] \xe6\xb3\xa8\xc3\xbc\r"));
    logPortList({});
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
