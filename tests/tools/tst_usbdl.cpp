// The simulated download tool run as a real process: listing, scenarios, call
// log, port selection and bad input.

#include "benchprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

// The caller's reading of a listing: the first two lines and the text after
// the last CRLF are skipped, lines are taken from the last one up, fields
// split at ", ", level and number are the last characters of the fields
// holding "portlevel" and "portnum". Returns "L,M" per port, duplicates and
// incomplete lines skipped.
QStringList parseListing(const QByteArray &out)
{
    QStringList lines = QString::fromUtf8(out).split(QStringLiteral("\r\n"));
    lines.removeLast();
    QStringList ports;
    while (lines.size() >= 3) {
        QString level, number;
        for (const QString &field : lines.takeLast().split(QStringLiteral(", "))) {
            if (field.contains(QLatin1String("portlevel")))
                level = field.right(1);
            if (field.contains(QLatin1String("portnum")))
                number = field.right(1);
        }
        const QString port = level + QLatin1Char(',') + number;
        if (!level.isEmpty() && !number.isEmpty() && !ports.contains(port))
            ports << port;
    }
    return ports;
}

int countLinesWith(const QList<QByteArray> &lines, const QByteArray &text)
{
    int n = 0;
    for (const QByteArray &l : lines)
        n += l.contains(text) ? 1 : 0;
    return n;
}

// Done and total of every "updated size: D/T(P%)" line.
QVector<QPair<qint64, qint64>> sizes(const QList<QByteArray> &lines)
{
    QVector<QPair<qint64, qint64>> result;
    for (const QByteArray &l : lines) {
        const int at = l.indexOf("updated size: ");
        if (at < 0)
            continue;
        const QByteArray rest = l.mid(at + 14);
        const int slash = rest.indexOf('/');
        const int open = rest.indexOf('(');
        result.append({rest.left(slash).toLongLong(), rest.mid(slash + 1, open - slash - 1).toLongLong()});
    }
    return result;
}

} // namespace

class tst_UsbDl : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void listing_data();
    void listing();
    void scenarios_data();
    void scenarios();
    void missingOrEmptyImagesFail_data();
    void missingOrEmptyImagesFail();
    void okProgressRisesToTotal();
    void slowTakesLonger();
    void hangWaitsUntilReaderGoes();
    void crashDiesBySignal();
    void floodLineCount();
    void garbageKeepsValidLines();
    void portSelectsScenario();
    void singleScenario();
    void callsLog();
    void concurrentCallsKeepLinesWhole();
    void badInput_data();
    void badInput();
    void missingBenchFolder();
    void unknownScenarioInState();
    void handEditedState();
    void defaultBenchBesideExecutable();

private:
    void plug(const QString &level, const QString &number, const QString &scenario = QStringLiteral("ok"));
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_bench;
};

void tst_UsbDl::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bench = m_dir->path() + QStringLiteral("/bench");
    QVERIFY(QDir().mkpath(m_bench));
}

void tst_UsbDl::plug(const QString &level, const QString &number, const QString &scenario)
{
    const RunResult r =
        runBench(m_bench, {QStringLiteral("plug"), level, number, scenario, QStringLiteral("--no-event")});
    QVERIFY2(r.finished && r.exitCode == 0, r.err.constData());
}

void tst_UsbDl::listing_data()
{
    QTest::addColumn<QStringList>("plugged");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("one") << words("1,3");
    QTest::newRow("three") << words("1,1 2,7 A,z");
    QStringList nine;
    for (int i = 1; i <= 9; ++i)
        nine << QStringLiteral("3,%1").arg(i);
    QTest::newRow("nine") << nine;
}

void tst_UsbDl::listing()
{
    QFETCH(QStringList, plugged);
    for (const QString &p : plugged) {
        plug(p.left(1), p.right(1));
        if (QTest::currentTestFailed())
            return;
    }
    const RunResult r = runTool(m_bench, {QStringLiteral("-r")});
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.endsWith("\r\n"));
    // Every line ends in CRLF: no bare LF anywhere.
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    const QList<QByteArray> lines = crlfLines(r.out);
    QCOMPARE(lines.size(), 2 + plugged.size());
    for (int i = 2; i < lines.size(); ++i)
        QVERIFY2(lines.at(i).contains("7352") && lines.at(i).contains("1000"), lines.at(i).constData());
    // Read bottom-up, the ports come in reverse plug order.
    QStringList expected = plugged;
    std::reverse(expected.begin(), expected.end());
    QCOMPARE(parseListing(r.out), expected);
}

void tst_UsbDl::scenarios_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("ok") << "ok" << QByteArray("USB download complete") << 0;
    QTest::newRow("notfound") << "notfound" << QByteArray("usb device not found") << 1;
    QTest::newRow("commfail") << "commfail" << QByteArray("usb commuicate failed!!!") << 1;
    QTest::newRow("toolarge") << "toolarge" << QByteArray("[ERR] updating file is too large") << 1;
    QTest::newRow("dlfail") << "dlfail" << QByteArray("USB download failed") << 1;
}

void tst_UsbDl::scenarios()
{
    QFETCH(QString, scenario);
    QFETCH(QByteArray, lastLine);
    QFETCH(int, exitCode);
    plug(QStringLiteral("1"), QStringLiteral("3"), scenario);
    const RunResult r = runTool(m_bench, {QStringLiteral("-c"), QStringLiteral("CH"), QStringLiteral("-s"),
                                          QStringLiteral("OS"), QStringLiteral("-i"), m_dir->path(),
                                          QStringLiteral("-p"), QStringLiteral("1,3")});
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY(r.out.endsWith("\r\n"));
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    const QList<QByteArray> lines = crlfLines(r.out);
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines.last(), lastLine);
    // Every run first waits for the board, in the form the single-board window needs.
    QVERIFY(lines.first().startsWith("Waiting for USB device connection:"));
    // The decisive line comes once and nothing but ok completes.
    QCOMPARE(countLinesWith(lines, lastLine), 1);
    QCOMPARE(countLinesWith(lines, "download complete") > 0, scenario == QLatin1String("ok"));
    QVERIFY(r.err.isEmpty());
}

void tst_UsbDl::okProgressRisesToTotal()
{
    const RunResult r = runTool(m_bench, words("-c a -s b -i ") + QStringList{m_dir->path()});
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> lines = crlfLines(r.out);
    const auto counts = sizes(lines);
    QVERIFY(counts.size() >= 10);
    qint64 previous = 0;
    for (const auto &c : counts) {
        QVERIFY(c.second >= 100); // a total below 100 would leave callers no percentage
        QCOMPARE(c.second, counts.first().second);
        QVERIFY(c.first > previous);
        previous = c.first;
    }
    QCOMPARE(counts.last().first, counts.last().second);
    QVERIFY(countLinesWith(lines, "break") >= 1);
    // Percent in brackets agrees with the counts.
    for (const QByteArray &l : lines) {
        if (l.contains("updated size")) {
            const auto c = sizes({l}).first();
            QVERIFY2(l.endsWith("(" + QByteArray::number(c.first * 100 / c.second) + "%)"), l.constData());
        }
    }
}

void tst_UsbDl::slowTakesLonger()
{
    plug(QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("slow"));
    plug(QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("ok"));
    const QStringList base = words("-c a -s b -i ") + QStringList{m_dir->path(), QStringLiteral("-p")};
    QElapsedTimer t;
    t.start();
    const RunResult slow = runTool(m_bench, base + words("1,1"), 10);
    const qint64 slowMs = t.elapsed();
    const RunResult ok = runTool(m_bench, base + words("1,2"), 10);
    QCOMPARE(slow.exitCode, 0);
    // The same lines as ok, only spaced further apart: each pause lasts at
    // least eight times the delay.
    QCOMPARE(slow.out, ok.out);
    const int lines = crlfLines(slow.out).size();
    QVERIFY2(slowMs >= qint64(lines - 1) * 80, qPrintable(QString::number(slowMs)));
}

void tst_UsbDl::hangWaitsUntilReaderGoes()
{
    plug(QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("hang"));
    QProcess p;
    p.setProcessEnvironment(benchEnvironment(m_bench));
    p.start(binDir() + QStringLiteral("/usb_dl"),
            words("-c a -s b -i ") + QStringList{m_dir->path(), QStringLiteral("-p"), QStringLiteral("2,2")});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY(p.canReadLine());
    QVERIFY(p.readLine().startsWith("Waiting for USB device connection"));
    QVERIFY(!p.waitForFinished(500));
    QCOMPARE(p.state(), QProcess::Running);
    p.kill();
    QVERIFY(p.waitForFinished(5000));

    // A reader that goes away (here "head" after the first line) must not
    // leave the tool behind: the pipeline ends because the tool ends.
    const QString pipeline = QStringLiteral("\"%1/usb_dl\" -c a -s b -i /i -p 2,2 | head -n 1").arg(binDir());
    const RunResult r = runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), pipeline},
                                   benchEnvironment(m_bench), 10000);
    QVERIFY(r.finished);
    QCOMPARE(r.out, QByteArray("Waiting for USB device connection: ...\r\n"));
}

void tst_UsbDl::crashDiesBySignal()
{
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("crash"));
    const RunResult r =
        runTool(m_bench, words("-c a -s b -i ") +
                             QStringList{m_dir->path(), QStringLiteral("-p"), QStringLiteral("1,3")});
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::CrashExit);
    const QList<QByteArray> lines = crlfLines(r.out);
    QVERIFY(countLinesWith(lines, "updated size") >= 1);
    QCOMPARE(countLinesWith(lines, "download complete"), 0);
}

void tst_UsbDl::floodLineCount()
{
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("flood"));
    // The delay must not slow a flood down: a large one would time the run out.
    const RunResult r = runTool(m_bench,
                                words("-c a -s b -i ") +
                                    QStringList{m_dir->path(), QStringLiteral("-p"), QStringLiteral("1,3")},
                                1000);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> lines = crlfLines(r.out);
    QCOMPARE(countLinesWith(lines, "updated size"), 100000);
    QCOMPARE(lines.last(), QByteArray("USB download complete"));
    const auto counts = sizes(lines);
    QCOMPARE(counts.last().first, counts.last().second);
}

void tst_UsbDl::garbageKeepsValidLines()
{
    QVERIFY(runBench(m_bench, words("single garbage")).exitCode == 0);
    const QStringList args = words("-c a -s b -i ") + QStringList{m_dir->path()};
    const RunResult r = runTool(m_bench, args);
    QCOMPARE(r.exitCode, 0);
    // Not valid UTF-8.
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(r.out.constData(), r.out.size(), &state);
    QVERIFY(state.invalidChars > 0);
    QVERIFY(r.out.contains('\0'));
    // The valid lines survive whole: waiting, break, rising sizes to the total, completion last.
    const QList<QByteArray> lines = crlfLines(r.out);
    QCOMPARE(lines.last(), QByteArray("USB download complete"));
    QVERIFY(lines.contains("Waiting for USB device connection: ..."));
    QVERIFY(countLinesWith(lines, "break") >= 10);
    const auto counts = sizes(lines);
    QVERIFY(counts.size() >= 10);
    QCOMPARE(counts.last().first, counts.last().second);
    // The same seed gives the same bytes; another seed other bytes.
    QCOMPARE(runTool(m_bench, args).out, r.out);
    QProcessEnvironment env = benchEnvironment(m_bench);
    env.insert(QStringLiteral("USB_DL_SIM_SEED"), QStringLiteral("77"));
    const RunResult other = runProgram(binDir() + QStringLiteral("/usb_dl"), args, env);
    QCOMPARE(other.exitCode, 0);
    QVERIFY(other.out != r.out);
}

void tst_UsbDl::portSelectsScenario()
{
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("ok"));
    plug(QStringLiteral("1"), QStringLiteral("4"), QStringLiteral("dlfail"));
    plug(QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("toolarge"));
    const QStringList base = words("-c a -s b -i ") + QStringList{m_dir->path(), QStringLiteral("-p")};
    QCOMPARE(crlfLines(runTool(m_bench, base + words("1,4")).out).last(), QByteArray("USB download failed"));
    QCOMPARE(crlfLines(runTool(m_bench, base + words("2,3")).out).last(),
             QByteArray("[ERR] updating file is too large"));
    QCOMPARE(crlfLines(runTool(m_bench, base + words("1,3")).out).last(),
             QByteArray("USB download complete"));
    // A port without a board: nobody answers.
    const RunResult none = runTool(m_bench, base + words("3,1"));
    QCOMPARE(none.exitCode, 1);
    QCOMPARE(crlfLines(none.out).last(), QByteArray("usb device not found"));
    // Unplugged: the port no longer answers.
    QCOMPARE(runBench(m_bench, words("unplug 1 3 --no-event")).exitCode, 0);
    QCOMPARE(crlfLines(runTool(m_bench, base + words("1,3")).out).last(), QByteArray("usb device not found"));
}

void tst_UsbDl::singleScenario()
{
    // Plugged boards do not matter to a run without a port.
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("dlfail"));
    const QStringList args = words("-c a -s b -i ") + QStringList{m_dir->path()};
    QCOMPARE(crlfLines(runTool(m_bench, args).out).last(), QByteArray("USB download complete"));
    QCOMPARE(runBench(m_bench, words("single commfail")).exitCode, 0);
    const RunResult r = runTool(m_bench, args);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(crlfLines(r.out).last(), QByteArray("usb commuicate failed!!!"));
}

void tst_UsbDl::missingOrEmptyImagesFail_data()
{
    QTest::addColumn<QString>("folder"); // below the test folder; created when it ends in '/'
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::newRow("missing") << "gone"
                             << "1,3" << QByteArray("USB download failed");
    QTest::newRow("empty") << "empty/"
                           << "1,3" << QByteArray("USB download failed");
    QTest::newRow("only empty subfolders") << "nested/a/b/"
                                           << "1,3" << QByteArray("USB download failed");
    QTest::newRow("single-board run") << "empty/"
                                      << "" << QByteArray("USB download failed");
    QTest::newRow("no board still not found") << "gone"
                                              << "2,2" << QByteArray("usb device not found");
}

void tst_UsbDl::missingOrEmptyImagesFail()
{
    // A failed preparation must never look like a completed download.
    QFETCH(QString, folder);
    QFETCH(QString, port);
    QFETCH(QByteArray, lastLine);
    const QString images = m_dir->path() + QStringLiteral("/images/") + folder;
    if (folder.endsWith(QLatin1Char('/')))
        QVERIFY(QDir().mkpath(images));
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("ok"));
    QProcess setSingle;
    setSingle.setProcessEnvironment(benchEnvironment(m_bench));
    setSingle.start(binDir() + QStringLiteral("/usb_dl_bench"),
                    {QStringLiteral("single"), QStringLiteral("ok")});
    QVERIFY(setSingle.waitForFinished(10000) && setSingle.exitCode() == 0);

    QStringList args = words("-c a -s b -i ") + QStringList{images};
    if (!port.isEmpty())
        args << QStringLiteral("-p") << port;
    const RunResult r = runTool(m_bench, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QVERIFY(!r.out.contains("download complete"));
    QCOMPARE(crlfLines(r.out).last(), lastLine);
}

void tst_UsbDl::callsLog()
{
    plug(QStringLiteral("1"), QStringLiteral("3"));
    QCOMPARE(runTool(m_bench, {QStringLiteral("-r")}).exitCode, 0);
    QCOMPARE(
        runTool(m_bench, {QStringLiteral("-c"), QStringLiteral("CHIP"), QStringLiteral("-s"),
                          QStringLiteral("OS"), QStringLiteral("-i"), QStringLiteral("/a b/QuorBurnImage/"),
                          QStringLiteral("-p"), QStringLiteral("1,3")})
            .exitCode,
        1); // that folder does not exist: the transfer fails
    // A rejected call is logged too: the log tells what the tool was asked.
    QCOMPARE(runTool(m_bench, {QStringLiteral("-q")}).exitCode, 2);
    QFile log(m_bench + QStringLiteral("/calls.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("-r\n"
                                       "-c CHIP -s OS -i \"/a b/QuorBurnImage/\" -p 1,3\n"
                                       "-q\n"));
}

void tst_UsbDl::concurrentCallsKeepLinesWhole()
{
    std::vector<std::unique_ptr<QProcess>> procs;
    const QString longArg(3000, QLatin1Char('x'));
    for (int i = 0; i < 8; ++i) {
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->setProcessEnvironment(benchEnvironment(m_bench));
        procs.back()->start(binDir() + QStringLiteral("/usb_dl"),
                            {QStringLiteral("-c"), QString::number(i) + longArg, QStringLiteral("-s"),
                             QStringLiteral("b"), QStringLiteral("-i"), QStringLiteral("/i"),
                             QStringLiteral("-p"), QStringLiteral("9,9")});
    }
    for (auto &p : procs)
        QVERIFY(p->waitForFinished(30000));
    QFile log(m_bench + QStringLiteral("/calls.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    QCOMPARE(lines.size(), 8);
    QSet<QByteArray> seen;
    for (const QByteArray &l : lines) {
        QCOMPARE(l.size(), 3 + 1 + 3000 + 18);
        QVERIFY(l.startsWith("-c ") && l.endsWith(" -s b -i /i -p 9,9"));
        seen.insert(l.mid(3, 1));
    }
    QCOMPARE(seen.size(), 8);
}

void tst_UsbDl::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown option") << words("-x");
    QTest::newRow("stray word") << words("-r now");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("value missing at end") << words("-c a -s b -i");
    QTest::newRow("value is an option") << words("-c -s b -i /i");
    QTest::newRow("images missing") << words("-c a -s b");
    QTest::newRow("option twice") << words("-c a -c a -s b -i /i");
    QTest::newRow("listing with more") << words("-r -p 1,3");
    const QStringList dl = words("-c a -s b -i /i -p");
    QTest::newRow("port without comma") << dl + words("13");
    QTest::newRow("port number missing") << dl + words("1,");
    QTest::newRow("port two characters") << dl + words("1,23");
    QTest::newRow("port three parts") << dl + words("1,2,3");
}

void tst_UsbDl::badInput()
{
    QFETCH(QStringList, args);
    plug(QStringLiteral("1"), QStringLiteral("3"));
    const RunResult r = runTool(m_bench, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.startsWith("usb_dl: "));
    QVERIFY(r.out.isEmpty());
}

void tst_UsbDl::missingBenchFolder()
{
    const QString gone = m_dir->path() + QStringLiteral("/no-such-bench");
    const RunResult r = runTool(gone, {QStringLiteral("-r")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("no-such-bench"));
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFileInfo::exists(gone));
}

void tst_UsbDl::unknownScenarioInState()
{
    QFile state(m_bench + QStringLiteral("/state.txt"));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write("single explode\nport 1 3 melt\n");
    state.close();
    const QStringList dl = words("-c a -s b -i ") + QStringList{m_dir->path()};
    const RunResult single = runTool(m_bench, dl);
    QCOMPARE(single.exitCode, 2);
    QVERIFY(single.err.contains("explode"));
    const RunResult port = runTool(m_bench, dl + words("-p 1,3"));
    QCOMPARE(port.exitCode, 2);
    QVERIFY(port.err.contains("melt"));
    // The listing still lists the board.
    QCOMPARE(parseListing(runTool(m_bench, {QStringLiteral("-r")}).out), words("1,3"));
}

void tst_UsbDl::handEditedState()
{
    QFile state(m_bench + QStringLiteral("/state.txt"));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write("# boards on the bench\n"
                "\n"
                "port   2  1   dlfail  \r\n" // extra blanks, CRLF
                "port 12 3 ok\n"             // two-character level
                "port 3 ok\n"                // number missing
                "port , 3 ok\n"              // comma
                "port 2 1 ok\n"              // the same port again: the first stays
                "single   toolarge\n"
                "port 5 5 ok"); // no final line break
    state.close();
    QCOMPARE(parseListing(runTool(m_bench, {QStringLiteral("-r")}).out), (words("5,5 2,1")));
    const QStringList dl = words("-c a -s b -i ") + QStringList{m_dir->path()};
    QCOMPARE(crlfLines(runTool(m_bench, dl + words("-p 2,1")).out).last(), QByteArray("USB download failed"));
    QCOMPARE(crlfLines(runTool(m_bench, dl).out).last(), QByteArray("[ERR] updating file is too large"));
    // The driver keeps what it understood when it writes the state back.
    QCOMPARE(runBench(m_bench, words("plug 6 6 --no-event")).exitCode, 0);
    QCOMPARE(parseListing(runTool(m_bench, {QStringLiteral("-r")}).out), (words("6,6 5,5 2,1")));
}

void tst_UsbDl::defaultBenchBesideExecutable()
{
    // Installed the way the program expects it: config/usb_dl.exe, with the
    // bench folder beside it and no USB_DL_BENCH.
    const QString config = m_dir->path() + QStringLiteral("/work dir/config");
    QVERIFY(QDir().mkpath(config + QStringLiteral("/bench")));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), config + QStringLiteral("/usb_dl.exe")));
    QFile state(config + QStringLiteral("/bench/state.txt"));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write("port 4 2 ok\n");
    state.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("USB_DL_BENCH"));
    const RunResult r = runProgram(config + QStringLiteral("/usb_dl.exe"), {QStringLiteral("-r")}, env);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(parseListing(r.out), words("4,2"));
    QVERIFY(QFileInfo::exists(config + QStringLiteral("/bench/calls.log")));
}

QTEST_GUILESS_MAIN(tst_UsbDl)
#include "tst_usbdl.moc"
