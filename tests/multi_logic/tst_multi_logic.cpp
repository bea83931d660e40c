#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/porttracker.h"

#include <QTextCodec>
#include <QtTest>

// Multi-board decisions (device filter, port listing, port tracking with the
// run log, output lines) and the committed pictures. Runs in a temporary
// current directory so the run log can be read back.
using Kind = BoardLineResult::Kind;
using Ports = QVector<PortRecord>;
using Slots = QVector<int>;
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
const Slots kZero(8, 0);
const Slots kFirst{1, 0, 0, 0, 0, 0, 0, 0};
} // namespace

class tst_MultiLogic final : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(dir.isValid() && QDir::setCurrent(dir.path())); }

    void filter_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("device") << QString("\\\\?\\USB#VID_7352&PID_1000#5&2b0&0&1#{a5dcbf10}") << true;
        QTest::newRow("storage") << QString("\\\\?\\USBSTOR#VID_7352&PID_1000#1") << false;
        QTest::newRow("other vendor") << QString("\\\\?\\USB#VID_73520&PID_1000#1") << false;
        QTest::newRow("ids swapped") << QString("\\\\?\\USB#PID_1000&VID_7352#1") << false;
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
        const QByteArray h = "usb port scan\r\nfound devices\r\n";
        const QByteArray a = "dev 0, portlevel: 1, portnum: 3, speed: high\r\n",
                         b = "portlevel: 2, portnum: 4\r\n";
        QTest::newRow("reversed, duplicate once") << h + a + b + b << Ports{port("2", "4"), port("1", "3")};
        QTest::newRow("unfinished last line lost") << h + a + b.chopped(2) << Ports{port("1", "3")};
        QTest::newRow("headers never read") << b + b + a << Ports{port("1", "3")};
        QTest::newRow("missing number") << h + "portlevel: 1, speed\r\n" << Ports{};
        QTest::newRow("later field wins") << h + "portlevel: 1, portnum: 3, portnum: 5\r\n"
                                          << Ports{port("1", "5")};
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
        tracker.registerPorts(tracker.applyListing({port("1", "3")}));
        // New ports are those not in the last listing, bound in listing order.
        const Ports fresh = tracker.applyListing({port("2", "2"), port("1", "3"), port("2", "1")});
        QCOMPARE(fresh, (Ports{port("2", "2"), port("2", "1")}));
        tracker.registerPorts(fresh + Ports{port("1", "3")});
        QCOMPARE(runLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"
                                      "USB Port connected: 2 2 \nUSB Port connected: 1 3 \n"
                                      "USB Port connected: 2 1 \nUSB Port removed: 1 3 2 2 2 1 \n"));
        // The binding outlives the listing; a returning port is new again.
        QVERIFY(tracker.applyListing({}).isEmpty());
        QCOMPARE(tracker.applyListing({port("2", "1")}), Ports{port("2", "1")});
        QCOMPARE(tracker.boardPorts(), (Ports{port("1", "3"), port("2", "2"), port("2", "1")}));
    }

    void slotChoice_data()
    {
        QTest::addColumn<Ports>("fresh");
        QTest::addColumn<QVector<bool>>("idle"); // the slot's process exists and is not running
        QTest::addColumn<Slots>("busy");         // launched in this batch
        QTest::addColumn<Slots>("done");         // completed
        QTest::addColumn<Slots>("doneAfter");
        QTest::addColumn<Slots>("launched");
        const Ports one{port("1", "1")}, oneTwo{port("1", "1"), port("1", "2")};
        QVector<bool> firstRuns = kIdle;
        firstRuns[0] = false;
        QTest::newRow("slot 1") << one << kIdle << kZero << kZero << kZero << Slots{0};
        QTest::newRow("running skipped") << oneTwo << firstRuns << kFirst << kZero << kZero << Slots{1};
        QTest::newRow("ninth port") << Ports{port("1", "9")} << kIdle << kZero << kZero << kZero << Slots{};
        QTest::newRow("re-arm after success") << oneTwo << kIdle << kZero << kFirst << kZero << Slots{};
        QTest::newRow("guard on first port only")
            << Ports{port("1", "2"), port("1", "1")} << kIdle << kZero << kFirst << kFirst << Slots{0, 1};
        QTest::newRow("failed run again") << oneTwo << kIdle << kFirst << kFirst << kFirst << Slots{0, 1};
        QTest::newRow("between batches") << one << QVector<bool>{} << Slots{} << kFirst << kFirst << Slots{};
    }
    void slotChoice()
    {
        QFETCH(Ports, fresh);
        QFETCH(QVector<bool>, idle);
        QFETCH(Slots, busy);
        QFETCH(Slots, done);
        QFETCH(Slots, doneAfter);
        QFETCH(Slots, launched);
        PortTracker tracker;
        for (const char *n : {"1", "2", "3", "4", "5", "6", "7", "8", "9"})
            tracker.registerPorts({port("1", n)});
        QCOMPARE(tracker.selectSlots(fresh, idle, busy, done), launched);
        QCOMPARE(done, doneAfter);
    }

    void logIsUtf8()
    {
        QTextCodec *locale = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        QFile::remove(MultiplexLog::kFileName);
        appendMultiplexLog(QString::fromUtf8("[Board 2] \xe6\xb3\xa8\xc3\xbc\r"));
        QTextCodec::setCodecForLocale(locale);
        QCOMPARE(runLog(), QByteArray("[Board 2] \xe6\xb3\xa8\xc3\xbc\r\n"));
        // A NUL or invalid byte in the tool's output costs no line after it.
        QCOMPARE(splitBoardOutput(decodeToolOutput(QByteArray("a\0b\r\n\xff\r\n\r\n", 10))),
                 (QStringList{QString("a") + QChar(0) + "b", QChar(0xFFFD), "", ""}));
    }

    void lineKinds_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<float>("progress"); // after the line, from 9.95; 100 when complete
        QTest::addColumn<QString>("message");
        QTest::newRow("not found, typo, completion ignored")
            << QString("device not foundce download complete") << Kind::NotFound << 9.95f
            << QString("Board 8 download failed! Please restart.\n");
        QTest::newRow("communication failure, complete")
            << QString("usb commuicate failed!!! download complete") << Kind::CommFailed << 100.0f
            << QString("Board 8 usb commuicate failed! Please check your usb and restart.\n");
        QTest::newRow("too large wins")
            << QString("USB download failed: updating file is too large") << Kind::TooLarge << 9.95f
            << QString("Board 8 updating file is too large!!!");
        QTest::newRow("download failed") << QString("USB download failed") << Kind::DownloadFailed << 9.95f
                                         << QString("Board 8 USB download failed!!!");
        QTest::newRow("waiting adds 0.1 up to 10, ignores completion")
            << QString("Waiting for USB device connection download complete") << Kind::Waiting << 10.05f
            << QString();
        QTest::newRow("progress wins over break")
            << QString("break updated size: 256/1024(25%)") << Kind::Progress << 25.0f << QString();
        QTest::newRow("break adds one") << QString("--break--") << Kind::Break << 10.95f << QString();
        QTest::newRow("completion") << QString("USB download complete") << Kind::Plain << 100.0f << QString();
    }
    void lineKinds()
    {
        QFETCH(QString, line);
        QFETCH(Kind, kind);
        QFETCH(float, progress);
        QFETCH(QString, message);
        const BoardLineResult result = interpretBoardLine(line, 8, 9.95f);
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.progress, progress);
        QCOMPARE(result.statusMessage, message);
        QCOMPARE(result.complete, progress == 100.0f);
        if (kind == Kind::Waiting)
            QCOMPARE(interpretBoardLine(line, 8, result.progress).progress, result.progress);
    }

    void updatedSize_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<float>("before");
        QTest::addColumn<float>("after");
        QTest::newRow("half") << QString("updated size: 512/1024(50%)") << 0.0f << 51.0f;
        QTest::newRow("truncating divisions") << QString("updated size: 999/1999(49%)") << 0.0f << 52.0f;
        QTest::newRow("first backslash a slash")
            << QString("updated size: 512\\1024(50%)\\") << 0.0f << 51.0f;
        QTest::newRow("colon after the slash")
            << QString("updated size 600/1000(60%) at:900") << 0.0f << 0.0f;
        QTest::newRow("total below 100") << QString("updated size: 5/99(5%)") << 7.0f << 7.0f;
        QTest::newRow("not capped") << QString("updated size: 2048/1024(200%)") << 0.0f << 204.0f;
    }
    void updatedSize()
    {
        QFETCH(QString, line);
        QFETCH(float, before);
        QFETCH(float, after);
        QCOMPARE(interpretBoardLine(line, 4, before).progress, after);
    }

    // The committed pictures: small antialiased drawings on a transparent
    // ground, the status pictures told apart by the colour leading in them.
    void pictures()
    {
        const QStringList names{"failed.png", "success.png", "download.png", "1.png",
                                "2.png",      "3.png",       "4.png"};
        for (int channel = 0; channel < names.size(); ++channel) {
            const QImage img =
                QImage(QUOR_IMG_DIR "/" + names[channel]).convertToFormat(QImage::Format_ARGB32);
            const int side = channel < 3 ? 90 : 64;
            QVERIFY2(img.size() == QSize(side, side) && qAlpha(img.pixel(0, 0)) == 0,
                     qPrintable(names[channel]));
            QSet<QRgb> colours;
            int opaque = 0, leading = 0;
            for (int i = 0; i < side * side; ++i) {
                const QRgb p = img.pixel(i % side, i / side);
                const int c[3] = {qRed(p), qGreen(p), qBlue(p)}, k = channel % 3;
                colours.insert(p);
                opaque += qAlpha(p) >= 200;
                leading += qAlpha(p) >= 200 && c[k] > c[(k + 1) % 3] + 50 && c[k] > c[(k + 2) % 3] + 50;
            }
            QVERIFY2(colours.size() > 40, qPrintable(names[channel]));
            QVERIFY2(channel > 2 || leading > opaque * (channel == 2 ? 0.15 : 0.4),
                     qPrintable(names[channel]));
        }
    }
};

QTEST_GUILESS_MAIN(tst_MultiLogic)
#include "tst_multi_logic.moc"
