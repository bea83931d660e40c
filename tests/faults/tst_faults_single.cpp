#include "faultbench.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "records/recordstore.h"
#include "tests/single_logic/nodacoverride.h"
#include "tests/single_run/scriptedprompter.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QTextCodec>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

// Faults met by the single-board window through its own buttons, with the
// simulated tool: what the operator sees, that the window stays usable, that
// every line the tool printed is in "log_singel.txt", and the runs' records.
using namespace Faults;

namespace {

const QString kCompleted = QStringLiteral("Download completed!");
const QString kTerminated = QStringLiteral("Process Terminate!!!");

// The non-empty line-feed records of a text; decoded and encoded again with
// the locale's codec, as the run log does with the tool's output.
QList<QByteArray> records(QByteArray text, bool decode)
{
    if (decode)
        text = QTextCodec::codecForLocale()->fromUnicode(QTextCodec::codecForLocale()->toUnicode(text));
    QList<QByteArray> out = text.split('\n');
    out.removeAll(QByteArray());
    return out;
}

} // namespace

class tst_FaultsSingle : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void outputIsLoggedWhole_data();
    void outputIsLoggedWhole();
    void stagingFails_data();
    void stagingFails();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::shared_ptr<ScriptedPrompter> prompter;
    std::unique_ptr<quorDownloadToolUI> window;

    QString path(const char *relative) const { return folder->file(QLatin1String(relative)); }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    int bar() const { return window->findChild<QProgressBar *>("downloadProgressBar")->value(); }
    QString status() const { return window->findChild<QPlainTextEdit *>("statusText")->toPlainText(); }
    QByteArray log() const { return folder->readFile("log_singel.txt"); }
    // Clicks Download and waits for the notices asked so far to be these.
    void download(const QStringList &asked, int timeoutMs = 20000)
    {
        button("downloadButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, asked, timeoutMs);
    }
};

void tst_FaultsSingle::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(QDir().mkpath(path("bench")) && QDir().mkpath(path("img")));
    qputenv("USB_DL_BENCH", QFile::encodeName(path("bench")));
    qputenv("USB_DL_SIM_DELAY_MS", "5");
    QVERIFY(installTool(path("config/usb_dl.exe")) && folder->writeBoardConfig("CHIPX", "OSY"));
    QVERIFY(folder->writeFile("img/board.xml", "<partitions>\n"
                                               "<partition label=\"a\" size_in_kb=\"4\" file=\"a.img\"/>\n"
                                               "<partition label=\"b\" size_in_kb=\"4\" file=\"b.img\"/>\n"
                                               "</partitions>\n"));
    QVERIFY(folder->writeFile("img/a.img", "a") && folder->writeFile("img/b.img", QByteArray(3 << 20, 'b')));
    prompter = std::make_shared<ScriptedPrompter>();
    const QString xml = path("img/board.xml");
    window = std::make_unique<quorDownloadToolUI>(
        [xml](QWidget *, const QString &, const QString &, const QString &) { return xml; }, prompter);
    window->show();
    button("configFileButton")->click();
    QCOMPARE(window->state().partitionCheckBoxes.size(), 2);
    for (const QPointer<QCheckBox> &box : window->state().partitionCheckBoxes)
        box->setChecked(true);
}

void tst_FaultsSingle::cleanup()
{
    window.reset();
    QTRY_VERIFY(childProcesses().isEmpty());
    folder.reset();
}

void tst_FaultsSingle::outputIsLoggedWhole_data()
{
    QTest::addColumn<QStringList>("notices");
    QTest::newRow("crash") << QStringList();             // killed after five progress steps
    QTest::newRow("garbage") << QStringList{kCompleted}; // random bytes, NULs, invalid UTF-8
    QTest::newRow("flood") << QStringList{kCompleted};   // 100,000 progress lines without pauses
}

void tst_FaultsSingle::outputIsLoggedWhole()
{
    QFETCH(QStringList, notices);
    QVERIFY(runBench({"single", QTest::currentDataTag()}));
    LatencyProbe probe;
    download(notices, 150000);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("updated size") && childProcesses().isEmpty(), 10000);
    QTest::qWait(100);
    QCOMPARE(prompter->asked, notices);
    QVERIFY2(probe.longest < 1000 && probe.ticks > 2, qPrintable(QString::number(probe.longest)));
    QVERIFY(status().size() < 30720 + 64 * 1024); // cleared past 30720 characters at a notice
    QCOMPARE(bar() == 100, !notices.isEmpty());
    // The log ends with exactly the tool's lines (replayed outside the window),
    // after the staging lines.
    const QList<QByteArray> expected = records(
        replay(path("config/usb_dl.exe"), {"-c", "CHIPX", "-s", "OSY", "-i", path("config")}, path("config")),
        true);
    const QList<QByteArray> logged = records(log(), false);
    QVERIFY(logged.size() > expected.size());
    for (const QByteArray &line : logged.mid(0, logged.size() - expected.size()))
        QVERIFY2(line.contains("copied") || line.contains("deleted"), line.constData());
    QVERIFY(logged.mid(logged.size() - expected.size()) == expected);
    if (notices.isEmpty()) { // nothing recognised: the running form stays until Stop
        QVERIFY(!button("downloadButton")->isEnabled());
        button("StopButton")->click();
        QCOMPARE(prompter->asked, QStringList{kTerminated});
        QVERIFY(button("downloadButton")->isEnabled());
    }
}

void tst_FaultsSingle::stagingFails_data()
{
    QTest::addColumn<bool>("diskFull"); // b.img (3 MiB) does not fit; otherwise nothing can be written
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<QString>("notice");
    QTest::newRow("disk full") << true << QStringList{"b.img"} << kCompleted;
    // Read-only, root's override dropped: the tool finds nothing to write and says so.
    QTest::newRow("read-only") << false << QStringList{"a.img", "b.img", "board.xml"}
                               << QStringLiteral("USB download failed!!!");
}

void tst_FaultsSingle::stagingFails()
{
    QFETCH(bool, diskFull);
    QFETCH(QStringList, failed);
    QFETCH(QString, notice);
    QVERIFY(runBench({"single", "ok"}));
    const QByteArray staging = QFile::encodeName(path("img/downloadImageFile"));
    QVERIFY(QDir().mkpath(staging) && ::chmod(staging.constData(), diskFull ? 0755 : 0555) == 0);
    {
        FileSizeLimit limit(diskFull ? 1 << 20 : RLIM_INFINITY);
        NoDacOverride asUser;
        QVERIFY(limit.active);
        button("downloadButton")->click();
    }
    // Each failed copy in the view and the log; no half image left to burn; the run goes on.
    for (const QString &name : failed) {
        QVERIFY2(status().contains(name + " failed to copy, Be"), qPrintable(status()));
        QVERIFY(log().contains((name + " failed to copy, Be").toUtf8()));
    }
    QCOMPARE(QDir(staging).entryList(QDir::Files).size(), 3 - failed.size());
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, QStringList{notice}, 20000);

    // With room again the next run stages everything.
    QVERIFY(::chmod(staging.constData(), 0755) == 0);
    download({notice, kCompleted});
    QCOMPARE(folder->readFile("img/downloadImageFile/b.img"), QByteArray(3 << 20, 'b'));

    // The runs' records, and the window's line about the last one.
    QTRY_COMPARE(window->findChild<QLabel *>("runRecordLabel")->text(),
                 QStringLiteral("Last: success   Today: 2 board(s)"));
    RecordStore store(path("records.sqlite"));
    QVERIFY(store.open() && store.records().size() == 2);
    const Records::BoardRecord r = store.records().last();
    const QByteArray sha =
        QCryptographicHash::hash(folder->readFile("img/board.xml"), QCryptographicHash::Sha256).toHex();
    QCOMPARE(QStringList({r.window, QString::number(r.slot), r.source, r.sha256, r.chip, r.os,
                          r.lastLine.trimmed(), Records::resultName(r.result), QString::number(r.exitCode)}),
             QStringList({"single", "1", path("img/board.xml"), sha, "CHIPX", "OSY", "USB download complete",
                          "success", "0"}));
    QVERIFY(r.durationMs > 0);
}

QTEST_MAIN(tst_FaultsSingle)
#include "tst_faults_single.moc"
