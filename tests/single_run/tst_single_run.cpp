// A single-board run end to end: real widgets, real child processes (the
// simulated tool, or a small script where a test needs exact output), the run
// log on disk, and a scripted prompter in place of message boxes.
#include "quorDownload/singleboardrun.h"
#include "tests/common/testfiles.h"
#include "tests/single_run/scriptedprompter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

using TestFiles::processAlive;
using TestFiles::readFile;
using TestFiles::writeFile;
using State = SingleBoardRun::State;
using Look = Prompter::Look;

const QString kCompleted = QStringLiteral("Download completed!");
const QString kConnection =
    QStringLiteral("USB Connection Problem!!!\nCheck your USB Connect and Restart Board");
const QString kTerminated = QStringLiteral("Process Terminate!!!");
const QString kTerminateLine = QStringLiteral(
    "--------------------------------------Process Terminate!!!---------------------------------------");

} // namespace

class tst_SingleRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void boxesLookAsBefore_data();
    void boxesLookAsBefore();
    void noDescriptionFile();
    void runsStageLogCompleteAndStartAfresh();
    void toolOutput_data();
    void toolOutput();
    void stopKillsFirstAndTheAnimationGoesOn();
    void failedStartOffersRetryIgnoreAbort();
    void outputDuringANoticeIsHandledOnceInOrder();
    void newRunDuringANoticeOnlyLogsTheOldOutput();
    void stagingFolderBlockedHaltsTheRun();
    void statusTextIsBoundedPerNotification();

private:
    QString m_binDir;
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_oldCwd;
    QString m_configDir, m_stagingDir;
    QString m_configFilePath, m_configFileName;

    std::unique_ptr<QWidget> m_host;
    QPointer<QPushButton> m_download, m_stop;
    QPointer<QProgressBar> m_bar;
    QPointer<QLabel> m_label;
    QPointer<QPlainTextEdit> m_status;
    QPointer<QProcess> m_process;
    QPointer<SingleBoardRun> m_run;
    std::shared_ptr<ScriptedPrompter> m_prompter;

    QString toolPath() const { return QDir::currentPath() + QStringLiteral("/config/usb_dl.exe"); }
    void installTool(const QByteArray &script = QByteArray()); // the simulated tool without a script
    void setScenario(const char *scenario);
    void chooseDescription();
    void compareButtons(bool running);
    QStringList logRecords(bool withStaging = false) const; // the run log's non-empty records
};

void tst_SingleRun::initTestCase()
{
    m_binDir = qEnvironmentVariable("QUOR_BIN_DIR");
    QVERIFY2(QFileInfo::exists(m_binDir + QStringLiteral("/usb_dl")), "the simulated tool is not built");
}

void tst_SingleRun::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    for (const char *dir : {"config", "bench", "img"})
        QVERIFY(QDir().mkpath(QLatin1String(dir)));
    qputenv("USB_DL_BENCH", QFile::encodeName(m_tmp->path() + QStringLiteral("/bench")));
    qputenv("USB_DL_SIM_DELAY_MS", "5");

    m_configDir = m_tmp->path() + QStringLiteral("/img/");
    m_stagingDir = m_configDir + QStringLiteral("downloadImageFile");
    for (const char *name : {"board.xml", "a.img", "b.img", "c.img"})
        QVERIFY(writeFile(m_configDir + QLatin1String(name), name));
    m_configFilePath = m_configFileName = QStringLiteral(" ");

    m_host = std::make_unique<QWidget>();
    m_download = new QPushButton(m_host.get());
    m_stop = new QPushButton(m_host.get());
    m_stop->setEnabled(false);
    m_bar = new QProgressBar(m_host.get());
    m_bar->reset();
    m_label = new QLabel(m_host.get());
    m_status = new QPlainTextEdit(m_host.get());
    m_process = new QProcess(m_host.get());
    m_process->setWorkingDirectory(QDir::currentPath() + QStringLiteral("/config/"));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_prompter = std::make_shared<ScriptedPrompter>();
    m_prompter->probe = [this] { return m_process && m_process->state() != QProcess::NotRunning ? 1 : 0; };

    auto inputs = [this] {
        SingleRunInputs in;
        in.configFilePath = m_configFilePath;
        in.configFileName = m_configFileName;
        in.configDir = m_configDir;
        in.stagingDir = m_stagingDir;
        in.toolArguments = QStringList{QStringLiteral("-c"), QStringLiteral("CHIP"), QStringLiteral("-s"),
                                       QStringLiteral("OS"), QStringLiteral("-i"),   m_stagingDir};
        for (const char *name : {"a.img", "b.img", "c.img"})
            in.rows << PartitionRowChoice{QLatin1String(name), true, name[0] != 'b'};
        return in;
    };
    m_run = new SingleBoardRun({m_download, m_stop, m_bar, m_label, m_status}, m_process, inputs,
                               m_host.get(), m_prompter);
}

void tst_SingleRun::cleanup()
{
    const qint64 pid = m_process ? m_process->processId() : 0;
    m_host.reset(); // the run goes first and takes a running tool with it
    QVERIFY(!processAlive(pid));
    QDir::setCurrent(m_oldCwd);
    m_tmp.reset();
}

void tst_SingleRun::installTool(const QByteArray &script)
{
    QFile::remove(toolPath());
    if (script.isEmpty())
        QVERIFY(QFile::copy(m_binDir + QStringLiteral("/usb_dl"), toolPath()));
    else
        QVERIFY(writeFile(toolPath(), "#!/bin/sh\n" + script));
    QVERIFY(QFile::setPermissions(toolPath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
}

void tst_SingleRun::setScenario(const char *scenario)
{
    QCOMPARE(QProcess::execute(m_binDir + QStringLiteral("/usb_dl_bench"),
                               {QStringLiteral("single"), QLatin1String(scenario)}),
             0);
}

void tst_SingleRun::chooseDescription()
{
    m_configFilePath = m_configDir + QStringLiteral("board.xml");
    m_configFileName = QStringLiteral("board.xml");
}

void tst_SingleRun::compareButtons(bool running)
{
    QCOMPARE(m_download->isEnabled(), !running);
    QCOMPARE(m_stop->isEnabled(), running);
}

QStringList tst_SingleRun::logRecords(bool withStaging) const
{
    // Through the codec: the QByteArray overloads would stop at a NUL byte.
    const QString text = QTextCodec::codecForLocale()->toUnicode(readFile(QStringLiteral("log_singel.txt")));
    QStringList out;
    for (const QString &r : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (withStaging || (!r.endsWith(QLatin1String(" is copied successfully")) &&
                            !r.endsWith(QLatin1String(" deleted!"))))
            out << r;
    }
    return out;
}

void tst_SingleRun::boxesLookAsBefore_data()
{
    QTest::addColumn<int>("look"); // -1: the failed start's question
    QTest::addColumn<QString>("style");
    QTest::newRow("plain") << int(Look::Plain)
                           << "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
    QTest::newRow("wide") << int(Look::Wide)
                          << "QLabel{min-width: 650px;min-height: 100px; font-size:30px;color:red;}";
    QTest::newRow("good") << int(Look::Good)
                          << "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:green;}";
    QTest::newRow("failed start") << -1
                                  << "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red}";
}

void tst_SingleRun::boxesLookAsBefore()
{
    QFETCH(int, look);
    QFETCH(QString, style);
    QMessageBox box;
    if (look < 0)
        BoxPrompter::setUpFailedStart(box);
    else
        BoxPrompter::setUpNotice(box, QStringLiteral("text"), Look(look));
    QCOMPARE(box.styleSheet(), style);
    QCOMPARE(box.icon(), QMessageBox::NoIcon);
    QCOMPARE(box.windowTitle(), QString());
    if (look >= 0) {
        QCOMPARE(box.text(), QStringLiteral("text"));
        return;
    }
    QCOMPARE(box.text(), QStringLiteral("Download Failed!"));
    QCOMPARE(box.informativeText(), QStringLiteral("Please make your choice:"));
    QCOMPARE(box.standardButtons(), QMessageBox::Retry | QMessageBox::Ignore | QMessageBox::Abort);
    // The answer given is the one returned.
    for (auto [button, choice] : {std::pair{QMessageBox::Retry, Prompter::Choice::Retry},
                                  std::pair{QMessageBox::Abort, Prompter::Choice::Abort},
                                  std::pair{QMessageBox::Ignore, Prompter::Choice::Ignore}}) {
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, [button = button] {
            if (auto *open = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                open->button(button)->click();
        });
        clicker.start(10);
        QCOMPARE(BoxPrompter().askAfterFailedStart(), choice);
    }
}

void tst_SingleRun::noDescriptionFile()
{
    installTool();
    m_bar->setValue(40);
    m_run->pyDownload();
    QCOMPARE(m_prompter->asked, QStringList{QStringLiteral("Please select .xml file first!")});
    QCOMPARE(m_prompter->looks, QList<Look>{Look::Plain});
    QCOMPARE(m_bar->value(), -1); // reset, nothing else
    compareButtons(false);
    QCOMPARE(m_run->state(), State::Idle);

    // A cancelled choice leaves empty paths: also no file.
    m_configFilePath = m_configFileName = QString();
    m_run->pyDownload();
    QCOMPARE(m_prompter->asked.size(), 2);
    QVERIFY(!QFileInfo::exists(m_stagingDir));
    QVERIFY(!QFileInfo::exists(QStringLiteral("downloadImageFile")));
    QCOMPARE(m_process->state(), QProcess::NotRunning);
}

void tst_SingleRun::runsStageLogCompleteAndStartAfresh()
{
    installTool();
    setScenario("ok");
    chooseDescription();
    m_run->pyDownload();
    compareButtons(true);
    QCOMPARE(QDir(m_stagingDir).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
    QVERIFY(m_status->toPlainText().contains(
        QStringLiteral("Downloading project... \nPlease reconnect your USB cable")));

    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, QStringList{kCompleted}, 20000);
    QCOMPARE(m_prompter->looks, QList<Look>{Look::Good});
    QCOMPARE(m_bar->value(), 100);
    compareButtons(false);
    QCOMPARE(m_run->breakSeen(), 0);
    QVERIFY(!m_run->isAnimating());
    QTRY_COMPARE(m_run->state(), State::Finished);

    // The log: staging lines first, then every tool line as received (CRLF kept).
    QStringList expected{QStringLiteral("a.img is copied successfully"),
                         QStringLiteral("c.img is copied successfully"),
                         QStringLiteral("board.xml is copied successfully")};
    for (int i = 0; i < 3; ++i)
        expected << QStringLiteral("Waiting for USB device connection: ...\r");
    for (int k = 1; k <= 20; ++k)
        expected << QStringLiteral("break\r")
                 << QStringLiteral("updated size: %1/20971520(%2%)\r").arg(20971520LL * k / 20).arg(k * 5);
    expected << QStringLiteral("USB download complete\r");
    QCOMPARE(logRecords(true), expected);
    QVERIFY(readFile(QStringLiteral("bench/calls.log")).contains(m_stagingDir.toUtf8()));

    // Again: the staging folder is emptied first, and each line is handled once.
    QVERIFY(QFile::remove(QStringLiteral("log_singel.txt")));
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked.size(), 2, 20000);
    QTRY_COMPARE(m_run->state(), State::Finished);
    const QByteArray log = readFile(QStringLiteral("log_singel.txt"));
    QVERIFY(
        log.startsWith("a.img deleted!\nboard.xml deleted!\nc.img deleted!\na.img is copied successfully\n"));
    QCOMPARE(logRecords(), expected.mid(3));

    // A new run starts from no progress.
    installTool("echo 'updated size: 300/1200(25%)'\nexec sleep 30\n");
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_bar->value(), 25, 10000);
    QCOMPARE(m_run->state(), State::Running);
}

void tst_SingleRun::toolOutput_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<int>("running"); // the tool still ran at the first notice: 1, 0
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("bar");
    QTest::addColumn<bool>("runningForm"); // the buttons afterwards
    const QByteArray sleep = "exec sleep 30\n";

    // "Not found" is shown while the tool runs, a broken communication after the kill.
    QTest::newRow("not found") << "echo 'usb device not found'\n" + sleep << QStringList{kConnection} << 1
                               << QStringList{QStringLiteral("usb device not found")} << -1 << true;
    QTest::newRow("comm failed") << "echo 'usb commuicate failed!!!'\n" + sleep << QStringList{kConnection}
                                 << 0 << QStringList{QStringLiteral("usb commuicate failed!!!")} << -1
                                 << true;
    QTest::newRow("too large") << "echo 'updating file is too large'\n" + sleep
                               << QStringList{QStringLiteral("updating file is too large!!!")} << 1
                               << QStringList{QStringLiteral("updating file is too large")} << 0 << false;
    QTest::newRow("failed") << "echo 'updated size: 300/1000(30%)'\necho 'USB download failed'\n" + sleep
                            << QStringList{QStringLiteral("USB download failed!!!")} << 1
                            << QStringList{QStringLiteral("updated size: 300/1000(30%)"),
                                           QStringLiteral("USB download failed")}
                            << 30 << false;
    // Completion drops the rest of its notification and leaves the tool alone.
    QTest::newRow("complete") << "printf 'USB download complete\\nextra line\\n'\n" + sleep
                              << QStringList{kCompleted} << 1
                              << QStringList{QStringLiteral("USB download complete")} << 100 << false;
    QTest::newRow("failed, later complete")
        << "echo 'USB download failed'\nsleep 1\necho 'download complete'\n" + sleep
        << QStringList{QStringLiteral("USB download failed!!!"), kCompleted} << 1
        << QStringList{QStringLiteral("USB download failed"), QStringLiteral("download complete")} << 100
        << false;
    // Waiting lines after "break" count a tenth each, up to just above 10, unshown.
    QStringList waits{QStringLiteral("break")};
    for (int i = 0; i < 95; ++i)
        waits << QStringLiteral("Waiting for USB device connection: ...");
    QTest::newRow("waiting") << "echo break\ni=0; while [ $i -lt 95 ]; do echo 'Waiting for USB device "
                                "connection: ...'; i=$((i+1)); done\necho last\n" +
                                    sleep
                             << QStringList() << 1 << (waits << QStringLiteral("last")) << 10 << true;
}

void tst_SingleRun::toolOutput()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, notices);
    QFETCH(int, running);
    QFETCH(QStringList, records);
    QFETCH(int, bar);
    QFETCH(bool, runningForm);
    installTool(script);
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(logRecords(), records, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, notices, 5000);
    if (!notices.isEmpty())
        QCOMPARE(m_prompter->probed.first(), running);
    QTRY_COMPARE(m_bar->value(), bar);
    compareButtons(runningForm);
    QVERIFY(!m_status->toPlainText().contains(QStringLiteral("extra line")));
    QVERIFY(!m_status->toPlainText().contains(QStringLiteral("Waiting for USB")));
    if (notices.value(0) == kConnection) {
        QCOMPARE(m_prompter->looks, QList<Look>{Look::Wide});
        QCOMPARE(m_run->state(), State::Finished);
        QCOMPARE(m_run->breakSeen(), 0);
    } else if (!runningForm) {
        QTRY_VERIFY(m_status->toPlainText().contains(records.last()));
        QCOMPARE(m_prompter->looks.first(), notices.first() == kCompleted ? Look::Good : Look::Plain);
        QCOMPARE(m_process->state(), QProcess::Running); // the tool is left alone
        QCOMPARE(m_status->toPlainText().endsWith(kTerminateLine),
                 notices.size() == 1 && notices.first() != kCompleted);
    } else {
        QTRY_VERIFY(m_status->toPlainText().contains(records.last()));
        QVERIFY(m_run->downloadProgress() > 10.0f && m_run->downloadProgress() < 10.01f);
    }
}

void tst_SingleRun::stopKillsFirstAndTheAnimationGoesOn()
{
    installTool("exec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QCOMPARE(m_run->state(), State::Running);
    const qint64 pid = m_process->processId();
    QTRY_VERIFY_WITH_TIMEOUT(m_run->animationFrame() == 3, 5000); // frames 1 and 2 shown
    m_run->stop();
    QCOMPARE(m_prompter->asked, QStringList{kTerminated});
    QCOMPARE(m_prompter->probed, QList<int>{0}); // killed before the notice
    QVERIFY(!processAlive(pid));
    QVERIFY(m_status->toPlainText().endsWith(kTerminateLine));
    compareButtons(false);
    QCOMPARE(m_run->state(), State::Idle);
    // The label keeps its frame and no further frame comes.
    QCOMPARE(m_label->pixmap()->toImage(), QPixmap(QStringLiteral(":/img/2.png")).toImage());
    QTest::qWait(1200);
    QCOMPARE(m_run->animationFrame(), 3);

    // The next run goes on from the next frame.
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_run->animationFrame(), 4, 5000);
    QCOMPARE(m_label->pixmap()->toImage(), QPixmap(QStringLiteral(":/img/3.png")).toImage());
}

void tst_SingleRun::failedStartOffersRetryIgnoreAbort()
{
    chooseDescription(); // no tool in config/
    QList<Prompter::Choice> answers{Prompter::Choice::Ignore, Prompter::Choice::Abort,
                                    Prompter::Choice::Retry};
    m_prompter->failedStart = [&] {
        if (answers.size() == 1) { // the last time: put the tool in place and retry
            installTool();
            setScenario("ok");
        }
        return answers.takeFirst();
    };
    const QString failed = QLatin1String(ScriptedPrompter::kFailedStart);
    m_bar->setValue(0);
    m_run->pyDownload(); // Ignore: the running form stays
    QCOMPARE(m_prompter->asked, QStringList{failed});
    compareButtons(true);
    QCOMPARE(m_run->state(), State::Finished);

    m_run->pyDownload(); // Abort: the bar is reset
    QCOMPARE(m_prompter->asked.size(), 2);
    QCOMPARE(m_bar->value(), -1);

    m_run->pyDownload(); // Retry with the tool now present
    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, (QStringList{failed, failed, failed, kCompleted}), 20000);
    QCOMPARE(m_bar->value(), 100);
}

void tst_SingleRun::outputDuringANoticeIsHandledOnceInOrder()
{
    // The failure notice stays open while the tool goes on printing; those
    // notifications re-enter the handler and must wait their turn.
    installTool("echo 'USB download failed'\n"
                "i=1; while [ $i -le 200 ]; do echo \"line $i\"; i=$((i+1)); done\n"
                "echo 'download complete'\nexec sleep 30\n");
    m_prompter->openMs = 700;
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked,
                              (QStringList{QStringLiteral("USB download failed!!!"), kCompleted}), 15000);
    QStringList expected{QStringLiteral("USB download failed")};
    for (int i = 1; i <= 200; ++i)
        expected << QStringLiteral("line %1").arg(i);
    expected << QStringLiteral("download complete");
    QCOMPARE(logRecords(), expected);
    // Shown in the same order, after the failure's dashed line.
    const QString text = m_status->toPlainText();
    const int dashes = text.indexOf(kTerminateLine);
    QVERIFY(dashes > 0);
    QVERIFY(text.indexOf(QStringLiteral("line 1line 2line 3")) > dashes);
    QVERIFY(text.indexOf(QStringLiteral("line 199line 200download complete")) > dashes);
}

void tst_SingleRun::newRunDuringANoticeOnlyLogsTheOldOutput()
{
    // A run started while the first tool's failure is shown: the first tool's
    // lines still queued are logged, never interpreted by the new run.
    installTool("printf 'USB download failed\\ndownload complete\\n'\nexec sleep 30\n");
    chooseDescription();
    m_prompter->whileOpen = [this](const QString &) {
        if (m_prompter->asked.size() == 1)
            m_run->pyDownload();
    };
    m_run->pyDownload();
    const QString failed = QStringLiteral("USB download failed!!!");
    QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, (QStringList{failed, failed, kCompleted}), 10000);
    QCOMPARE(logRecords(),
             (QStringList{QStringLiteral("USB download failed"), QStringLiteral("download complete"),
                          QStringLiteral("USB download failed"), QStringLiteral("download complete")}));
}

void tst_SingleRun::stagingFolderBlockedHaltsTheRun()
{
    installTool();
    chooseDescription();
    QVERIFY(writeFile(m_stagingDir, "a file in the way"));
    m_status->setPlainText(QStringLiteral("before"));
    m_run->pyDownload();
    QVERIFY(m_prompter->asked.isEmpty());
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QCOMPARE(m_status->toPlainText(), QStringLiteral("before"));
    compareButtons(true); // halted in the running form
    QCOMPARE(m_run->state(), State::Staging);
    m_run->stop();
    QCOMPARE(m_prompter->asked, QStringList{kTerminated});
    compareButtons(false);
}

void tst_SingleRun::statusTextIsBoundedPerNotification()
{
    installTool("sleep 1\necho first\nsleep 1\necho second\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    // Just at the bound: kept.
    m_status->setPlainText(QString(30720, QLatin1Char('x')));
    QTRY_VERIFY_WITH_TIMEOUT(m_status->toPlainText().endsWith(QStringLiteral("first")), 10000);
    QVERIFY(m_status->toPlainText().startsWith(QString(30720, QLatin1Char('x'))));
    // Now above it: cleared before the next notification's lines go in.
    QTRY_COMPARE_WITH_TIMEOUT(m_status->toPlainText(), QStringLiteral("second"), 10000);
}

QTEST_MAIN(tst_SingleRun)
#include "tst_single_run.moc"
