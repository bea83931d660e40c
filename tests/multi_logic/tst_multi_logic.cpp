#include "multi/boardoutput.h"
#include "multi/devicefilter.h"
#include "multi/multiplexlog.h"
#include "multi/portlisting.h"
#include "multi/porttracker.h"
#include "multi/processbarthread.h"
#include "quorDownload/runlog.h"

#include <QImage>
#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include <array>
#include <limits>
#include <mutex>
#include <vector>

// Multi-board decisions, the progress ticker and the committed pictures. Runs
// in a temporary current directory so the run log can be read back.
using Kind = BoardLineResult::Kind;
using P = PortRecord;
using Ports = QVector<PortRecord>;
Q_DECLARE_METATYPE(BoardLineResult::Kind)

namespace {
QByteArray readLog(const char *name = MultiplexLog::kFileName)
{
    QFile file(QString::fromLatin1(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_MultiLogic final : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    // Emissions recorded on the worker thread itself (direct connections,
    // under a mutex the sanitizer sees): the ticker's own hand-over is checked.
    std::mutex mutex;
    std::array<int, 8> values{};
    std::vector<int> order;
    template <typename T> T read(const T &field)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }
    void record(processbarthread *ticker)
    {
        const std::array<void (processbarthread::*)(int), 8> ticks = {
            &processbarthread::process1, &processbarthread::process2, &processbarthread::process3,
            &processbarthread::process4, &processbarthread::process5, &processbarthread::process6,
            &processbarthread::process7, &processbarthread::process8};
        for (std::size_t slot = 0; slot < 8; ++slot) {
            const auto note = [this, slot](int value) {
                std::lock_guard<std::mutex> lock(mutex);
                values[slot] = value;
                order.push_back(int(slot) + 1);
            };
            connect(ticker, ticks[slot], ticker, note, Qt::DirectConnection);
        }
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid() && QDir::setCurrent(dir.path())); }

    // What the system reports: the device names of an arrival and the tool's port listing.
    void listing()
    {
        QVERIFY(isDownloadDeviceName("\\\\?\\USB#VID_7352&PID_1000#5&2b0&0&1#{a5dcbf10}") &&
                !isDownloadDeviceName("\\\\?\\USBSTOR#VID_7352&PID_1000#1"));
        const QByteArray h = "usb port scan\r\nfound devices\r\n";
        const QByteArray a = "dev 0, portlevel: 1, portnum: 3, speed: high\r\n",
                         b = "portlevel: 2, portnum: 4\r\n";
        // Reversed, a duplicate once; an unfinished last line lost; the two header lines never read; a
        // number missing.
        for (const auto &[output, expected] :
             {std::pair<QByteArray, Ports>{h + a + b + b, {P{"2", "4"}, P{"1", "3"}}},
              {h + a + b.chopped(2), {P{"1", "3"}}},
              {b + b + a, {P{"1", "3"}}},
              {h + "portlevel: 1, speed\r\n", {}}})
            QCOMPARE(parsePortListing(output), expected);
    }

    void trackerBindingAndLog()
    {
        PortTracker tracker;
        tracker.registerPorts(tracker.applyListing({P{"1", "3"}}));
        // New ports are those not in the last listing, bound in listing order.
        const Ports fresh = tracker.applyListing({P{"2", "2"}, P{"1", "3"}, P{"2", "1"}});
        QCOMPARE(fresh, (Ports{P{"2", "2"}, P{"2", "1"}}));
        tracker.registerPorts(fresh + Ports{P{"1", "3"}});
        QCOMPARE(readLog(), QByteArray("USB Port connected: 1 3 \nUSB Port removed: 1 3 \n"
                                       "USB Port connected: 2 2 \nUSB Port connected: 1 3 \n"
                                       "USB Port connected: 2 1 \nUSB Port removed: 1 3 2 2 2 1 \n"));
        // The binding outlives the listing; a returning port is new again.
        QVERIFY(tracker.applyListing({}).isEmpty());
        QCOMPARE(tracker.applyListing({P{"2", "1"}}), (Ports{P{"2", "1"}}));
        QCOMPARE(tracker.boardPorts(), (Ports{P{"1", "3"}, P{"2", "2"}, P{"2", "1"}}));
    }

    void slotChoice_data()
    {
        // The fresh ports (level 1); slot 1's state, every other slot idle (i: its process exists and is
        // not running, b: launched in this batch, d: completed; empty: no processes, between batches);
        // whether slot 1 is still done afterwards; the slots launched.
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("doneAfter");
        QTest::addColumn<QString>("launched");
        const auto row = [](const char *name, const char *fresh, const char *first, bool doneAfter,
                            const char *launched) {
            QTest::newRow(name) << QString(fresh) << QString(first) << doneAfter << QString(launched);
        };
        row("slot 1", "1", "i", false, "0");
        row("running skipped", "1 2", "b", false, "1");
        row("ninth port", "9", "i", false, "");
        row("re-arm after success", "1 2", "id", false, "");
        row("guard on first port only", "2 1", "id", true, "0 1");
        row("failed run again", "1 2", "ibd", true, "0 1");
        row("between batches", "1", "", false, "");
    }
    void slotChoice()
    {
        QFETCH(QString, fresh);
        QFETCH(QString, first);
        QFETCH(bool, doneAfter);
        QFETCH(QString, launched);
        PortTracker tracker;
        for (const char *n : {"1", "2", "3", "4", "5", "6", "7", "8", "9"})
            tracker.registerPorts({P{"1", n}});
        Ports ports;
        for (const QString &n : fresh.split(' '))
            ports << P{"1", n};
        QVector<PortTracker::SlotState> states(first.isEmpty() ? 0 : 8, {true, false, false});
        if (!first.isEmpty())
            states[0] = {first.contains('i'), first.contains('b'), first.contains('d')};
        QStringList chosen;
        for (const int slot : tracker.selectSlots(ports, states))
            chosen << QString::number(slot);
        QCOMPARE(chosen.join(' '), launched);
        QCOMPARE(states.value(0).done, doneAfter);
    }

    // Both run logs: a line as it is with a line feed, in UTF-8 in the multi-board log and in the locale's
    // encoding in the single-board one ('?' for what it cannot hold); a batch's lines (nested batches too)
    // reach the file together when the outermost batch ends, byte for byte as written one at a time.
    void logBatches()
    {
        // A NUL or invalid byte in the tool's output costs no line after it.
        QCOMPARE(splitBoardOutput(decodeToolOutput(QByteArray("a\0b\r\n\xff\r\n\r\n", 10))),
                 (QStringList{QString("a") + QChar(0) + "b", QChar(0xFFFD), "", ""}));
        QTextCodec *locale = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const QStringList lines{QString::fromUtf8("[Board 1] \xe6\xb3\xa8\xc3\xbc\r"), QString(QChar(0xD800)),
                                ""};
        const struct
        {
            BatchedLog *log;
            const char *name;
            QByteArray alone; // the lines written one at a time
        } logs[] = {{&multiplexLog(), MultiplexLog::kFileName, "[Board 1] \xe6\xb3\xa8\xc3\xbc\r\n?\n\n"},
                    {&RunLog::log(), RunLog::kFileName, "[Board 1] ?\xfc\r\n?\n\n"}};
        for (const auto &[log, name, alone] : logs) {
            QFile file(QString::fromLatin1(name));
            file.remove();
            for (const QString &line : lines)
                log->append(line);
            QCOMPARE(readLog(name), alone);
            file.remove();
            {
                const BatchedLog::Batch outer(*log), inner(*log);
                for (const QString &line : lines)
                    log->append(line);
            }
            QCOMPARE(readLog(name), alone);
            {
                const BatchedLog::Batch batch(*log);
                log->append(lines.first());
                QCOMPARE(file.size(), alone.size()); // nothing written before the batch ends
            }
            QCOMPARE(file.size(), alone.size() + alone.indexOf('\n') + 1);
            file.remove();
#ifdef Q_OS_UNIX
            // A FIFO nobody reads in the log's place costs the lines, never the window.
            QCOMPARE(::mkfifo(QFile::encodeName(file.fileName()).constData(), 0600), 0);
            log->append(lines.first());
            file.remove();
#endif
        }
        QTextCodec::setCodecForLocale(locale);
    }

    void lineKinds_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<float>("progress"); // after the line, from 9.95; 100 when complete
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *line, Kind kind, float progress,
                            const char *message) {
            QTest::newRow(name) << QString(line) << kind << progress << QString(message);
        };
        row("not found, typo, completion ignored", "device not foundce download complete", Kind::NotFound,
            9.95f, "Board 8 download failed! Please restart.\n");
        row("communication failure, complete", "usb commuicate failed!!! download complete", Kind::CommFailed,
            100.0f, "Board 8 usb commuicate failed! Please check your usb and restart.\n");
        row("waiting adds 0.1 up to 10, ignores completion",
            "Waiting for USB device connection download complete", Kind::Waiting, 10.05f, "");
        row("break adds one", "--break--", Kind::Break, 10.95f, "");
        // The counts are read as in the single-board window (tst_singleoutput); a smaller value is kept.
        row("counts, backslash", "updated size: 512\\1024(50%)\\", Kind::Progress, 51.0f, "");
        row("counts below the progress", "updated size: 5/1000(0%)", Kind::Progress, 9.95f, "");
        row("completion", "USB download complete", Kind::Plain, 100.0f, "");
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
        QVERIFY(kind != Kind::Waiting || interpretBoardLine(line, 8, 10.0f).progress == 10.0f);
    }

    // The committed pictures: small antialiased drawings on a transparent
    // ground, the status pictures told apart by the colour leading in them.
    void pictures()
    {
#ifdef Q_OS_WIN
        QSKIP("the source tree's pictures are checked by the native build");
#endif
        const QStringList names{"failed.png", "success.png", "download.png", "1.png",
                                "2.png",      "3.png",       "4.png"};
        for (int channel = 0; channel < names.size(); ++channel) {
            const QImage img =
                QImage(QUOR_IMG_DIR "/" + names[channel]).convertToFormat(QImage::Format_ARGB32);
            const int side = channel < 3 ? 90 : 64;
            QVERIFY(img.size() == QSize(side, side) && qAlpha(img.pixel(0, 0)) == 0);
            QSet<QRgb> colours;
            int opaque = 0, leading = 0;
            for (int i = 0; i < side * side; ++i) {
                const QRgb p = img.pixel(i % side, i / side);
                const int c[3] = {qRed(p), qGreen(p), qBlue(p)}, k = channel % 3;
                colours.insert(p);
                opaque += qAlpha(p) >= 200;
                leading += qAlpha(p) >= 200 && c[k] > c[(k + 1) % 3] + 50 && c[k] > c[(k + 2) % 3] + 50;
            }
            QVERIFY(colours.size() > 40 && (channel > 2 || leading > opaque * (channel == 2 ? 0.15 : 0.4)));
        }
    }

    void tickerValuesReachTheirSlotAtASteadyRhythm()
    {
        processbarthread ticker;
        record(&ticker);
        const std::array<float, 8> set = {9.99f, 100.0f, 0.0f, 50.5f, 99.9f, 0.1f, 10.0f, 33.3f};
        for (int i = 0; i < 8; ++i)
            ticker.setProgress(i, set[std::size_t(i)]);
        QElapsedTimer clock;
        clock.start();
        ticker.start();
        QTRY_VERIFY_WITH_TIMEOUT(read(values) == (std::array<int, 8>{9, 100, 0, 50, 99, 0, 10, 33}), 2000);
        // Steady values go out only with the refresh every 100 ms, as whole
        // rounds in slot order (each 10 ms cycle would give 8; a loaded machine
        // runs fewer cycles, never more).
        QTest::qWait(500);
        const std::vector<int> steady = read(order);
        QVERIFY(steady.size() <= std::size_t(8 * (clock.elapsed() / 100 + 2)));
        for (std::size_t i = 0; i < steady.size(); ++i)
            QCOMPARE(steady[i], int(i % 8 + 1));
        // A change reaches only its own slot, at once.
        ticker.setProgress(3, 77.7f);
        QTRY_COMPARE_WITH_TIMEOUT(read(values)[3], 77, 2000);
        QCOMPARE(read(values)[4], 99);
        ticker.setAllProgress(0.0f);
        QTRY_VERIFY_WITH_TIMEOUT(read(values) == (std::array<int, 8>{}), 2000);
        ticker.setStopFlag(1);
        QVERIFY(ticker.wait(5000));
        // Truncated; far beyond int range (a "break" line adds without bound) clamped, not undefined.
        QCOMPARE(processbarthread::toWholePercent(-3.7f), -3);
        QCOMPARE(processbarthread::toWholePercent(std::numeric_limits<float>::quiet_NaN()), 0);
        QVERIFY(processbarthread::toWholePercent(std::numeric_limits<float>::infinity()) > 2000000000);
        QVERIFY(processbarthread::toWholePercent(-1e20f) < -2000000000);
        ticker.setProgress(8, 50.0f);
        QVERIFY(ticker.progressAt(8) == 0.0f && ticker.progressAt(-1) == 0.0f);
    }
};

QTEST_GUILESS_MAIN(tst_MultiLogic)
#include "tst_multi_logic.moc"
