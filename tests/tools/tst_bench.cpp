// The bench driver as a real process: plugged-board state, argument checks,
// and device events delivered to a bench device source in this process.

#include "benchprocess.h"

#include "platform/bench/benchdevicesource.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct Event
{
    DeviceEventSource::Kind kind;
    QString name;
};

const QString kNamePattern =
    QStringLiteral(R"(^\\\\\?\\USB#VID_7352&PID_1000#[^#&]+#\{A5DCBF10-6530-11D2-901F-00C04FB951ED\}$)");

} // namespace

class tst_Bench : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void plugUnplugState();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void concurrentPlugsAllKept();
    void writerWaitsForLockHolder();
    void plugAndUnplugEvents();
    void rawEvent();
    void quickPlugsArriveInOrder();
    void socketPaths();
    void badClientLinesAreRefused();

private:
    DeviceEventSource *listen(const QString &bench);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QObject> m_owner;
    QString m_bench;
    QVector<Event> m_events;
};

void tst_Bench::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_bench = m_dir->path() + QStringLiteral("/bench");
    m_owner = std::make_unique<QObject>();
    m_events.clear();
}

DeviceEventSource *tst_Bench::listen(const QString &bench)
{
    DeviceEventSource *source = createBenchDeviceSource(bench, m_owner.get());
    connect(source, &DeviceEventSource::deviceEvent, this,
            [this](DeviceEventSource::Kind kind, const QString &name) {
                m_events.append({kind, name});
            });
    return source;
}

void tst_Bench::plugUnplugState()
{
    // The driver creates the bench folder, and says when no program takes its event.
    RunResult r = runBench(m_bench, words("plug 1 3"));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("no program is listening"));
    QVERIFY(QFileInfo(m_bench).isDir());
    QCOMPARE(runBench(m_bench, words("plug 2 5 slow")).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), (words("1,3 2,5")));
    r = runBench(m_bench, {QStringLiteral("list")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("port 1,3 ok "));
    QVERIFY(r.out.contains("port 2,5 slow "));
    QVERIFY(r.out.contains("single: ok"));

    // Plugging an occupied port changes its scenario and keeps its place.
    QCOMPARE(runBench(m_bench, words("plug 1 3 dlfail")).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), (words("1,3 2,5")));
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("port 1,3 dlfail "));

    QCOMPARE(runBench(m_bench, words("unplug 1 3")).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), words("2,5"));
    // Unplugging an empty port is an error and changes nothing.
    r = runBench(m_bench, words("unplug 1 3"));
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains("1,3"));
    QCOMPARE(listedPorts(m_bench), words("2,5"));

    QCOMPARE(runBench(m_bench, words("single hang")).exitCode, 0);
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("single: hang"));
    QCOMPARE(runBench(m_bench, {QStringLiteral("reset")}).exitCode, 0);
    QCOMPARE(listedPorts(m_bench), QStringList{});
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("single: ok"));
}

void tst_Bench::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << words("insert 1 3");
    QTest::newRow("plug without number") << words("plug 1");
    QTest::newRow("level of two characters") << words("plug 12 3");
    QTest::newRow("comma") << words("plug , 3");
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("plug"), QStringLiteral("1"),
                                              QString(QChar(0x00e9))};
    QTest::newRow("unknown scenario") << words("plug 1 3 explode");
    QTest::newRow("unplug bad port") << words("unplug 10 3");
    QTest::newRow("single unknown") << words("single fast");
    QTest::newRow("event kind") << words("event insert x");
    QTest::newRow("event name with line break")
        << QStringList{QStringLiteral("event"), QStringLiteral("arrival"), QStringLiteral("a\nremoval b")};
    QTest::newRow("no-event on list") << words("list --no-event");
}

void tst_Bench::rejectsBadArguments()
{
    QFETCH(QStringList, args);
    QCOMPARE(runBench(m_bench, words("plug 7 7")).exitCode, 0);
    listen(m_bench);
    const RunResult r = runBench(m_bench, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.startsWith("usb_dl_bench: "));
    QVERIFY(r.err.contains("usage:"));
    // Nothing changed, nothing announced.
    QCOMPARE(listedPorts(m_bench), words("7,7"));
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains("single: ok"));
    QCOMPARE(m_events.size(), 0);
}

void tst_Bench::concurrentPlugsAllKept()
{
    // Sixteen drivers at once must not lose each other's boards.
    QVERIFY(QDir().mkpath(m_bench));
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < 16; ++i) {
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->setProcessEnvironment(benchEnvironment(m_bench));
        procs.back()->start(binDir() + QStringLiteral("/usb_dl_bench"),
                            {QStringLiteral("plug"), QString(QChar('a' + i)), QStringLiteral("1"),
                             QStringLiteral("--no-event")});
    }
    for (auto &p : procs) {
        QVERIFY(p->waitForFinished(30000));
        QCOMPARE(p->exitCode(), 0);
    }
    QStringList ports = listedPorts(m_bench);
    QCOMPARE(ports.size(), 16);
    ports.sort();
    for (int i = 0; i < 16; ++i)
        QCOMPARE(ports.at(i), QString(QChar('a' + i)) + QStringLiteral(",1"));
}

void tst_Bench::writerWaitsForLockHolder()
{
    QVERIFY(QDir().mkpath(m_bench));
    const QByteArray lockPath = QFile::encodeName(m_bench + QStringLiteral("/state.lock"));
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX), 0);
    QProcess driver;
    driver.setProcessEnvironment(benchEnvironment(m_bench));
    driver.start(binDir() + QStringLiteral("/usb_dl_bench"), words("plug 1 1 --no-event"));
    QVERIFY(driver.waitForStarted());
    // While the lock is held the driver neither finishes nor writes.
    QVERIFY(!driver.waitForFinished(700));
    QCOMPARE(listedPorts(m_bench), QStringList{});
    ::close(fd);
    QVERIFY(driver.waitForFinished(10000));
    QCOMPARE(driver.exitCode(), 0);
    QCOMPARE(listedPorts(m_bench), words("1,1"));
}

void tst_Bench::plugAndUnplugEvents()
{
    listen(m_bench);
    RunResult r = runBench(m_bench, words("plug 1 3"));
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("delivered"), r.out.constData());
    // The driver returns only once the program has taken the event.
    QCOMPARE(m_events.size(), 1);
    QCOMPARE(m_events.at(0).kind, DeviceEventSource::Kind::Arrival);
    const QString name = m_events.at(0).name;
    QVERIFY2(QRegularExpression(kNamePattern).match(name).hasMatch(), qPrintable(name));

    QCOMPARE(runBench(m_bench, words("unplug 1 3")).exitCode, 0);
    QCOMPARE(m_events.size(), 2);
    QCOMPARE(m_events.at(1).kind, DeviceEventSource::Kind::Removal);
    QCOMPARE(m_events.at(1).name, name);

    // The serial belongs to the port: the same again on replug, another on another port.
    QCOMPARE(runBench(m_bench, words("plug 1 3")).exitCode, 0);
    QCOMPARE(runBench(m_bench, words("plug 3 1")).exitCode, 0);
    QCOMPARE(m_events.size(), 4);
    QCOMPARE(m_events.at(2).name, name);
    QVERIFY(QRegularExpression(kNamePattern).match(m_events.at(3).name).hasMatch());
    QVERIFY(m_events.at(3).name != name);
    // The list shows the names the program receives.
    QVERIFY(runBench(m_bench, {QStringLiteral("list")}).out.contains(name.toUtf8()));
    // --no-event changes the state without announcing it.
    QCOMPARE(runBench(m_bench, words("plug 1 1 --no-event")).exitCode, 0);
    QCOMPARE(runBench(m_bench, words("unplug 1 1 --no-event")).exitCode, 0);
    QCOMPARE(m_events.size(), 4);
}

void tst_Bench::rawEvent()
{
    listen(m_bench);
    const QStringList names{
        QStringLiteral(R"(\\?\USBSTOR#Disk&Ven_Q&Prod_B&Rev_1#7&2#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B})"),
        QStringLiteral(R"(\\?\USB#VID_1234&PID_1000#X#{A5DCBF10-6530-11D2-901F-00C04FB951ED})"),
        QStringLiteral("name with  blanks "), QStringLiteral("#"), QStringLiteral("ünïcödé")};
    for (const QString &n : names) {
        const RunResult r = runBench(m_bench, {QStringLiteral("event"), QStringLiteral("removal"), n});
        QCOMPARE(r.exitCode, 0);
    }
    QCOMPARE(runBench(m_bench, {QStringLiteral("event"), QStringLiteral("arrival"), names.first()}).exitCode,
             0);
    QCOMPARE(m_events.size(), names.size() + 1);
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(m_events.at(i).kind, DeviceEventSource::Kind::Removal);
        QCOMPARE(m_events.at(i).name, names.at(i));
    }
    QCOMPARE(m_events.last().kind, DeviceEventSource::Kind::Arrival);
    QCOMPARE(m_events.last().name, names.first());
    // A raw event changes no state.
    QCOMPARE(listedPorts(m_bench), QStringList{});
}

void tst_Bench::quickPlugsArriveInOrder()
{
    listen(m_bench);
    QStringList expected;
    QStringList plugged;
    for (int i = 1; i <= 8; ++i) {
        const QString number = QString::number(i);
        QCOMPARE(runBench(m_bench, {QStringLiteral("plug"), QStringLiteral("2"), number}).exitCode, 0);
        expected << QStringLiteral("#QB32%1#").arg(0x30 + i, 2, 16, QLatin1Char('0')).toUpper();
        plugged << QStringLiteral("2,") + number;
    }
    QCOMPARE(m_events.size(), 8);
    QStringList serials;
    for (const Event &e : m_events) {
        QCOMPARE(e.kind, DeviceEventSource::Kind::Arrival);
        serials << e.name.mid(e.name.indexOf(QLatin1Char('#'), 10), 8).toUpper();
    }
    // Each name carries its own port's serial, in plug order.
    QCOMPARE(serials, expected);
    QCOMPARE(listedPorts(m_bench), plugged);
}

void tst_Bench::socketPaths()
{
    // A long bench path falls back to a short socket name; the name follows the canonical folder.
    QString bench = m_dir->path();
    while (bench.size() < 200)
        bench += QStringLiteral("/a-rather-long-folder-name");
    const QString socket = BenchChannel::socketPath(bench);
    QVERIFY(!socket.startsWith(m_dir->path()));
    QVERIFY(QFile::encodeName(socket).size() < 108);
    QVERIFY(QDir().mkpath(m_bench));
    const QString link = m_dir->path() + QStringLiteral("/link");
    QVERIFY(QFile::link(m_bench, link));
    QCOMPARE(BenchChannel::socketPath(link), BenchChannel::socketPath(m_bench));
    QCOMPARE(BenchChannel::socketPath(m_bench + QStringLiteral("/../bench")),
             BenchChannel::socketPath(m_bench));
    QVERIFY(BenchChannel::socketPath(m_bench) != BenchChannel::socketPath(m_dir->path()));
    {
        // A listener that went away without cleaning up leaves a stale socket file.
        QLocalServer old;
        QVERIFY(old.listen(BenchChannel::socketPath(m_bench)));
        old.close();
    }
    QFile stale(BenchChannel::socketPath(m_bench));
    if (!stale.exists()) {
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
    }
    // The program listening on one name is reached by a driver using the other.
    listen(link);
    listen(bench);
    QCOMPARE(runBench(m_bench, words("plug 5 5")).exitCode, 0);
    QCOMPARE(runBench(bench, words("plug 4 4")).exitCode, 0);
    QCOMPARE(m_events.size(), 2);
    QVERIFY(m_events.at(0).name.contains(QLatin1String("#QB3535#")));
    QVERIFY(m_events.at(1).name.contains(QLatin1String("#QB3434#")));
}

void tst_Bench::badClientLinesAreRefused()
{
    listen(m_bench);
    QLocalSocket client;
    client.connectToServer(BenchChannel::socketPath(m_bench));
    QVERIFY(client.waitForConnected(2000));
    client.write("insert something\narrival good\n");
    QTRY_COMPARE(m_events.size(), 1);
    QTRY_VERIFY(client.bytesAvailable() >= 17);
    QCOMPARE(client.readLine(), QByteArray("unknown event\n"));
    QCOMPARE(client.readLine(), QByteArray("ok\n"));
    QCOMPARE(m_events.at(0).name, QStringLiteral("good"));

    // An endless line without a line break is cut off, and the source still serves others.
    client.write(QByteArray(10000, 'x'));
    QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(runBench(m_bench, words("event arrival after")).exitCode, 0);
    QCOMPARE(m_events.size(), 2);
    QCOMPARE(m_events.at(1).name, QStringLiteral("after"));
}

QTEST_GUILESS_MAIN(tst_Bench)
#include "tst_bench.moc"
