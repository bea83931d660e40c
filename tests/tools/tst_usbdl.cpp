// The simulated download tool run as a real process: listing, scenarios, call
// log, port selection and bad input.

#include "benchprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

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

bool writeState(const QString &bench, const QByteArray &text, const char *name = "/state.txt")
{
    QFile state(bench + QLatin1String(name));
    return state.open(QIODevice::WriteOnly) && state.write(text) == text.size();
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
    void imagesFolder_data();
    void imagesFolder();
    void hangWaitsUntilReaderGoes();
    void floodAndGarbageKeepValidLines();
    void portSelectsScenario();
    void callsLog();
    void concurrentCallsKeepLinesWhole();
    void badInput_data();
    void badInput();
    void handEditedState();
    void defaultBenchBesideExecutable();

private:
    void plug(const QString &level, const QString &number, const QString &scenario = QStringLiteral("ok"));
    QStringList download(const QString &port = QString()) const
    {
        QStringList args = words("-c a -s b -i ") + QStringList{m_dir->path()};
        if (!port.isEmpty())
            args << QStringLiteral("-p") << port;
        return args;
    }
    QByteArray lastLine(const QStringList &args) const
    {
        const QList<QByteArray> lines = crlfLines(runTool(m_bench, args).out);
        return lines.isEmpty() ? QByteArray() : lines.last();
    }
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
    QTest::newRow("three") << words("1,1 2,7 A,z");
    QStringList nine;
    for (int i = 1; i <= 9; ++i)
        nine << QStringLiteral("3,%1").arg(i);
    QTest::newRow("nine") << nine;
}

void tst_UsbDl::listing()
{
    QFETCH(QStringList, plugged);
    for (const QString &p : plugged)
        plug(p.left(1), p.right(1));
    const RunResult r = runTool(m_bench, {QStringLiteral("-r")});
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    // Every line ends in CRLF: no bare LF anywhere; two header lines, then one line per board.
    QVERIFY(r.out.endsWith("\r\n"));
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    const QList<QByteArray> lines = crlfLines(r.out);
    QCOMPARE(lines.size(), 2 + plugged.size());
    QCOMPARE(lines.at(1), "devices found: " + QByteArray::number(plugged.size()));
    for (int i = 2; i < lines.size(); ++i)
        QVERIFY2(lines.at(i).contains("7352") && lines.at(i).contains("1000"), lines.at(i).constData());
    QCOMPARE(listedPorts(m_bench), plugged);
}

void tst_UsbDl::scenarios_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("ok") << "ok" << QByteArray("USB download complete") << 0;
    QTest::newRow("slow") << "slow" << QByteArray("USB download complete") << 0;
    QTest::newRow("notfound") << "notfound" << QByteArray("usb device not found") << 1;
    QTest::newRow("commfail") << "commfail" << QByteArray("usb commuicate failed!!!") << 1;
    QTest::newRow("toolarge") << "toolarge" << QByteArray("[ERR] updating file is too large") << 1;
    QTest::newRow("dlfail") << "dlfail" << QByteArray("USB download failed") << 1;
    QTest::newRow("crash") << "crash" << QByteArray() << -1;
}

void tst_UsbDl::scenarios()
{
    QFETCH(QString, scenario);
    QFETCH(QByteArray, lastLine);
    QFETCH(int, exitCode);
    plug(QStringLiteral("1"), QStringLiteral("3"), scenario);
    const RunResult r = runTool(m_bench, download(QStringLiteral("1,3")));
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY(r.out.endsWith("\r\n"));
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    const QList<QByteArray> lines = crlfLines(r.out);
    // Every run first waits for the board, in the form the single-board window needs.
    QVERIFY(lines.first().startsWith("Waiting for USB device connection:"));
    QVERIFY(r.err.isEmpty());
    QCOMPARE(countLinesWith(lines, "download complete") > 0, exitCode == 0);
    if (exitCode < 0) {
        QVERIFY(countLinesWith(lines, "updated size") >= 1);
        return;
    }
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(lines.last(), lastLine);
    QCOMPARE(countLinesWith(lines, lastLine), 1); // the decisive line comes once
    if (exitCode != 0)
        return;
    // Progress rises to one total of at least 100 (callers divide by it), with a "break" on the way.
    const auto counts = sizes(lines);
    QVERIFY(counts.size() >= 10);
    qint64 previous = 0;
    for (const auto &c : counts) {
        QVERIFY(c.second >= 100);
        QCOMPARE(c.second, counts.first().second);
        QVERIFY(c.first > previous);
        previous = c.first;
    }
    QCOMPARE(counts.last().first, counts.last().second);
    QVERIFY(countLinesWith(lines, "break") >= 1);
    for (const QByteArray &l : lines) { // the percentage in brackets agrees with the counts
        if (l.contains("updated size")) {
            const auto c = sizes({l}).first();
            QVERIFY2(l.endsWith("(" + QByteArray::number(c.first * 100 / c.second) + "%)"), l.constData());
        }
    }
}

void tst_UsbDl::imagesFolder_data()
{
    // A failed preparation must never look like a completed download.
    QTest::addColumn<QString>("folder"); // below images/; created when it ends in '/'
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
    QTest::newRow("image in a subfolder") << "deep/boot/"
                                          << "1,3" << QByteArray("USB download complete");
}

void tst_UsbDl::imagesFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, port);
    QFETCH(QByteArray, lastLine);
    const QString images = m_dir->path() + QStringLiteral("/images/") + folder;
    if (folder.endsWith(QLatin1Char('/')))
        QVERIFY(QDir().mkpath(images));
    if (folder.startsWith(QLatin1String("deep")))
        QVERIFY(writeState(images, "image", "/boot.img"));
    plug(QStringLiteral("1"), QStringLiteral("3"));
    QStringList args = words("-c a -s b -i ") + QStringList{m_dir->path() + QStringLiteral("/images/")};
    if (!port.isEmpty())
        args << QStringLiteral("-p") << port;
    const RunResult r = runTool(m_bench, args);
    QCOMPARE(r.exitCode, lastLine.contains("complete") ? 0 : 1);
    QCOMPARE(crlfLines(r.out).last(), lastLine);
}

void tst_UsbDl::hangWaitsUntilReaderGoes()
{
    plug(QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("hang"));
    QProcess p;
    p.setProcessEnvironment(benchEnvironment(m_bench));
    p.start(binDir() + QStringLiteral("/usb_dl"), download(QStringLiteral("2,2")));
    QTRY_VERIFY(p.canReadLine());
    QVERIFY(p.readLine().startsWith("Waiting for USB device connection"));
    QVERIFY(!p.waitForFinished(500));
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

void tst_UsbDl::floodAndGarbageKeepValidLines()
{
    // The delay must not slow a flood down: a large one would time the run out.
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("flood"));
    RunResult r = runTool(m_bench, download(QStringLiteral("1,3")), 1000);
    QCOMPARE(r.exitCode, 0);
    QList<QByteArray> lines = crlfLines(r.out);
    QCOMPARE(countLinesWith(lines, "updated size"), 100000);
    QCOMPARE(lines.last(), QByteArray("USB download complete"));

    QCOMPARE(runBench(m_bench, words("single garbage")).exitCode, 0);
    r = runTool(m_bench, download());
    QCOMPARE(r.exitCode, 0);
    QTextCodec::ConverterState state; // not valid UTF-8, with NUL bytes
    QTextCodec::codecForName("UTF-8")->toUnicode(r.out.constData(), r.out.size(), &state);
    QVERIFY(state.invalidChars > 0 && r.out.contains('\0'));
    // The valid lines survive whole: waiting, break, rising sizes to the total, completion last.
    lines = crlfLines(r.out);
    QCOMPARE(lines.last(), QByteArray("USB download complete"));
    QVERIFY(lines.contains("Waiting for USB device connection: ..."));
    QVERIFY(countLinesWith(lines, "break") >= 10);
    const auto counts = sizes(lines);
    QVERIFY(counts.size() >= 10);
    QCOMPARE(counts.last().first, counts.last().second);
    // The same seed gives the same bytes; another seed other bytes.
    QCOMPARE(runTool(m_bench, download()).out, r.out);
    QProcessEnvironment env = benchEnvironment(m_bench);
    env.insert(QStringLiteral("USB_DL_SIM_SEED"), QStringLiteral("77"));
    QVERIFY(runProgram(binDir() + QStringLiteral("/usb_dl"), download(), env).out != r.out);
}

void tst_UsbDl::portSelectsScenario()
{
    plug(QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("ok"));
    plug(QStringLiteral("1"), QStringLiteral("4"), QStringLiteral("dlfail"));
    plug(QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("toolarge"));
    QCOMPARE(lastLine(download(QStringLiteral("1,4"))), QByteArray("USB download failed"));
    QCOMPARE(lastLine(download(QStringLiteral("2,3"))), QByteArray("[ERR] updating file is too large"));
    QCOMPARE(lastLine(download(QStringLiteral("1,3"))), QByteArray("USB download complete"));
    // A port without a board: nobody answers.
    const RunResult none = runTool(m_bench, download(QStringLiteral("3,1")));
    QCOMPARE(none.exitCode, 1);
    QCOMPARE(crlfLines(none.out).last(), QByteArray("usb device not found"));
    QCOMPARE(runBench(m_bench, words("unplug 1 3 --no-event")).exitCode, 0);
    QCOMPARE(lastLine(download(QStringLiteral("1,3"))), QByteArray("usb device not found"));
    // Plugged boards do not matter to a run without a port: the single scenario does.
    QCOMPARE(lastLine(download()), QByteArray("USB download complete"));
    QCOMPARE(runBench(m_bench, words("single commfail")).exitCode, 0);
    QCOMPARE(lastLine(download()), QByteArray("usb commuicate failed!!!"));
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
    QTest::addColumn<QString>("bench"); // when set, another bench folder
    QTest::newRow("unknown option") << words("-x") << QString();
    QTest::newRow("stray word") << words("-r now") << QString();
    QTest::newRow("nothing") << QStringList{} << QString();
    QTest::newRow("value missing at end") << words("-c a -s b -i") << QString();
    QTest::newRow("value is an option") << words("-c -s b -i /i") << QString();
    QTest::newRow("images missing") << words("-c a -s b") << QString();
    QTest::newRow("option twice") << words("-c a -c a -s b -i /i") << QString();
    QTest::newRow("listing with more") << words("-r -p 1,3") << QString();
    QTest::newRow("port without comma") << words("-c a -s b -i /i -p 13") << QString();
    QTest::newRow("port two characters") << words("-c a -s b -i /i -p 1,23") << QString();
    QTest::newRow("port three parts") << words("-c a -s b -i /i -p 1,2,3") << QString();
    QTest::newRow("missing bench folder") << words("-r") << QStringLiteral("no-such-bench");
}

void tst_UsbDl::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, bench);
    plug(QStringLiteral("1"), QStringLiteral("3"));
    const QString folder = bench.isEmpty() ? m_bench : m_dir->path() + QLatin1Char('/') + bench;
    const RunResult r = runTool(folder, args);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.startsWith("usb_dl: "));
    QVERIFY(r.err.contains(bench.toUtf8()));
    QVERIFY(r.out.isEmpty());
    QVERIFY(bench.isEmpty() || !QFileInfo::exists(folder));
}

void tst_UsbDl::handEditedState()
{
    QVERIFY(writeState(m_bench, "# boards on the bench\n"
                                "\n"
                                "port   2  1   dlfail  \r\n" // extra blanks, CRLF
                                "port 12 3 ok\n"             // two-character level
                                "port 3 ok\n"                // number missing
                                "port , 3 ok\n"              // comma
                                "port 2 1 ok\n"              // the same port again: the first stays
                                "single   toolarge\n"
                                "port 5 5 ok")); // no final line break
    QCOMPARE(listedPorts(m_bench), (words("2,1 5,5")));
    QCOMPARE(lastLine(download(QStringLiteral("2,1"))), QByteArray("USB download failed"));
    QCOMPARE(lastLine(download()), QByteArray("[ERR] updating file is too large"));
    // The driver keeps what it understood when it writes the state back.
    QCOMPARE(runBench(m_bench, words("plug 6 6 --no-event")).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), (words("2,1 5,5 6,6")));

    // Unknown scenarios are refused when played; the listing still lists the board.
    QVERIFY(writeState(m_bench, "single explode\nport 1 3 melt\n"));
    RunResult r = runTool(m_bench, download());
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("explode"));
    r = runTool(m_bench, download(QStringLiteral("1,3")));
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("melt"));
    QCOMPARE(listedPorts(m_bench), words("1,3"));
}

void tst_UsbDl::defaultBenchBesideExecutable()
{
    // Installed the way the program expects it: config/usb_dl.exe, with the
    // bench folder beside it and no USB_DL_BENCH.
    const QString config = m_dir->path() + QStringLiteral("/work dir/config");
    QVERIFY(QDir().mkpath(config + QStringLiteral("/bench")));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), config + QStringLiteral("/usb_dl.exe")));
    QVERIFY(writeState(config + QStringLiteral("/bench"), "port 4 2 ok\n"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("USB_DL_BENCH"));
    const RunResult r = runProgram(config + QStringLiteral("/usb_dl.exe"), {QStringLiteral("-r")}, env);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("portlevel4") && r.out.contains("portnum2"));
    QVERIFY(QFileInfo::exists(config + QStringLiteral("/bench/calls.log")));
}

QTEST_GUILESS_MAIN(tst_UsbDl)
#include "tst_usbdl.moc"
