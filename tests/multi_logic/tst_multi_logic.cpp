#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/porttracker.h"

#include <QImageReader>
#include <QTextCodec>
#include <QtTest>

// Multi-board decisions (device filter, port listing, port tracking with the
// run log, output lines) and the committed pictures. Runs in a temporary
// current directory so the run log can be read back.
using Kind = BoardLineResult::Kind;
using Ports = QVector<PortRecord>;
Q_DECLARE_METATYPE(PortRecord)
Q_DECLARE_METATYPE(BoardLineResult::Kind)

namespace {
PortRecord port(const char *level, const char *number)
{
    return PortRecord{level, number};
}

QByteArray runLog()
{
    QFile file(MultiplexLog::kFileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QVector<bool> kIdle(8, true);
const QVector<int> kZero(8, 0);
const QVector<int> kFirst{1, 0, 0, 0, 0, 0, 0, 0};
const QByteArray kHead = "usb port scan\r\nfound devices\r\n";
} // namespace

class tst_MultiLogic final : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(dir.isValid() && QDir::setCurrent(dir.path())); }
    void init() { QFile::remove(MultiplexLog::kFileName); }

    void filter_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("device") << QString("\\\\?\\USB#VID_7352&PID_1000#5&2b0&0&1#{a5dcbf10-6530}") << true;
        QTest::newRow("storage") << QString("\\\\?\\USBSTOR#VID_7352&PID_1000#1") << false;
        QTest::newRow("lower-case storage") << QString("\\\\?\\usbstor#vid_7352&pid_1000#1") << true;
        QTest::newRow("other vendor") << QString("\\\\?\\USB#VID_73520&PID_1000#1") << false;
        QTest::newRow("other product") << QString("\\\\?\\USB#VID_7352&PID_1001#1") << false;
        QTest::newRow("ids swapped") << QString("\\\\?\\USB#PID_1000&VID_7352#1") << false;
        QTest::newRow("bare ids") << QString("#7352&1000") << true;
        QTest::newRow("NUL ends the vendor") << QString("USB#VID_7352") + QChar(0) + "&PID_1000#x" << false;
    }
    void filter()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(isDownloadDeviceName(name), accepted);
    }

    void listing_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<Ports>("expected");
        const QByteArray a = "dev 0, portlevel: 1, portnum: 3, speed: high\r\n";
        const QByteArray b = "dev 0, portlevel: 2, portnum: 4\r\n";
        QTest::newRow("reversed, duplicate once")
            << kHead + a + b + b << Ports{port("2", "4"), port("1", "3")};
        QTest::newRow("unfinished last line lost") << kHead + a + b.chopped(2) << Ports{port("1", "3")};
        QTest::newRow("headers never read")
            << "portnum: 7\r\nportlevel: 8, portnum: 8\r\n" + a << Ports{port("1", "3")};
        QTest::newRow("missing number") << kHead + "portlevel: 1, speed\r\n" << Ports{};
        QTest::newRow("later field wins") << kHead + "portlevel: 1, portnum: 3, portnum: 5\r\n"
                                          << Ports{port("1", "5")};
        QTest::newRow("comma without blank") << kHead + "portlevel: 1,portnum: 3\r\n"
                                             << Ports{port("3", "3")};
        QTest::newRow("no CRLF") << QByteArray("h\nh\nportlevel: 1, portnum: 3\nportnum: 4\n") << Ports{};
        QTest::newRow("binary") << kHead + QByteArray("\xff\x00portlevel\xff, portnum: 5\r\n\x00\x01\r\n", 30)
                                << Ports{PortRecord{QChar(0xFFFD), "5"}};
    }
    void listing()
    {
        QFETCH(QByteArray, output);
        QFETCH(Ports, expected);
        QCOMPARE(parsePortListing(output), expected);
    }

    void trackerBindingAndLog()
    {
        PortTracker tracker;
        // First arrival: one board, bound to slot 1 and launched there.
        Ports fresh = tracker.applyListing({port("1", "3")});
        QCOMPARE(fresh, Ports{port("1", "3")});
        tracker.registerPorts(fresh);
        QVector<int> done = kZero;
        QCOMPARE(tracker.selectSlots(fresh, kIdle, kZero, done), QVector<int>{0});
        // Two more in one listing, bound in listing order; slot 1 is busy, so
        // only the two new slots launch.
        fresh = tracker.applyListing({port("2", "2"), port("1", "3"), port("2", "1")});
        QCOMPARE(fresh, (Ports{port("2", "2"), port("2", "1")}));
        tracker.registerPorts(fresh);
        QVector<bool> idle = kIdle;
        idle[0] = false;
        QCOMPARE(tracker.selectSlots(fresh, idle, kFirst, done), (QVector<int>{1, 2}));
        QCOMPARE(runLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"
                                      "USB Port connected: 2 2 \nUSB Port connected: 1 3 \n"
                                      "USB Port connected: 2 1 \nUSB Port removed: 1 3 2 2 2 1 \n"));
        // The binding outlives the listing; a returning port is new again.
        QVERIFY(tracker.applyListing({}).isEmpty());
        QCOMPARE(tracker.applyListing({port("2", "1")}), Ports{port("2", "1")});
        // A port bound beyond the eighth slot is registered but never launched.
        for (const char *n : {"3", "4", "5", "6", "7", "8"})
            tracker.registerPorts({port("3", n), port("1", "3")});
        QCOMPARE(tracker.boardPorts().size(), 9);
        QVERIFY(tracker.selectSlots({port("3", "8")}, kIdle, kZero, done).isEmpty());
        QCOMPARE(tracker.selectSlots({port("3", "7")}, kIdle, kZero, done), QVector<int>{7});
    }

    void trackerReArmGuard()
    {
        PortTracker tracker;
        const Ports replug{port("1", "3"), port("2", "4")};
        tracker.registerPorts(replug);
        // Slot 1 completed (busy 0, done 1): its board's first return only
        // re-arms it and launches nothing; the next launches both.
        QVector<int> done = kFirst;
        QVERIFY(tracker.selectSlots(replug, kIdle, kZero, done).isEmpty());
        QCOMPARE(done, kZero);
        QCOMPARE(tracker.selectSlots(replug, kIdle, kZero, done), (QVector<int>{0, 1}));
        // The guard looks only at the first new port.
        done = kFirst;
        QCOMPARE(tracker.selectSlots({port("2", "4"), port("1", "3")}, kIdle, kZero, done),
                 (QVector<int>{0, 1}));
        // A failed run (busy 1, done 1) launches again; between batches nothing does.
        QCOMPARE(tracker.selectSlots(replug, kIdle, kFirst, done), (QVector<int>{0, 1}));
        QVERIFY(tracker.selectSlots(replug, {}, {}, done).isEmpty());
        QCOMPARE(done, kFirst);
    }

    void logIsUtf8()
    {
        QTextCodec *locale = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        appendMultiplexLog(QString::fromUtf8("[Board 2] \xe6\xb3\xa8\xc3\xbc\r"));
        logPortList({});
        QTextCodec::setCodecForLocale(locale);
        QCOMPARE(runLog(), QByteArray("[Board 2] \xe6\xb3\xa8\xc3\xbc\r\nUSB Port removed: \n"));
        // A NUL or invalid byte in the tool's output costs no line after it.
        QCOMPARE(splitBoardOutput(decodeToolOutput(QByteArray("a\0b\r\n\xff\r\n\r\n", 10))),
                 (QStringList{QString("a") + QChar(0) + "b", QChar(0xFFFD), "", ""}));
    }

    void lineKinds_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<float>("progress"); // after the line, from 20
        QTest::addColumn<QString>("message");
        const QString comm = "Board %1 usb commuicate failed! Please check your usb and restart.\n";
        QTest::newRow("unknown") << QString("[INFO] erase flash") << Kind::Plain << 20.0f << QString();
        QTest::newRow("not found, typo, completion ignored")
            << QString("device not foundce download complete") << Kind::NotFound << 20.0f
            << QString("Board %1 download failed! Please restart.\n");
        QTest::newRow("waiting ignores completion")
            << QString("Waiting for USB device connection download complete") << Kind::Waiting << 20.0f
            << QString();
        QTest::newRow("communication failure, complete")
            << QString("usb commuicate failed!!! download complete") << Kind::CommFailed << 100.0f << comm;
        QTest::newRow("too large wins")
            << QString("USB download failed: updating file is too large") << Kind::TooLarge << 20.0f
            << QString("Board %1 updating file is too large!!!");
        QTest::newRow("download failed") << QString("USB download failed") << Kind::DownloadFailed << 20.0f
                                         << QString("Board %1 USB download failed!!!");
        QTest::newRow("case-sensitive")
            << QString("usb download FAILED") << Kind::Plain << 20.0f << QString();
        QTest::newRow("progress wins")
            << QString("break updated size: 256/1024(25%)") << Kind::Progress << 25.0f << QString();
        QTest::newRow("break adds one") << QString("--break--") << Kind::Break << 21.0f << QString();
        QTest::newRow("Break is not break") << QString("Break") << Kind::Plain << 20.0f << QString();
        QTest::newRow("completion") << QString("USB download complete") << Kind::Plain << 100.0f << QString();
    }
    void lineKinds()
    {
        QFETCH(QString, line);
        QFETCH(Kind, kind);
        QFETCH(float, progress);
        QFETCH(QString, message);
        for (int slot : {1, 8}) {
            const BoardLineResult result = interpretBoardLine(line, slot, 20.0f);
            QCOMPARE(result.kind, kind);
            QCOMPARE(result.progress, progress);
            QCOMPARE(result.complete, progress == 100.0f);
            QCOMPARE(result.statusMessage, message.isEmpty() ? message : message.arg(slot));
            QCOMPARE(result.completeMessage,
                     result.complete ? QString("Board %1 download complete!\n").arg(slot) : QString());
            QCOMPARE(boardLogPrefix(slot), QString("[Board %1] ").arg(slot));
        }
    }

    void updatedSize_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<float>("before");
        QTest::addColumn<float>("after");
        QTest::newRow("half") << QString("updated size: 512/1024(50%)") << 0.0f << 51.0f;
        QTest::newRow("never backwards") << QString("updated size: 256/1024(25%)") << 51.0f << 51.0f;
        QTest::newRow("truncating divisions") << QString("updated size: 999/1999(49%)") << 0.0f << 52.0f;
        QTest::newRow("first backslash a slash")
            << QString("updated size: 512\\1024(50%)\\") << 0.0f << 51.0f;
        QTest::newRow("last colon and slash")
            << QString("1:2/x updated size: 300/1000(30%)") << 0.0f << 30.0f;
        QTest::newRow("colon after the slash")
            << QString("updated size 600/1000(60%) at:900") << 0.0f << 0.0f;
        QTest::newRow("total below 100") << QString("updated size: 5/99(5%)") << 7.0f << 7.0f;
        QTest::newRow("total overflows") << QString("updated size: 5/99999999999(0%)") << 7.0f << 7.0f;
        QTest::newRow("no parenthesis") << QString("updated size: 512/1024") << 7.0f << 7.0f;
        QTest::newRow("not capped") << QString("updated size: 2048/1024(200%)") << 0.0f << 204.0f;
    }
    void updatedSize()
    {
        QFETCH(QString, line);
        QFETCH(float, before);
        QFETCH(float, after);
        const BoardLineResult result = interpretBoardLine(line, 4, before);
        QCOMPARE(result.kind, Kind::Progress);
        QCOMPARE(result.progress, after);
    }

    void waitingStopsAtTen()
    {
        // Each step adds 0.1 in double, stored as float: compared exactly, as
        // QCOMPARE on floats would forgive the last bit.
        float value = 0.0f;
        int steps = 0;
        for (float next;
             (next = interpretBoardLine("Waiting for USB device connection", 2, value).progress) != value &&
             steps < 1000;
             ++steps) {
            QVERIFY(next == static_cast<float>(static_cast<double>(value) + 0.1));
            value = next;
        }
        QVERIFY(value >= 10.0f && value < 10.1f && steps >= 100 && steps <= 101);
    }

    // The committed pictures: small antialiased drawings on a transparent
    // ground; each animation frame differs from the next, and the status
    // pictures from each other by their leading colour.
    void pictures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("channel"); // red, green, blue leads in the drawn pixels; -1 for a frame
        QTest::addColumn<QString>("other");
        for (int i = 1; i <= 4; ++i)
            QTest::addRow("frame %d", i)
                << QString("%1.png").arg(i) << -1 << QString("%1.png").arg(i % 4 + 1);
        QTest::newRow("failed") << QString("failed.png") << 0 << QString("success.png");
        QTest::newRow("success") << QString("success.png") << 1 << QString("download.png");
        QTest::newRow("download") << QString("download.png") << 2 << QString("failed.png");
    }
    void pictures()
    {
        QFETCH(QString, name);
        QFETCH(int, channel);
        QFETCH(QString, other);
        const QImage img = QImage(QUOR_IMG_DIR "/" + name).convertToFormat(QImage::Format_ARGB32);
        const QImage next = QImage(QUOR_IMG_DIR "/" + other).convertToFormat(QImage::Format_ARGB32);
        const int side = channel < 0 ? 64 : 90;
        QVERIFY(img.size() == QSize(side, side) && next.size() == img.size() && qAlpha(img.pixel(0, 0)) == 0);
        QVERIFY(QFileInfo(QUOR_IMG_DIR "/" + name).size() < 16 * 1024);
        QSet<QRgb> colours;
        int opaque = 0, leading = 0, differing = 0;
        for (int i = 0; i < side * side; ++i) {
            const QRgb p = img.pixel(i % side, i / side), q = next.pixel(i % side, i / side);
            const int c[3] = {qRed(p), qGreen(p), qBlue(p)};
            colours.insert(p);
            differing += qAbs(c[0] - qRed(q)) + qAbs(c[1] - qGreen(q)) + qAbs(c[2] - qBlue(q)) +
                             qAbs(qAlpha(p) - qAlpha(q)) >
                         60;
            opaque += qAlpha(p) >= 200;
            leading += qAlpha(p) >= 200 && channel >= 0 && c[channel] > c[(channel + 1) % 3] + 50 &&
                       c[channel] > c[(channel + 2) % 3] + 50;
        }
        QVERIFY2(colours.size() > 40, qPrintable(QString::number(colours.size())));
        QVERIFY2(differing > side * side * (channel < 0 ? 0.03 : 0.2),
                 qPrintable(QString::number(differing)));
        QVERIFY2(channel < 0 || leading > opaque * (channel == 2 ? 0.15 : 0.4),
                 qPrintable(QString::number(leading)));
    }
    void iconHoldsItsSizes()
    {
        QImageReader reader(QUOR_IMG_DIR "/logo.ico");
        QList<int> sides;
        for (int i = 0; i < reader.imageCount() && reader.jumpToImage(i); ++i)
            sides << reader.read().width();
        std::sort(sides.begin(), sides.end());
        QCOMPARE(sides, (QList<int>{16, 32, 48, 256}));
    }
};

QTEST_GUILESS_MAIN(tst_MultiLogic)
#include "tst_multi_logic.moc"
