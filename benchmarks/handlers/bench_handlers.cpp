// Per-line cost of the multi-board and the single-board output handler against
// the floor every handler pays: open the run log, append the line, close it.
//
// A recorded download of the simulated tool is replayed by a stand-in tool at
// a steady rate into the real windows (offscreen), so the handlers run as in
// use: one notification per line or a few, widgets shown, the run log written.
// A handler call is timed from the process's channelReadyRead (emitted just
// before readyReadStandardOutput) to a slot connected after the window's own
// handler on readyReadStandardOutput; nested calls count once, inside the
// outer one. The floor writes the same lines, in the same folder and file, with
// the same open-append-close per line. Rounds alternate handler and floor.
//
//   bench_handlers [--repeat N] [--lines N] [--rate LINES_PER_S] [--metrics]
//
// --metrics: the multi-board window serves its live metrics on loopback.
//
// Defaults: 5 rounds, 600 lines per round, 200 lines per second: slow enough
// that, as with the real tool, which flushes every line, most notifications
// carry one line (the tool's own pace is one line per 60 ms or so).
#include "benchmarks/common/benchutil.h"
#include "benchmarks/common/benchwork.h"

#include "common/boardconfig.h"
#include "multi/mainwindow.h"
#include "multi/multiplexlog.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "quorDownload/runlog.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QSettings>
#include <QTextDocument>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

struct HandlerRound
{
    double seconds = 0.0; // inside the handler, summed
    int calls = 0;        // outermost handler calls
    int lines = 0;        // lines that reached the run log (empty pieces and all)
    bool complete = false;
};

// Times every handler call of the given processes and counts the bytes they consumed.
class CallTimer
{
public:
    void watch(QProcess *process)
    {
        QObject::connect(process, &QProcess::channelReadyRead, process, [this, process](int) {
            if (depth++ == 0)
                started = BenchUtil::monotonicNs();
            bytes += process->bytesAvailable();
        });
        QObject::connect(process, &QProcess::readyReadStandardOutput, process, [this] {
            if (--depth == 0) {
                nanoseconds += BenchUtil::monotonicNs() - started;
                ++calls;
            }
        });
    }
    qint64 bytes = 0;
    qint64 nanoseconds = 0;
    int calls = 0;

private:
    int depth = 0;
    qint64 started = 0;
};

void setReplay(const QString &file, int lines, int rate)
{
    qputenv("BENCH_REPLAY_FILE", file.toLocal8Bit());
    qputenv("BENCH_REPLAY_LINES", QByteArray::number(lines));
    qputenv("BENCH_REPLAY_RATE", QByteArray::number(rate));
    qputenv("BENCH_REPLAY_HANG", "1");
    qputenv("BENCH_PORTS", "11");
}

// Bytes the stand-in tool writes for `lines` lines of the recording.
qint64 replayBytes(const QList<QByteArray> &recording, int lines)
{
    qint64 bytes = 0;
    for (int k = 0; k < lines; ++k)
        bytes += recording.at(k % recording.size()).size();
    return bytes;
}

HandlerRound multiRound(const WindowTestFolder &folder, const QString &recordingFile, qint64 expectedBytes,
                        int lines, int rate)
{
    HandlerRound round;
    setReplay(recordingFile, lines, rate);
    ScriptedDeviceSource devices;
    auto window = openMultiWindow(folder, &devices, true);
    CallTimer timer;
    for (QProcess *process : window->findChildren<QProcess *>())
        timer.watch(process);
    devices.send(DeviceEventSource::Kind::Arrival, downloadDeviceName(QStringLiteral("QB3131")), 1, false);
    round.complete = waitUntil([&] { return timer.bytes >= expectedBytes; }, 120000);
    round.seconds = double(timer.nanoseconds) / 1e9;
    round.calls = timer.calls;
    round.lines = countLines(folder, QLatin1String(MultiplexLog::kFileName), "[Board 1] ");
    pressButton(window.get(), "closeButton");
    return round;
}

HandlerRound singleRound(const WindowTestFolder &folder, const QString &recordingFile, qint64 expectedBytes,
                         int lines, int rate)
{
    HandlerRound round;
    setReplay(recordingFile, lines, rate);
    BoardConfig::userSettings()->setValue(QLatin1String(BoardConfig::kLastPathKey),
                                          folder.file(QStringLiteral("desc/board.xml")));
    quorDownloadToolUI window;
    window.show();
    QCoreApplication::processEvents();
    auto *process = window.findChild<QProcess *>();
    if (!process)
        return round;
    CallTimer timer;
    timer.watch(process);
    pressButton(&window, "downloadButton");
    // The staging lines are in the log already; the tool's lines follow them.
    const int stagingLines = countLines(folder, QLatin1String(RunLog::kFileName), "");
    round.complete = waitUntil([&] { return timer.bytes >= expectedBytes; }, 120000);
    round.seconds = double(timer.nanoseconds) / 1e9;
    round.calls = timer.calls;
    round.lines =
        timer.calls > 0 ? countLines(folder, QLatin1String(RunLog::kFileName), "") - stagingLines : 0;
    window.close();
    return round;
}

// The floor: open in append mode, write the line and "\n" through a text
// stream, close; per line. The median of five passes, each on a fresh file,
// since one pass is short and the machine may be busy.
double floorOnce(const QString &fileName, const QStringList &lines);

double floorSeconds(const QString &fileName, const QStringList &lines)
{
    std::vector<double> passes;
    for (int i = 0; i < 5; ++i)
        passes.push_back(floorOnce(fileName, lines));
    return BenchUtil::summarize(passes).median;
}

double floorOnce(const QString &fileName, const QStringList &lines)
{
    QFile::remove(fileName);
    const qint64 start = BenchUtil::monotonicNs();
    for (const QString &line : lines) {
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            continue;
        QTextStream stream(&file);
        stream << line << '\n';
        stream.flush();
        file.close();
    }
    return double(BenchUtil::monotonicNs() - start) / 1e9;
}

// The same floor at the tool's pace: one line every 1/rate s, the process
// asleep in between as the window is between notifications, and only the
// open-append-close timed. A loop of them back to back runs with warm caches
// and a busy CPU; a handler called every few milliseconds meets neither.
double pacedFloorSeconds(const QString &fileName, const QStringList &lines, int rate)
{
    QFile::remove(fileName);
    const unsigned long pauseUs = rate > 0 ? 1000000UL / unsigned(rate) : 0;
    qint64 total = 0;
    for (const QString &line : lines) {
        QThread::usleep(pauseUs);
        const qint64 start = BenchUtil::monotonicNs();
        QFile file(fileName);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            QTextStream stream(&file);
            stream << line << '\n';
            stream.flush();
            file.close();
        }
        total += BenchUtil::monotonicNs() - start;
    }
    return double(total) / 1e9;
}

QStringList floorLines(const QList<QByteArray> &recording, int count, const QString &prefix, bool keepCr)
{
    QStringList lines;
    for (int k = 0; k < count; ++k) {
        QByteArray line = recording.at(k % recording.size());
        line.chop(keepCr ? 1 : 2);
        lines.append(prefix + QString::fromUtf8(line));
    }
    return lines;
}

// Cost of single widget calls the handlers make, on shown windows, to tell
// what their time beyond the floor goes to.
void reportParts(const WindowTestFolder &folder)
{
    // Each call timed alone, with the toolkit's pending events (repaints,
    // polish) processed between calls as between two notifications; the median.
    constexpr int kCalls = 300;
    const auto perCallUs = [](const std::function<void()> &call) {
        std::vector<double> calls;
        for (int i = 0; i < kCalls; ++i) {
            const qint64 start = BenchUtil::monotonicNs();
            call();
            calls.push_back(double(BenchUtil::monotonicNs() - start) / 1e3);
            QCoreApplication::processEvents();
        }
        return BenchUtil::summarize(calls).median;
    };
    {
        ScriptedDeviceSource devices;
        auto window = openMultiWindow(folder, &devices, false);
        auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar_1"));
        auto *text = window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"));
        auto *label = window->findChild<QLabel *>(QStringLiteral("status_1"));
        if (bar && text && label) {
            // About 4000 characters of the lines the window itself writes there.
            QString lines;
            while (lines.size() < 4000)
                lines += QStringLiteral("Board 1 USB Port:1,1 insert!\nBoard 1 Start Downloading  ...\n");
            text->setPlainText(lines);
            QImage picture(90, 90, QImage::Format_ARGB32);
            picture.fill(Qt::green);
            const QString black = QStringLiteral("QProgressBar {color: black;}");
            std::printf("parts, multi-board: bar setStyleSheet (same sheet) %.1f us/call; status text "
                        "toPlainText (4000 chars) %.1f us/call; moveCursor(End) %.1f us/call; status picture "
                        "setPixmap(fromImage 90x90) %.1f us/call\n",
                        perCallUs([bar, &black] { bar->setStyleSheet(black); }),
                        perCallUs([text] { (void)text->toPlainText().size(); }),
                        perCallUs([text] { text->moveCursor(QTextCursor::End); }),
                        perCallUs([label, &picture] { label->setPixmap(QPixmap::fromImage(picture)); }));
            // Cheaper forms of the two costly steps, for comparison.
            std::printf("parts, multi-board alternatives: compare the bar's sheet first %.2f us/call; "
                        "document characterCount %.2f us/call\n",
                        perCallUs([bar, &black] {
                            if (bar->styleSheet() != black)
                                bar->setStyleSheet(black);
                        }),
                        perCallUs([text] { (void)text->document()->characterCount(); }));
        }
        pressButton(window.get(), "closeButton");
    }
    {
        quorDownloadToolUI window;
        window.show();
        QCoreApplication::processEvents();
        auto *bar = window.findChild<QProgressBar *>();
        auto *text = window.findChild<QPlainTextEdit *>(QStringLiteral("statusText"));
        if (bar && text) {
            int value = 0;
            std::printf(
                "parts, single-board: bar setValue+repaint %.1f us/call; insert a line into the status "
                "text and let the toolkit process events %.1f us/call\n",
                perCallUs([bar, &value] {
                    bar->setValue(++value % 100);
                    bar->repaint();
                }),
                perCallUs([text] {
                    text->insertPlainText(QStringLiteral("updated size: 1048576/20971520(5%)\r"));
                    QCoreApplication::processEvents();
                }));
        }
        window.close();
    }
}

struct Series
{
    std::vector<double> handlerUs, floorUs, ratio, linesPerCall, pacedFloorUs, pacedRatio;
    bool allComplete = true;
};

void report(const char *name, const Series &s)
{
    using BenchUtil::describe;
    using BenchUtil::summarize;
    std::printf("%s handler: %s us/line, floor %s us/line, ratio %s, lines per call %s%s\n", name,
                qPrintable(describe(summarize(s.handlerUs), 1)),
                qPrintable(describe(summarize(s.floorUs), 1)), qPrintable(describe(summarize(s.ratio), 2)),
                qPrintable(describe(summarize(s.linesPerCall), 2)),
                s.allComplete ? "" : " (SOME ROUNDS DID NOT RECEIVE ALL OUTPUT)");
    const BenchUtil::Summary ratio = summarize(s.ratio);
    BenchUtil::printTableRow(
        QStringLiteral("%1 output handler, per line").arg(QLatin1String(name)),
        QStringLiteral("%1 us").arg(summarize(s.handlerUs).median, 0, 'f', 1),
        QStringLiteral("%1 us (open+append+close)").arg(summarize(s.floorUs).median, 0, 'f', 1),
        QStringLiteral("%1x (%2..%3)")
            .arg(ratio.median, 0, 'f', 2)
            .arg(ratio.min, 0, 'f', 2)
            .arg(ratio.max, 0, 'f', 2),
        QStringLiteral("<= 1.5x"), s.allComplete && ratio.median <= 1.5);
    const BenchUtil::Summary paced = summarize(s.pacedRatio);
    std::printf("%s handler against the floor at the tool's pace: floor %s us/line, ratio %s\n", name,
                qPrintable(describe(summarize(s.pacedFloorUs), 1)), qPrintable(describe(paced, 2)));
    BenchUtil::printTableRow(
        QStringLiteral("%1 output handler, per line, against the floor at the tool's pace")
            .arg(QLatin1String(name)),
        QStringLiteral("%1 us").arg(summarize(s.handlerUs).median, 0, 'f', 1),
        QStringLiteral("%1 us (open+append+close, one line every 1/rate s)")
            .arg(summarize(s.pacedFloorUs).median, 0, 'f', 1),
        QStringLiteral("%1x (%2..%3)")
            .arg(paced.median, 0, 'f', 2)
            .arg(paced.min, 0, 'f', 2)
            .arg(paced.max, 0, 'f', 2),
        QStringLiteral("-"), QStringLiteral("-"));
}

} // namespace

int main(int argc, char *argv[])
{
    BenchUtil::preferOffscreen();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int repeat = BenchUtil::intOption(args, QStringLiteral("--repeat"), 5);
    const int lines = BenchUtil::intOption(args, QStringLiteral("--lines"), 600);
    const int rate = BenchUtil::intOption(args, QStringLiteral("--rate"), 200);

    WindowTestFolder folder;
    if (!prepareReplay(folder) || !folder.writeFile(QStringLiteral("desc/board.xml"), "<partitions/>\n")) {
        std::fprintf(stderr, "cannot prepare the working folder\n");
        return 1;
    }
    if (args.contains(QStringLiteral("--metrics"))) {
        QFile config(folder.file(QStringLiteral("config/Board_config.ini")));
        if (!config.open(QIODevice::Append) || config.write("\n[Metrics]\nListen=127.0.0.1:0\n") <= 0) {
            std::fprintf(stderr, "cannot turn the metrics on\n");
            return 1;
        }
    }
    const QByteArray recorded = recordSimulatedRun(folder);
    if (recorded.isEmpty()) {
        std::fprintf(stderr, "cannot record the simulated tool's output\n");
        return 1;
    }
    // Lines with their CRLF. The single-board replay leaves out the completion
    // line: it opens a modal box, which is the operator's time, not the handler's.
    QList<QByteArray> multiRecording;
    QList<QByteArray> singleRecording;
    for (const QByteArray &line : recorded.split('\n')) {
        if (line.isEmpty())
            continue;
        multiRecording.append(line + '\n');
        if (!line.contains("download complete"))
            singleRecording.append(line + '\n');
    }
    folder.writeFile(QStringLiteral("multi.rec"), multiRecording.join());
    folder.writeFile(QStringLiteral("single.rec"), singleRecording.join());
    std::printf("recording: %d lines of the simulated tool (scenario ok); %d lines per round at %d lines/s, "
                "%d rounds\n",
                int(multiRecording.size()), lines, rate, repeat);

    Series multi, single;
    const QString multiLog = QLatin1String(MultiplexLog::kFileName);
    const QString singleLog = QLatin1String(RunLog::kFileName);
    for (int r = 0; r < repeat; ++r) {
        const HandlerRound m = multiRound(folder, folder.file(QStringLiteral("multi.rec")),
                                          replayBytes(multiRecording, lines), lines, rate);
        const QStringList mLines = floorLines(multiRecording, m.lines, QStringLiteral("[Board 1] "), false);
        const double mFloor = floorSeconds(multiLog, mLines);
        const HandlerRound s = singleRound(folder, folder.file(QStringLiteral("single.rec")),
                                           replayBytes(singleRecording, lines), lines, rate);
        const QStringList sLines = floorLines(singleRecording, s.lines, QString(), true);
        const double sFloor = floorSeconds(singleLog, sLines);
        const double mPaced = pacedFloorSeconds(multiLog, mLines, rate);
        const double sPaced = pacedFloorSeconds(singleLog, sLines, rate);
        // The handler's time is spread over the lines the tool wrote; the
        // floor's over the records it wrote (as many as the handler logged).
        for (auto [round, floorTime, pacedTime, series] :
             {std::make_tuple(m, mFloor, mPaced, &multi), std::make_tuple(s, sFloor, sPaced, &single)}) {
            if (round.lines == 0 || round.calls == 0) {
                series->allComplete = false;
                continue;
            }
            const double handlerUs = round.seconds * 1e6 / lines;
            const double floorUs = floorTime * 1e6 / round.lines;
            series->handlerUs.push_back(handlerUs);
            series->floorUs.push_back(floorUs);
            series->ratio.push_back(handlerUs / floorUs);
            series->pacedFloorUs.push_back(pacedTime * 1e6 / round.lines);
            series->pacedRatio.push_back(handlerUs / series->pacedFloorUs.back());
            series->linesPerCall.push_back(double(lines) / round.calls);
            series->allComplete = series->allComplete && round.complete;
        }
        std::printf("round %d: %d tool lines; multi: %d calls, %d log records, %.3f s in the handler; "
                    "single: %d calls, %d log records, %.3f s in the handler\n",
                    r + 1, lines, m.calls, m.lines, m.seconds, s.calls, s.lines, s.seconds);
        std::fflush(stdout);
    }
    reportParts(folder);
    report("multi-board", multi);
    report("single-board", single);
    return 0;
}
