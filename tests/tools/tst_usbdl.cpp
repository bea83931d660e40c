// The simulated download tool and its bench driver run as real processes:
// listing, scenarios, call log and bad input of the tool; plugged-board state,
// bad input and device events of the driver, delivered to a bench device
// source in this process.

#include "platform/bench/benchdevicesource.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct RunResult
{
    bool finished = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out, err;
};

// Where the built programs are: QUOR_BIN_DIR under ctest, else beside the test.
QString binDir()
{
    const QByteArray dir = qgetenv("QUOR_BIN_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : QString::fromLocal8Bit(dir);
}

QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QProcessEnvironment benchEnvironment(const QString &bench)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USB_DL_BENCH"), bench);
    env.insert(QStringLiteral("USB_DL_SIM_DELAY_MS"), QStringLiteral("1"));
    return env;
}

// Runs a program to its end (30 s at most) while the event loop turns, so a
// device source in this process can answer the driver.
RunResult runProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    RunResult r;
    r.finished = QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 30000) &&
                 p.error() != QProcess::FailedToStart;
    p.kill();
    p.waitForFinished(5000);
    r.exitCode = p.exitCode();
    r.exitStatus = p.exitStatus();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

RunResult runTool(const QString &bench, const QStringList &args)
{
    return runProgram(binDir() + QStringLiteral("/usb_dl"), args, benchEnvironment(bench));
}

RunResult runBench(const QString &bench, const QStringList &args)
{
    return runProgram(binDir() + QStringLiteral("/usb_dl_bench"), args, benchEnvironment(bench));
}

// Starts every call at once; the exit codes, -1 for a call that did not end.
QVector<int> runAtOnce(const QString &program, const QList<QStringList> &calls, const QString &bench)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    for (const QStringList &args : calls) {
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->setProcessEnvironment(benchEnvironment(bench));
        procs.back()->start(binDir() + program, args);
    }
    QVector<int> codes;
    for (auto &p : procs)
        codes << (p->waitForFinished(30000) ? p->exitCode() : -1);
    return codes;
}

// The ports of a listing, top to bottom, as "L,M" (duplicates kept).
QStringList portsIn(const QByteArray &listing)
{
    static const QRegularExpression line(QStringLiteral("vid 7352, pid 1000, portlevel(.), portnum(.)\r\n"));
    QStringList ports;
    for (auto it = line.globalMatch(QString::fromUtf8(listing)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        ports << m.captured(1) + QLatin1Char(',') + m.captured(2);
    }
    return ports;
}

QStringList listedPorts(const QString &bench)
{
    return portsIn(runTool(bench, {QStringLiteral("-r")}).out);
}

QString arrival(const char *serial)
{
    return QStringLiteral("+ \\\\?\\USB#VID_7352&PID_1000#%1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
        .arg(QLatin1String(serial));
}

QString removal(const char *serial)
{
    return QStringLiteral("-") + arrival(serial).mid(1);
}

} // namespace

class tst_UsbDl : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void listing_data();
    void listing();
    void download_data();
    void download();
    void readerGoneEndsHang();
    void callsLogKeepsLinesWhole();
    void badInput_data();
    void badInput();
    void defaultBenchBesideExecutable();
    void benchState();
    void benchRejects_data();
    void benchRejects();
    void concurrentPlugsAllKept();
    void events();
    void socketPaths();
    void badClientLinesAreRefused();

private:
    void listen(const QString &bench)
    {
        connect(createBenchDeviceSource(bench, m_owner.get()), &DeviceEventSource::deviceEvent, this,
                [this](DeviceEventSource::Kind kind, const QString &name) {
                    m_events << (kind == DeviceEventSource::Kind::Arrival ? "+ " : "- ") + name;
                });
    }
    bool state(const QByteArray &text) { return writeFile(m_bench + QStringLiteral("/state.txt"), text); }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QObject> m_owner;
    QString m_bench;
    QStringList m_events;
};

void tst_UsbDl::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_bench = m_dir->path() + QStringLiteral("/bench");
    m_owner = std::make_unique<QObject>();
    m_events.clear();
    if (!QByteArray(QTest::currentTestFunction()).startsWith("bench")) // the driver makes its own
        QVERIFY(QDir().mkpath(m_bench));
}

void tst_UsbDl::listing_data()
{
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QString>("ports");
    QTest::newRow("none") << QByteArray() << "";
    QTest::newRow("three") << QByteArray("port 1 1 ok\nport 2 7 ok\nport A z slow\n") << "1,1 2,7 A,z";
    // Hand-edited: extra blanks, CRLF, bad ports skipped, the first of a doubled port kept.
    QTest::newRow("hand edited") << QByteArray(
                                        "# boards\n\nport   2  1   dlfail  \r\nport 12 3 ok\nport 3 ok\n"
                                        "port , 3 ok\nport 2 1 ok\nsingle   toolarge\nport 5 5 ok")
                                 << "2,1 5,5";
}

void tst_UsbDl::listing()
{
    QFETCH(QByteArray, state);
    QFETCH(QString, ports);
    QVERIFY(this->state(state));
    const RunResult r = runTool(m_bench, {QStringLiteral("-r")});
    QCOMPARE(r.exitCode, 0);
    // CRLF only; two header lines, then one line per board.
    QVERIFY(r.out.endsWith("\r\n"));
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    QStringList expected = ports.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QList<QByteArray> lines = r.out.split('\n');
    QCOMPARE(lines.size(), 3 + expected.size());
    QCOMPARE(lines.at(1), "devices found: " + QByteArray::number(expected.size()) + '\r');
    QCOMPARE(portsIn(r.out), expected);
    // The driver keeps what it understood when it writes the state back.
    QCOMPARE(runBench(m_bench, words("plug 6 6 --no-event")).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), expected << QStringLiteral("6,6"));
}

// "state|images|port|last line|exit code", -1: a crash. Images: a path below
// images/, made but for "gone", a file when it ends in ".img"; none: a folder with files.
void tst_UsbDl::download_data()
{
    QTest::addColumn<QString>("row");
    QTest::newRow("ok") << "port 1 3 ok||1,3|USB download complete|0";
    QTest::newRow("notfound") << "port 1 3 notfound||1,3|usb device not found|1";
    QTest::newRow("commfail") << "port 1 3 commfail||1,3|usb commuicate failed!!!|1";
    QTest::newRow("toolarge") << "port 1 3 toolarge||1,3|[ERR] updating file is too large|1";
    QTest::newRow("dlfail") << "port 1 3 dlfail||1,3|USB download failed|1";
    QTest::newRow("crash") << "port 1 3 crash||1,3||-1";
    QTest::newRow("flood") << "port 1 3 flood||1,3|USB download complete|0";
    QTest::newRow("no port: single") << "single garbage\nport 1 3 dlfail|||USB download complete|0";
    QTest::newRow("port without board") << "port 1 3 ok||3,1|usb device not found|1";
    QTest::newRow("images missing") << "port 1 3 ok|gone|1,3|USB download failed|1";
    QTest::newRow("only empty subfolders") << "port 1 3 ok|a/b/||USB download failed|1";
    QTest::newRow("no board, no images") << "port 1 3 ok|gone|2,2|usb device not found|1";
    QTest::newRow("image in a subfolder") << "port 1 3 ok|a/b/boot.img|1,3|USB download complete|0";
}

void tst_UsbDl::download()
{
    QFETCH(QString, row);
    const QStringList f = row.split(QLatin1Char('|'));
    const QByteArray lastLine = f.at(3).toUtf8();
    const int exitCode = f.at(4).toInt();
    QVERIFY(state(f.at(0).toUtf8()));
    QStringList args = words("-c a -s b -i ") << m_dir->path();
    if (!f.at(1).isEmpty()) {
        args.last() += QStringLiteral("/images/");
        const QString at = args.last() + f.at(1);
        QVERIFY(at.endsWith(QLatin1String("gone")) || QDir().mkpath(QFileInfo(at + QLatin1Char('x')).path()));
        QVERIFY(!at.endsWith(QLatin1String(".img")) || writeFile(at, "x"));
    }
    if (!f.at(2).isEmpty())
        args << QStringLiteral("-p") << f.at(2);
    const RunResult r = runTool(m_bench, args);
    QVERIFY(r.finished && r.err.isEmpty());
    QCOMPARE(r.exitStatus, exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY(r.out.endsWith("\r\n"));
    const bool garbage = row.contains(QLatin1String("garbage")), flood = row.contains(QLatin1String("flood"));
    // CRLF only (random bytes may hold a bare LF); garbage is not valid UTF-8 and holds NUL bytes.
    QVERIFY(garbage || r.out.count('\n') == r.out.count("\r\n"));
    QCOMPARE(r.out.contains('\0') && QString::fromUtf8(r.out).contains(QChar::ReplacementCharacter), garbage);
    QList<QByteArray> lines = r.out.split('\n');
    lines.removeLast();
    for (QByteArray &l : lines)
        l.chop(1);
    // Every run first waits for the board, in the form the single-board window needs.
    QVERIFY(flood || lines.first().startsWith("Waiting for USB device connection:"));
    QCOMPARE(r.out.contains("download complete"), exitCode == 0);
    if (exitCode < 0) {
        QVERIFY(r.out.contains("updated size"));
        return;
    }
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(lines.last(), lastLine);
    QCOMPARE(lines.count(lastLine), 1);
    if (exitCode != 0)
        return;
    // Progress rises to one total of at least 100 (callers divide by it), the
    // percentage agreeing, with a "break" on the way.
    static const QRegularExpression size(QStringLiteral("updated size: (\\d+)/(\\d+)\\((\\d+)%\\)$"));
    qint64 previous = 0, total = -1, steps = 0;
    for (const QByteArray &l : lines) {
        const QRegularExpressionMatch m = size.match(QString::fromLatin1(l.constData(), l.size()));
        if (!m.hasMatch())
            continue;
        const qint64 now = m.captured(1).toLongLong(), all = m.captured(2).toLongLong();
        QVERIFY(now > previous && all >= 100 && (total < 0 || all == total));
        QCOMPARE(m.captured(3).toLongLong(), now * 100 / all);
        previous = now;
        total = all;
        ++steps;
    }
    QCOMPARE(previous, total);
    QVERIFY(steps >= (flood ? 100000 : 10));
    QVERIFY(flood || r.out.contains("break"));
}

void tst_UsbDl::readerGoneEndsHang()
{
    // A reader that goes away ("head" after the first line) must not leave a
    // hanging tool behind: the pipeline ends because the tool ends.
    QVERIFY(state("port 2 2 hang\n"));
    const QString pipeline = QStringLiteral("\"%1/usb_dl\" -c a -s b -i /i -p 2,2 | head -n 1").arg(binDir());
    const RunResult r =
        runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), pipeline}, benchEnvironment(m_bench));
    QVERIFY(r.finished);
    QCOMPARE(r.out, QByteArray("Waiting for USB device connection: ...\r\n"));
}

void tst_UsbDl::callsLogKeepsLinesWhole()
{
    // Every call is logged as one line, a rejected one too, eight at once included.
    runTool(m_bench, {QStringLiteral("-c"), QStringLiteral("CHIP"), QStringLiteral("-s"),
                      QStringLiteral("OS"), QStringLiteral("-i"), QStringLiteral("/a b/QuorBurnImage/"),
                      QStringLiteral("-p"), QStringLiteral("1,3")});
    QCOMPARE(runTool(m_bench, {QStringLiteral("-q")}).exitCode, 2);
    QList<QStringList> calls;
    for (int i = 0; i < 8; ++i)
        calls << (QStringList{QStringLiteral("-c"), QString::number(i) + QString(3000, QLatin1Char('x'))}
                  << words("-s b -i /i -p 9,9"));
    QCOMPARE(runAtOnce(QStringLiteral("/usb_dl"), calls, m_bench), QVector<int>(8, 1));
    QFile log(m_bench + QStringLiteral("/calls.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.size(), 2 + 8 + 1);
    QCOMPARE(lines.mid(0, 2), (QList<QByteArray>{"-c CHIP -s OS -i \"/a b/QuorBurnImage/\" -p 1,3", "-q"}));
    QSet<QByteArray> seen;
    for (const QByteArray &l : lines.mid(2, 8)) {
        QVERIFY(l.size() == 3022 && l.startsWith("-c ") && l.endsWith("x -s b -i /i -p 9,9"));
        seen.insert(l.mid(3, 1));
    }
    QCOMPARE(seen.size(), 8);
}

void tst_UsbDl::badInput_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QByteArray>("state"); // null: no bench folder
    QTest::addColumn<QByteArray>("error");
    const QByteArray board("port 1 3 ok\n");
    QTest::newRow("unknown option") << "-x" << board << QByteArray("'-x'");
    QTest::newRow("nothing") << "" << board << QByteArray("missing option -c");
    QTest::newRow("value is an option") << "-c -s b -i /i" << board << QByteArray("-c needs a value");
    QTest::newRow("option twice") << "-c a -c a -s b -i /i" << board << QByteArray("-c given twice");
    QTest::newRow("listing with more") << "-r -p 1,3" << board << QByteArray("-r takes no other");
    QTest::newRow("port without comma") << "-c a -s b -i /i -p 13" << board << QByteArray("'13'");
    QTest::newRow("no bench folder") << "-r" << QByteArray() << QByteArray("no-such-bench");
    QTest::newRow("unknown port scenario")
        << "-c a -s b -i /i -p 1,3" << QByteArray("port 1 3 melt\n") << QByteArray("melt");
}

void tst_UsbDl::badInput()
{
    QFETCH(QString, args);
    QFETCH(QByteArray, state);
    QFETCH(QByteArray, error);
    const QString missing = m_dir->path() + QStringLiteral("/no-such-bench");
    QVERIFY(state.isNull() || this->state(state));
    const RunResult r =
        runTool(state.isNull() ? missing : m_bench, args.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("usb_dl: ") && r.err.contains(error), r.err.constData());
    QVERIFY(r.out.isEmpty() && !QFileInfo::exists(missing));
}

void tst_UsbDl::defaultBenchBesideExecutable()
{
    // Installed as the program expects it: config/usb_dl.exe with the bench
    // folder beside it, and no USB_DL_BENCH.
    const QString config = m_dir->path() + QStringLiteral("/work dir/config");
    QVERIFY(QDir().mkpath(config + QStringLiteral("/bench")));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), config + QStringLiteral("/usb_dl.exe")));
    QVERIFY(writeFile(config + QStringLiteral("/bench/state.txt"), "port 4 2 ok\n"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("USB_DL_BENCH"));
    const RunResult r = runProgram(config + QStringLiteral("/usb_dl.exe"), {QStringLiteral("-r")}, env);
    QCOMPARE(portsIn(r.out), QStringList{QStringLiteral("4,2")});
    QVERIFY(QFileInfo::exists(config + QStringLiteral("/bench/calls.log")));
}

void tst_UsbDl::benchState()
{
    // The driver makes the bench folder, and says when no program takes its event.
    RunResult r = runBench(m_bench, words("plug 1 3"));
    QVERIFY2(r.exitCode == 0 && r.out.contains("no program is listening"), r.out.constData());
    // Plugging an occupied port changes its scenario and keeps its place.
    for (const char *command : {"plug 2 5 slow", "plug 1 3 dlfail", "single hang"})
        QCOMPARE(runBench(m_bench, words(command)).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), words("1,3 2,5"));
    r = runBench(m_bench, {QStringLiteral("list")});
    QVERIFY2(r.out.contains("port 1,3 dlfail ") && r.out.contains("port 2,5 slow ") &&
                 r.out.contains("single: hang"),
             r.out.constData());
    // Unplugging an empty port is an error and changes nothing.
    QCOMPARE(runBench(m_bench, words("unplug 1 3")).exitCode, 0);
    r = runBench(m_bench, words("unplug 1 3"));
    QVERIFY(r.exitCode == 1 && r.err.contains("1,3"));
    QCOMPARE(listedPorts(m_bench), words("2,5"));
    QCOMPARE(runBench(m_bench, {QStringLiteral("reset")}).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), QStringList{});
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("single: ok"));
}

void tst_UsbDl::benchRejects_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << words("insert 1 3");
    QTest::newRow("level of two characters") << words("plug 12 3");
    QTest::newRow("non-ASCII") << (words("plug 1") << QString(QChar(0x00e9)));
    QTest::newRow("unknown scenario") << words("plug 1 3 explode");
    QTest::newRow("event kind") << words("event insert x");
    QTest::newRow("event name with line break") << (words("event arrival") << QStringLiteral("a\nremoval b"));
}

void tst_UsbDl::benchRejects()
{
    QFETCH(QStringList, args);
    QCOMPARE(runBench(m_bench, words("plug 7 7")).exitCode, 0);
    listen(m_bench);
    const RunResult r = runBench(m_bench, args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.startsWith("usb_dl_bench: ") && r.err.contains("usage:"));
    // Nothing changed, nothing announced.
    QCOMPARE(listedPorts(m_bench), words("7,7"));
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("single: ok"));
    QCOMPARE(m_events, QStringList{});
}

void tst_UsbDl::concurrentPlugsAllKept()
{
    // Sixteen drivers at once must not lose each other's boards.
    QList<QStringList> calls;
    QStringList expected;
    for (char level = 'a'; level < 'a' + 16; ++level) {
        calls << (QStringList{QStringLiteral("plug"), QString(QLatin1Char(level))} << words("1 --no-event"));
        expected << QString(QLatin1Char(level)) + QStringLiteral(",1");
    }
    QCOMPARE(runAtOnce(QStringLiteral("/usb_dl_bench"), calls, m_bench), QVector<int>(16, 0));
    QStringList ports = listedPorts(m_bench);
    ports.sort();
    QCOMPARE(ports, expected);
}

void tst_UsbDl::events()
{
    listen(m_bench);
    // The driver returns only once the program has taken the event.
    const RunResult r = runBench(m_bench, words("plug 1 3"));
    QVERIFY2(r.exitCode == 0 && r.out.contains("delivered"), r.out.constData());
    QCOMPARE(m_events, QStringList{arrival("QB3133")});
    // The serial belongs to the port: the same again on replug, another on
    // another port. --no-event changes the state without announcing it.
    for (const char *command :
         {"unplug 1 3", "plug 1 3", "plug 3 1", "plug 1 1 --no-event", "unplug 1 1 --no-event"})
        QCOMPARE(runBench(m_bench, words(command)).exitCode, 0);
    QCOMPARE(m_events.mid(1), (QStringList{removal("QB3133"), arrival("QB3133"), arrival("QB3331")}));
    // The list shows the names the program receives.
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains(arrival("QB3331").mid(2).toUtf8()));
    // A raw event passes any name through unchanged and changes no state.
    const QString name =
        QStringLiteral(R"(\\?\USBSTOR#Disk&Ven_Q#7&2# ünï  {53F56307-B6BF-11D0-94F2-00A0C91EFB8B})");
    QCOMPARE(runBench(m_bench, {QStringLiteral("event"), QStringLiteral("removal"), name}).exitCode, 0);
    QCOMPARE(m_events.last(), QStringLiteral("- ") + name);
    QCOMPARE(listedPorts(m_bench), words("1,3 3,1"));
}

void tst_UsbDl::socketPaths()
{
    // The socket name follows the canonical folder: a program listening on a
    // link is reached by a driver using the folder, over a stale socket file
    // that a listener which went away left behind.
    const QString link = m_dir->path() + QStringLiteral("/link");
    QVERIFY(QFile::link(m_bench, link));
    {
        QLocalServer old;
        QVERIFY(old.listen(BenchChannel::socketPath(m_bench)));
        old.close();
    }
    QFile stale(BenchChannel::socketPath(m_bench));
    QVERIFY(stale.exists() || stale.open(QIODevice::WriteOnly));
    stale.close();
    listen(link);
    // A long bench path falls back to a short socket name.
    QString longer = m_dir->path();
    while (longer.size() < 200)
        longer += QStringLiteral("/a-rather-long-folder-name");
    listen(longer);
    QCOMPARE(runBench(m_bench, words("plug 5 5")).exitCode, 0);
    QCOMPARE(runBench(longer, words("plug 4 4")).exitCode, 0);
    QCOMPARE(m_events, (QStringList{arrival("QB3535"), arrival("QB3434")}));
}

void tst_UsbDl::badClientLinesAreRefused()
{
    listen(m_bench);
    QLocalSocket client;
    client.connectToServer(BenchChannel::socketPath(m_bench));
    QVERIFY(client.waitForConnected(2000));
    client.write("insert something\narrival good\n");
    QTRY_VERIFY(client.bytesAvailable() >= 17);
    QCOMPARE(client.readAll(), QByteArray("unknown event\nok\n"));
    // An endless line without a line break is cut off, and the source still serves others.
    client.write(QByteArray(10000, 'x'));
    QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(runBench(m_bench, words("event arrival after")).exitCode, 0);
    QCOMPARE(m_events, (QStringList{QStringLiteral("+ good"), QStringLiteral("+ after")}));
}

QTEST_GUILESS_MAIN(tst_UsbDl)
#include "tst_usbdl.moc"
