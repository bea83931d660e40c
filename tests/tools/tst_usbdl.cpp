// The simulated tool and its bench driver as real processes; the driver's device
// events go to a bench device source in this process.

#include "common/toollaunch.h"
#include "common/toolprocess.h"
#include "platform/bench/benchdevicesource.h"
#include "testfiles.h"

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

QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QProcessEnvironment benchEnvironment(const QString &bench)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USB_DL_BENCH"), bench);
    env.insert(QStringLiteral("USB_DL_SIM_DELAY_MS"), QStringLiteral("1"));
    return env;
}

// Runs usb_dl or usb_dl_bench on that bench once per argument list, all at once, to their ends (30 s at
// most), the event loop turning for the device source.
QList<RunResult> runAll(const QString &program, const QString &bench, const QList<QStringList> &calls)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    for (const QStringList &args : calls) {
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->setProcessEnvironment(benchEnvironment(bench));
        procs.back()->start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, args);
    }
    QList<RunResult> results;
    for (const auto &p : procs) {
        RunResult r;
        r.finished = QTest::qWaitFor([&p] { return p->state() == QProcess::NotRunning; }, 30000) &&
                     p->error() != QProcess::FailedToStart;
        p->kill();
        p->waitForFinished(5000);
        r.exitCode = p->exitCode();
        r.exitStatus = p->exitStatus();
        r.out = p->readAllStandardOutput();
        r.err = p->readAllStandardError();
        results << r;
    }
    return results;
}

RunResult run(const QString &program, const QString &bench, const QStringList &args)
{
    return runAll(program, bench, {args}).first();
}

// What usb_dl -r printed when it ended well (else its exit code), and what it
// must print for these ports ("L,M", top to bottom).
QByteArray listed(const QString &bench)
{
    const RunResult r = run(QStringLiteral("usb_dl"), bench, {QStringLiteral("-r")});
    return r.exitCode ? "exit " + QByteArray::number(r.exitCode) : r.out;
}
QByteArray listing(const QString &ports)
{
    const QStringList list = ports.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QByteArray text =
        "USB download tool: port listing\r\ndevices found: " + QByteArray::number(list.size()) + "\r\n";
    for (int i = 0; i < list.size(); ++i)
        text += "dev " + QByteArray::number(i) + ", vid 7352, pid 1000, portlevel" +
                QString(list.at(i)).replace(",", ", portnum").toLatin1() + "\r\n";
    return text;
}

// An event as the test records it: "+ name" or "- name".
QString named(char kind, const char *serial)
{
    return QStringLiteral("%1 \\\\?\\USB#VID_7352&PID_1000#%2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
        .arg(QString(QLatin1Char(kind)), QLatin1String(serial));
}

} // namespace

class tst_UsbDl : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QObject> m_owner;
    QString m_bench;
    QStringList m_events;

    void listen(const QString &bench)
    {
        connect(createBenchDeviceSource(bench, m_owner.get()), &DeviceEventSource::deviceEvent, this,
                [this](DeviceEventSource::Kind kind, const QString &name) {
                    m_events << (kind == DeviceEventSource::Kind::Arrival ? "+ " : "- ") + name;
                });
    }
    bool state(const QByteArray &text)
    {
        return TestFiles::writeFile(m_bench + QStringLiteral("/state.txt"), text);
    }
    RunResult driver(const QStringList &args) { return run(QStringLiteral("usb_dl_bench"), m_bench, args); }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_bench = m_dir->path() + QStringLiteral("/bench");
        m_owner = std::make_unique<QObject>();
        m_events.clear();
        QVERIFY(QDir().mkpath(m_bench));
    }

    // "state|images|port|last line|exit code", -1: a crash. Images: a path below
    // images/, made but for "gone", a file when it has a suffix; none: a folder with files.
    void download_data()
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
        // A staging folder whose images could not be copied still holds the description.
        QTest::newRow("only a description") << "port 1 3 ok|a/board.XML|1,3|USB download failed|1";
    }
    void download()
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
            QVERIFY(at.endsWith(QLatin1String("gone")) ||
                    QDir().mkpath(QFileInfo(at + QLatin1Char('x')).path()));
            QVERIFY(QFileInfo(at).suffix().isEmpty() || TestFiles::writeFile(at, "x"));
        }
        if (!f.at(2).isEmpty())
            args << QStringLiteral("-p") << f.at(2);
        const RunResult r = run(QStringLiteral("usb_dl"), m_bench, args);
        QVERIFY(r.finished && r.err.isEmpty());
        QCOMPARE(r.exitStatus, exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
        const bool garbage = row.contains(QLatin1String("garbage")),
                   flood = row.contains(QLatin1String("flood"));
        // CRLF only (random bytes may hold a bare LF); garbage is not valid UTF-8 and holds NUL bytes.
        QVERIFY(r.out.endsWith("\r\n") && (garbage || r.out.count('\n') == r.out.count("\r\n")));
        QCOMPARE(r.out.contains('\0') && QString::fromUtf8(r.out).contains(QChar::ReplacementCharacter),
                 garbage);
        // Every run first waits for the board, in the form the single-board window needs.
        QVERIFY(flood || r.out.startsWith("Waiting for USB device connection:"));
        QCOMPARE(r.out.contains("download complete"), exitCode == 0);
        if (exitCode < 0) {
            QVERIFY(r.out.contains("updated size"));
            return;
        }
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.out.endsWith("\n" + lastLine + "\r\n") && r.out.count(lastLine) == 1,
                 r.out.right(200).constData());
        if (exitCode != 0)
            return;
        // Progress rises to 100 % of a total >= 100 (callers divide by it), with a "break" on the way.
        static const QRegularExpression size(QStringLiteral("updated size: (\\d+)/(\\d+)\\((\\d+)%\\)\r\n"));
        const QString text = QString::fromLatin1(r.out.constData(), r.out.size());
        qint64 previous = 0, steps = 0;
        for (auto it = size.globalMatch(text); it.hasNext(); ++steps) {
            const QRegularExpressionMatch m = it.next();
            const qint64 now = m.captured(1).toLongLong(), all = m.captured(2).toLongLong();
            QVERIFY(now > previous && all >= 100 && now <= all &&
                    m.captured(3).toLongLong() == now * 100 / all);
            previous = now;
        }
        QVERIFY(steps >= (flood ? 100000 : 10) &&
                text.contains(QStringLiteral("(100%)\r\nUSB download complete")));
        QVERIFY(flood || r.out.contains("break"));
    }

    // The tool's process object: its input is closed once the tool runs, so "press any key" ends
    // it; killing the tool or dropping the object ends the helper the tool started.
    void toolProcess_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("end");
        for (const char *row : {"presskey ", "spawn kill", "spawn drop"})
            QTest::newRow(row) << QString(row).section(' ', 0, 0) << QString(row).section(' ', 1);
    }

    void toolProcess()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, end);
        const QString images = m_dir->path() + QStringLiteral("/images");
        QVERIFY(state("single " + scenario.toUtf8()) && QDir().mkpath(images) &&
                TestFiles::writeFile(images + QStringLiteral("/boot.img"), "x"));
        auto process = std::make_unique<ToolProcess>();
        process->setProcessEnvironment(benchEnvironment(m_bench));
        process->setProcessChannelMode(QProcess::MergedChannels);
        ToolLaunch::start(process.get(), {QCoreApplication::applicationDirPath() + QStringLiteral("/usb_dl"),
                                          words("-c a -s b -i ") << images});
        QVERIFY(process->waitForStarted(10000));
        if (end.isEmpty()) { // ends with its input closed
            QVERIFY(process->waitForFinished(10000) && process->exitCode() == 0);
            QVERIFY(process->readAll().endsWith("Press any key to continue . . . "));
            return;
        }
        const QString children = m_bench + QStringLiteral("/children.log");
        QVERIFY(QTest::qWaitFor([&children] { return TestFiles::readFile(children).endsWith('\n'); }, 10000));
        const qint64 helper = TestFiles::readFile(children).trimmed().toLongLong();
        QVERIFY(TestFiles::processAlive(helper));
        if (end == QLatin1String("kill")) {
            process->kill();
            QVERIFY(process->waitForFinished(5000));
        } else {
            process.reset();
        }
        QVERIFY(QTest::qWaitFor([helper] { return !TestFiles::processAlive(helper); }, 5000));
    }

    // Every call is logged as one line, nine at once included; an argument with a blank is quoted.
    void callsLogKeepsLinesWhole()
    {
        QList<QStringList> calls{words("-c CHIP -s OS -i")
                                 << QStringLiteral("/a b/QuorBurnImage/") << words("-p 1,3")};
        QList<QByteArray> expected{"-c CHIP -s OS -i \"/a b/QuorBurnImage/\" -p 1,3", QByteArray()};
        for (int i = 0; i < 8; ++i) {
            calls << (QStringList{QStringLiteral("-c"), QString::number(i) + QString(3000, QLatin1Char('x'))}
                      << words("-s b -i /i -p 9,9"));
            expected << "-c " + QByteArray::number(i) + QByteArray(3000, 'x') + " -s b -i /i -p 9,9";
        }
        for (const RunResult &r : runAll(QStringLiteral("usb_dl"), m_bench, calls))
            QCOMPARE(r.exitCode, 1);
        QList<QByteArray> lines = TestFiles::readFile(m_bench + QStringLiteral("/calls.log")).split('\n');
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(lines, expected);
    }

    void badInput_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("state"); // null: no bench folder
        QTest::addColumn<QByteArray>("error");
        const auto row = [](const char *name, const char *program, const QStringList &args, const char *error,
                            const QByteArray &state = "port 1 3 ok\n") {
            QTest::newRow(name) << QString::fromLatin1(program) << args << state << QByteArray(error);
        };
        row("unknown option", "usb_dl", words("-x"), "'-x'");
        row("nothing", "usb_dl", {}, "missing option -c");
        row("value is an option", "usb_dl", words("-c -s b -i /i"), "-c needs a value");
        row("option twice", "usb_dl", words("-c a -c a -s b -i /i"), "-c given twice");
        row("listing with more", "usb_dl", words("-r -p 1,3"), "-r takes no other");
        row("port without comma", "usb_dl", words("-c a -s b -i /i -p 13"), "'13'");
        row("no bench folder", "usb_dl", words("-r"), "no-such-bench", QByteArray());
        row("unknown port scenario", "usb_dl", words("-c a -s b -i /i -p 1,3"), "melt", "port 1 3 melt\n");
        row("bench: unknown command", "usb_dl_bench", words("insert 1 3"), "usage:");
        row("bench: non-ASCII", "usb_dl_bench", words("plug 1") << QString(QChar(0x00e9)), "usage:");
        row("bench: event name with line break", "usb_dl_bench", words("event arrival") << "a\nremoval b",
            "usage:");
    }

    void badInput()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, state);
        QFETCH(QByteArray, error);
        const QString missing = m_dir->path() + QStringLiteral("/no-such-bench");
        QVERIFY(state.isNull() || this->state(state));
        listen(m_bench);
        const RunResult r = run(program, state.isNull() ? missing : m_bench, args);
        QCOMPARE(r.exitStatus, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.startsWith(program.toUtf8() + ": ") && r.err.contains(error), r.err.constData());
        // Nothing printed, changed or announced.
        QVERIFY(r.out.isEmpty() && !QFileInfo::exists(missing) && m_events.isEmpty());
        QCOMPARE(TestFiles::readFile(m_bench + QStringLiteral("/state.txt")), state);
    }

    void events()
    {
        QCOMPARE(listed(m_bench), listing(""));
        // Hand-edited: extra blanks, CRLF, bad ports skipped, the first of a doubled port kept.
        QVERIFY(state("# boards\n\nport   2  1   dlfail  \r\nport 12 3 ok\nport 3 ok\n"
                      "port , 3 ok\nport 2 1 ok\nsingle   toolarge\nport 5 5 ok"));
        QCOMPARE(listed(m_bench), listing("2,1 5,5"));
        listen(m_bench);
        // The driver returns only once the program has taken the event.
        const RunResult r = driver(words("plug 1 3"));
        QVERIFY2(r.exitCode == 0 && r.out.contains("delivered"), r.out.constData());
        QCOMPARE(m_events, QStringList{named('+', "QB3133")});
        // The serial belongs to the port. --no-event changes the state without announcing it.
        for (const char *command :
             {"unplug 1 3", "plug 1 3", "plug 3 1", "plug 1 1 --no-event", "unplug 1 1 --no-event"})
            QCOMPARE(driver(words(command)).exitCode, 0);
        QCOMPARE(m_events.mid(1),
                 (QStringList{named('-', "QB3133"), named('+', "QB3133"), named('+', "QB3331")}));
        // The list shows the names the program receives.
        QVERIFY(driver({QStringLiteral("list")}).out.contains(named('+', "QB3331").mid(2).toUtf8()));
        // A raw event passes any name through unchanged and changes no state.
        const QString name =
            QStringLiteral(R"(\\?\USBSTOR#Disk&Ven_Q#7&2# ünï  {53F56307-B6BF-11D0-94F2-00A0C91EFB8B})");
        QCOMPARE(driver({QStringLiteral("event"), QStringLiteral("removal"), name}).exitCode, 0);
        QCOMPARE(m_events.last(), QStringLiteral("- ") + name);
        // The driver keeps what it understood when it writes the state back.
        QCOMPARE(listed(m_bench), listing("2,1 5,5 1,3 3,1"));
    }
};

QTEST_GUILESS_MAIN(tst_UsbDl)
#include "tst_usbdl.moc"
