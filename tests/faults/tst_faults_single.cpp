#include "faultbench.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "tests/common/testfiles.h"
#include "tests/single_logic/nodacoverride.h"
#include "tests/single_run/scriptedprompter.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

// Faults met by the single-board window through its own buttons, with the
// simulated tool: what the operator sees, that the window stays usable, and
// that every line the tool printed is in "log_singel.txt".
namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

using namespace Faults;

const QString kCompleted = QStringLiteral("Download completed!");
const QString kTerminated = QStringLiteral("Process Terminate!!!");

// The non-empty line-feed records of a text as the run log writes them:
// decoded with the window's codec, written back in the locale's.
QList<QByteArray> records(const QByteArray &bytes, bool decode)
{
    QByteArray text = bytes;
    if (decode) {
        QTextCodec *in = QTextCodec::codecForName("System");
        text = QTextCodec::codecForLocale()->fromUnicode(
            (in ? in : QTextCodec::codecForLocale())->toUnicode(bytes));
    }
    QList<QByteArray> out;
    for (const QByteArray &piece : text.split('\n'))
        if (!piece.isEmpty())
            out.append(piece);
    return out;
}

} // namespace

class tst_FaultsSingle : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void crashKeepsEveryLine();
    void binaryOutputIsLoggedWhole();
    void floodKeepsWindowAnswering();
    void completionCutAcrossReads_data();
    void completionCutAcrossReads();
    void diskFullDuringStaging();
    void readOnlyStagingFolder();
    void logFileCannotBeOpened();
    void fiftyDownloadStopCycles();
    void checkedRowsReachTheToolFromAnOddFolder();

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString root; // the working folder, with a blank in its name
    QString oldCwd;
    QString xml; // what the file dialog answers
    std::unique_ptr<quorDownloadToolUI> window;
    std::shared_ptr<ScriptedPrompter> prompter;

    QString path(const QString &relative) const { return root + QLatin1Char('/') + relative; }
    QString path(const char *relative) const { return path(QLatin1String(relative)); }
    void scenario(const char *name) { QVERIFY(runBench({QStringLiteral("single"), QLatin1String(name)})); }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    QProgressBar *bar() const
    {
        return window->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"));
    }
    QString statusText() const
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }
    QByteArray log() const { return readFile(path("log_singel.txt")); }
    // Clicks Download and waits for the notices asked so far to be these.
    void download(const QStringList &asked, int timeoutMs = 20000)
    {
        button("downloadButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, asked, timeoutMs);
    }
    QByteArray replaySingle() const
    {
        return replay(path("config/usb_dl.exe"),
                      {QStringLiteral("-c"), QStringLiteral("C"), QStringLiteral("-s"), QStringLiteral("O"),
                       QStringLiteral("-i"), path("config")},
                      path("config"));
    }
    // The log ends with exactly the tool's records; before them come staging lines only.
    void compareToolRecords(const QByteArray &output)
    {
        const QList<QByteArray> expected = records(output, true);
        const QList<QByteArray> logged = records(log(), false);
        QVERIFY(logged.size() >= expected.size());
        const int staging = logged.size() - expected.size();
        for (int i = 0; i < staging; ++i)
            QVERIFY2(logged.at(i).contains("copied") || logged.at(i).contains("deleted") ||
                         logged.at(i).contains("failed to copy"),
                     logged.at(i).constData());
        QVERIFY(logged.mid(staging) == expected);
    }
};

void tst_FaultsSingle::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    root = tmp->filePath(QStringLiteral("work dir"));
    oldCwd = QDir::currentPath();
    for (const char *dir : {"config", "bench", "settings", "img"})
        QVERIFY(QDir().mkpath(path(QLatin1String(dir))));
    QVERIFY(QDir::setCurrent(root));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path("settings"));
    qputenv("USB_DL_BENCH", QFile::encodeName(path("bench")));
    qputenv("USB_DL_SIM_DELAY_MS", "5");
    QVERIFY(installTool(path("config")));
    QVERIFY(writeFile(path("config/Board_config.ini"), "[chip]\nchip_type=CHIPX\n[OS]\nOS_type=OSY\n"));
    QVERIFY(
        writeFile(path("img/board.xml"),
                  "<partitions>\n"
                  "<partition label=\"a\" size_in_kb=\"4\" file=\"a.img\" mountpoint=\"\" type=\"emmc\"/>\n"
                  "<partition label=\"b\" size_in_kb=\"4\" file=\"b.img\" mountpoint=\"\" type=\"emmc\"/>\n"
                  "</partitions>\n"));
    QVERIFY(writeFile(path("img/a.img"), "a"));
    QVERIFY(writeFile(path("img/b.img"), QByteArray(3 << 20, 'b')));

    xml = path("img/board.xml");
    prompter = std::make_shared<ScriptedPrompter>();
    window = std::make_unique<quorDownloadToolUI>(
        [this](QWidget *, const QString &, const QString &, const QString &) { return xml; }, prompter);
    window->show();
    button("configFileButton")->click();
    QCOMPARE(window->state().partitionRowCount, 2);
    for (const QPointer<QCheckBox> &box : window->state().partitionCheckBoxes)
        if (box)
            box->setChecked(true);
}

void tst_FaultsSingle::cleanup()
{
    window.reset();
    QTRY_VERIFY(childProcesses().isEmpty());
    prompter.reset();
    QDir::setCurrent(oldCwd);
    tmp.reset();
    qunsetenv("USB_DL_BENCH");
    qunsetenv("USB_DL_SIM_DELAY_MS");
}

void tst_FaultsSingle::crashKeepsEveryLine()
{
    scenario("crash");
    button("downloadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("updated size"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(childProcesses().isEmpty(), 10000);
    QTest::qWait(100);
    // Nothing recognised: no box, the running form stays until Stop.
    QVERIFY(prompter->asked.isEmpty());
    QVERIFY(!button("downloadButton")->isEnabled());
    compareToolRecords(replaySingle());

    button("StopButton")->click();
    QCOMPARE(prompter->asked, QStringList{kTerminated});
    QVERIFY(button("downloadButton")->isEnabled());
    scenario("ok");
    download({kTerminated, kCompleted});
    QCOMPARE(bar()->value(), 100);
}

void tst_FaultsSingle::binaryOutputIsLoggedWhole()
{
    scenario("garbage");
    download({kCompleted}, 30000);
    QCOMPARE(bar()->value(), 100);
    const QByteArray output = replaySingle();
    QVERIFY(output.contains('\0'));
    compareToolRecords(output);
}

void tst_FaultsSingle::floodKeepsWindowAnswering()
{
    scenario("flood");
    LatencyProbe probe;
    download({kCompleted}, 150000);
    QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
    QVERIFY(probe.tickCount() > 2);
    // The view is bounded (cleared past 30720 characters at a notification).
    QVERIFY(statusText().size() < 30720 + 64 * 1024);
    const QByteArray output = replaySingle();
    QCOMPARE(output.count("updated size"), 100000);
    compareToolRecords(output);
}

void tst_FaultsSingle::completionCutAcrossReads_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::newRow("line cut in two") << QByteArray(
                                            "printf 'updated size: 10485760/20971520(50%%)\\r\\nUSB downl'\n"
                                            "sleep 0.4; printf 'oad complete\\r\\n'\nexec sleep 30\n")
                                     << QList<QByteArray>{"updated size: 10485760/20971520(50%)\r",
                                                          "USB download complete\r"};
    QTest::newRow("last line unterminated")
        << QByteArray("printf 'updated size: 1/2(0%%)\\r\\nUSB download complete'\n")
        << QList<QByteArray>{"updated size: 1/2(0%)\r", "USB download complete"};
}

void tst_FaultsSingle::completionCutAcrossReads()
{
    QFETCH(QByteArray, script);
    QFETCH(QList<QByteArray>, expected);
    QVERIFY(installScript(path("config/usb_dl.exe"), script));
    download({kCompleted}, 10000);
    QCOMPARE(bar()->value(), 100);
    QVERIFY(button("downloadButton")->isEnabled());
    // Each line is one record, whole.
    const QList<QByteArray> logged = records(log(), false);
    QCOMPARE(logged.mid(logged.size() - expected.size()), expected);
}

void tst_FaultsSingle::diskFullDuringStaging()
{
    scenario("ok");
    {
        // b.img (3 MiB) does not fit; a.img and the description do.
        FileSizeLimit limit(1 << 20);
        QVERIFY(limit.isActive());
        button("downloadButton")->click();
    }
    QVERIFY2(statusText().contains(QStringLiteral("b.img failed to copy, Becasue ")),
             qPrintable(statusText()));
    QVERIFY(log().contains("a.img is copied successfully\nb.img failed to copy, Becasue "));
    // No half image is left for the tool to burn.
    QVERIFY(!QFileInfo::exists(path("img/downloadImageFile/b.img")));
    QCOMPARE(readFile(path("img/downloadImageFile/a.img")), QByteArray("a"));
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, QStringList{kCompleted}, 20000);

    // With room again the next run stages everything.
    download({kCompleted, kCompleted});
    QCOMPARE(readFile(path("img/downloadImageFile/b.img")), QByteArray(3 << 20, 'b'));
}

void tst_FaultsSingle::readOnlyStagingFolder()
{
    scenario("ok");
    const QString staging = path("img/downloadImageFile");
    QVERIFY(QDir().mkpath(staging));
    QVERIFY(::chmod(QFile::encodeName(staging).constData(), 0555) == 0);
    {
        NoDacOverride asUser; // root's powers would write anyway
        button("downloadButton")->click();
    }
    // Every copy is reported as failed, in the view and the log; the run goes on.
    for (const char *name : {"a.img", "b.img", "board.xml"}) {
        QVERIFY2(statusText().contains(QLatin1String(name) + QStringLiteral(" failed to copy, Be")),
                 qPrintable(statusText()));
        QVERIFY(log().contains(QByteArray(name) + " failed to copy, Be"));
    }
    QVERIFY(QDir(staging).isEmpty());
    // The tool finds nothing to write and says so: never a completion.
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, QStringList{QStringLiteral("USB download failed!!!")}, 20000);
    QVERIFY(::chmod(QFile::encodeName(staging).constData(), 0755) == 0);
    button("downloadButton")->click();
    QCOMPARE(QDir(staging).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("b.img"), QStringLiteral("board.xml")}));
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked.size(), 2, 20000);
}

void tst_FaultsSingle::logFileCannotBeOpened()
{
    // A folder in the log's place: every line is lost, nothing else changes.
    QVERIFY(QDir().mkpath(path("log_singel.txt")));
    scenario("ok");
    download({kCompleted});
    QCOMPARE(bar()->value(), 100);
    QVERIFY(statusText().contains(QStringLiteral("a.img is copied successfully")));
    QVERIFY(QFileInfo(path("log_singel.txt")).isDir());
}

void tst_FaultsSingle::fiftyDownloadStopCycles()
{
    scenario("hang");
    int fdsBefore = 0;
    int objectsBefore = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        button("downloadButton")->click();
        QTRY_COMPARE(childProcesses().size(), 1);
        QTRY_COMPARE(log().count("Waiting for USB device connection"), cycle + 1);
        button("StopButton")->click();
        QCOMPARE(prompter->asked.size(), cycle + 1);
        QVERIFY(childProcesses().isEmpty());
        QVERIFY(button("downloadButton")->isEnabled());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (cycle == 0) {
            fdsBefore = openFdCount();
            objectsBefore = window->findChildren<QObject *>().size();
        }
    }
    QCOMPARE(prompter->asked.count(kTerminated), 50);
    QTRY_VERIFY2(openFdCount() <= fdsBefore,
                 qPrintable(QStringLiteral("%1 > %2").arg(openFdCount()).arg(fdsBefore)));
    QVERIFY(window->findChildren<QObject *>().size() <= objectsBefore);
    QVERIFY(window->findChildren<QProcess *>().size() <= 1);
    QTRY_VERIFY(window->findChildren<QThread *>().isEmpty());

    // Closing the window while the tool runs ends it too, without a notice.
    button("downloadButton")->click();
    QTRY_COMPARE(log().count("Waiting for USB device connection"), 51);
    QVERIFY(window->close());
    QVERIFY(childProcesses().isEmpty());
    QCOMPARE(prompter->asked.size(), 50);
}

void tst_FaultsSingle::checkedRowsReachTheToolFromAnOddFolder()
{
    // A description folder whose name holds a quote, blanks and non-ASCII
    // letters: only the checked rows are staged, and the staging folder reaches
    // the tool as one argument, exactly.
    scenario("ok");
    const QString odd = path("we\"ird \u00e4\u00f6 dir");
    QVERIFY(QDir().mkpath(odd));
    for (const char *name : {"board.xml", "a.img", "b.img"})
        QVERIFY(
            QFile::copy(path("img/") + QLatin1String(name), odd + QLatin1Char('/') + QLatin1String(name)));
    xml = odd + QStringLiteral("/board.xml");
    button("configFileButton")->click();
    window->state().partitionCheckBoxes.at(1)->setChecked(false);
    button("downloadButton")->click();
    QVERIFY(!button("downloadButton")->isEnabled());
    QVERIFY(button("StopButton")->isEnabled());
    QString staging = odd + QStringLiteral("/downloadImageFile");
    QCOMPARE(QDir(staging).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml")}));
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, QStringList{kCompleted}, 20000);
    QCOMPARE(bar()->value(), 100);
    QVERIFY(button("downloadButton")->isEnabled());
    QVERIFY(!button("StopButton")->isEnabled());
    QVERIFY(log().startsWith("a.img is copied successfully\nboard.xml is copied successfully\n"));
    // The call log quotes a word with blanks and writes a quote in it as three.
    staging.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    QCOMPARE(readFile(path("bench/calls.log")), ("-c CHIPX -s OSY -i \"" + staging + "\"\n").toUtf8());
}

QTEST_MAIN(tst_FaultsSingle)
#include "tst_faults_single.moc"
