// A single-board run end to end: real widgets, the real simulated download
// tool (or a small script in its place where a test needs exact output),
// real child processes and the run log on disk.
#include "quorDownload/singleboardrun.h"
#include "tests/common/testfiles.h"
#include "tests/single_run/boxanswerer.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using TestFiles::processAlive;
using TestFiles::readFile;
using TestFiles::writeFile;

const char kS0[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red}";
const char kS1[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
const char kS2[] = "QLabel{min-width: 650px;min-height: 100px; font-size:30px;color:red;}";
const char kS3[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:green;}";
const char kConnection[] = "USB Connection Problem!!!\nCheck your USB Connect and Restart Board";
const char kTerminateLine[] =
    "--------------------------------------Process Terminate!!!---------------------------------------";

} // namespace

class TstSingleRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noDescriptionFileShowsItsBox();
    void okRunStagesLogsAndCompletes();
    void secondRunHandlesEachLineOnce();
    void connectionProblems_data();
    void connectionProblems();
    void boxFirstAndKillFirstOrder();
    void failureScenarios_data();
    void failureScenarios();
    void stopBeforeAnyOutput();
    void failedStartOffersRetryIgnoreAbort();
    void killLoopLeavesNoChildProcess();
    void breakThenWaitingLinesStopJustAboveTen();
    void completionDropsTheRestOfItsNotification();
    void failureThenLaterCompletion();
    void outputDuringABoxIsHandledOnceInOrder();
    void toolStartsFromAFolderWithABlank();
    void stagingFolderBlockedHaltsTheRun();
    void statusTextIsBoundedPerNotification();
    void animationGoesOnFromTheLastFrame();
    void misbehavingToolsLeaveTheRunUsable_data();
    void misbehavingToolsLeaveTheRunUsable();

private:
    QString m_binDir;
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_oldCwd;
    QString m_configDir, m_stagingDir;
    QVector<PartitionRowChoice> m_rows;
    QString m_configFilePath = QStringLiteral(" ");
    QString m_configFileName = QStringLiteral(" ");

    std::unique_ptr<QWidget> m_host;
    QPointer<QPushButton> m_download, m_stop;
    QPointer<QProgressBar> m_bar;
    QPointer<QLabel> m_label;
    QPointer<QPlainTextEdit> m_status;
    QPointer<QProcess> m_process;
    QPointer<SingleBoardRun> m_run;
    std::unique_ptr<BoxAnswerer> m_boxes;

    QString toolPath() const { return QDir::currentPath() + QStringLiteral("/config/usb_dl.exe"); }
    void installSimulatedTool();
    void installScript(const QByteArray &body);
    void setScenario(const char *scenario);
    void chooseDescription();
    QStringList logRecords() const;
    QStringList toolRecords() const; // non-empty records after the staging lines
};

void TstSingleRun::initTestCase()
{
    m_binDir = qEnvironmentVariable("QUOR_BIN_DIR");
    QVERIFY2(QFileInfo::exists(m_binDir + QStringLiteral("/usb_dl")), "the simulated tool is not built");
    QVERIFY(QFileInfo::exists(m_binDir + QStringLiteral("/usb_dl_bench")));
}

void TstSingleRun::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    QVERIFY(QDir().mkpath(QStringLiteral("config")));
    QVERIFY(QDir().mkpath(QStringLiteral("bench")));
    QVERIFY(QDir().mkpath(QStringLiteral("img")));
    qputenv("USB_DL_BENCH", QFile::encodeName(m_tmp->path() + QStringLiteral("/bench")));
    qputenv("USB_DL_SIM_DELAY_MS", "5");

    m_configDir = m_tmp->path() + QStringLiteral("/img/");
    m_stagingDir = m_configDir + QStringLiteral("downloadImageFile");
    QVERIFY(writeFile(m_configDir + QStringLiteral("board.xml"), "<partitions/>"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("a.img"), "AAAA"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("b.img"), "BBBB"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("c.img"), "CCCC"));
    m_rows.clear();
    for (const char *name : {"a.img", "b.img", "c.img"}) {
        PartitionRowChoice r;
        r.fileName = QString::fromLatin1(name);
        r.hasCheckBox = true;
        r.checked = r.fileName != QLatin1String("b.img");
        m_rows << r;
    }
    m_configFilePath = m_configFileName = QStringLiteral(" ");

    m_host = std::make_unique<QWidget>();
    m_download = new QPushButton(QStringLiteral("Download"), m_host.get());
    m_stop = new QPushButton(QStringLiteral("Terminate"), m_host.get());
    m_stop->setEnabled(false);
    m_bar = new QProgressBar(m_host.get());
    m_bar->setRange(0, 100);
    m_bar->reset();
    m_label = new QLabel(m_host.get());
    m_status = new QPlainTextEdit(m_host.get());
    m_process = new QProcess(m_host.get());
    m_process->setWorkingDirectory(QDir::currentPath() + QStringLiteral("/config/"));
    m_process->setProcessChannelMode(QProcess::MergedChannels);

    SingleRunWidgets widgets;
    widgets.downloadButton = m_download;
    widgets.stopButton = m_stop;
    widgets.progressBar = m_bar;
    widgets.statusPicture = m_label;
    widgets.statusText = m_status;
    auto inputs = [this] {
        SingleRunInputs in;
        in.configFilePath = m_configFilePath;
        in.configFileName = m_configFileName;
        in.configDir = m_configDir;
        in.stagingDir = m_stagingDir;
        in.downloadCommand =
            QStringLiteral("usb_dl.exe -c CHIP -s OS -i \"") + m_stagingDir + QStringLiteral("\"\n");
        in.toolArguments = QStringList{QStringLiteral("-c"), QStringLiteral("CHIP"), QStringLiteral("-s"),
                                       QStringLiteral("OS"), QStringLiteral("-i"), m_stagingDir};
        in.rows = m_rows;
        return in;
    };
    m_run = new SingleBoardRun(widgets, m_process, inputs, m_host.get());
    m_boxes = std::make_unique<BoxAnswerer>();
    m_boxes->setProbe([this] { return m_process && m_process->state() != QProcess::NotRunning ? 1 : 0; });
}

void TstSingleRun::cleanup()
{
    const qint64 pid = m_process ? m_process->processId() : 0;
    m_host.reset(); // the run goes first and takes a running tool with it
    QVERIFY(!processAlive(pid));
    m_boxes.reset();
    QDir::setCurrent(m_oldCwd);
    m_tmp.reset();
}

void TstSingleRun::installSimulatedTool()
{
    QFile::remove(toolPath());
    QVERIFY(QFile::copy(m_binDir + QStringLiteral("/usb_dl"), toolPath()));
    QVERIFY(QFile::setPermissions(toolPath(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void TstSingleRun::installScript(const QByteArray &body)
{
    QFile::remove(toolPath());
    QVERIFY(writeFile(toolPath(), "#!/bin/sh\n" + body));
    QVERIFY(QFile::setPermissions(toolPath(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void TstSingleRun::setScenario(const char *scenario)
{
    QCOMPARE(QProcess::execute(m_binDir + QStringLiteral("/usb_dl_bench"),
                               {QStringLiteral("single"), QString::fromLatin1(scenario)}),
             0);
}

void TstSingleRun::chooseDescription()
{
    m_configFilePath = m_configDir + QStringLiteral("board.xml");
    m_configFileName = QStringLiteral("board.xml");
}

QStringList TstSingleRun::logRecords() const
{
    // Through the codec: the QByteArray overloads would stop at a NUL byte.
    QString text = QTextCodec::codecForLocale()->toUnicode(readFile(QStringLiteral("log_singel.txt")));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList TstSingleRun::toolRecords() const
{
    QStringList out;
    const QStringList all = logRecords();
    for (const QString &r : all) {
        if (r.isEmpty() || r.endsWith(QLatin1String(" is copied successfully")) ||
            r.endsWith(QLatin1String(" deleted!")) || r.contains(QLatin1String(" failed to copy, ")) ||
            r.contains(QLatin1String(" deleted  failed! ")))
            continue;
        out << r;
    }
    return out;
}

void TstSingleRun::noDescriptionFileShowsItsBox()
{
    installSimulatedTool();
    m_bar->setValue(40);
    m_run->pyDownload();
    QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("Please select .xml file first!")});
    QCOMPARE(m_boxes->boxes.at(0).styleSheet, QString::fromLatin1(kS1));
    QVERIFY(!m_boxes->boxes.at(0).hasIcon && !m_boxes->boxes.at(0).hasParent);
    QCOMPARE(m_bar->value(), m_bar->minimum() - 1); // reset, nothing else
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
    QVERIFY(!QFileInfo::exists(m_stagingDir));
    QCOMPARE(m_process->state(), QProcess::NotRunning);

    // A cancelled choice leaves empty paths: also no file.
    m_configFilePath = m_configFileName = QString();
    m_run->pyDownload();
    QCOMPARE(m_boxes->boxes.size(), 2);
    QVERIFY(!QFileInfo::exists(QStringLiteral("downloadImageFile")));
}

void TstSingleRun::okRunStagesLogsAndCompletes()
{
    installSimulatedTool();
    setScenario("ok");
    chooseDescription();
    m_run->pyDownload();
    QVERIFY(!m_download->isEnabled());
    QVERIFY(m_stop->isEnabled());
    QCOMPARE(QDir(m_stagingDir).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
    QVERIFY(m_status->toPlainText().contains(
        QStringLiteral("Downloading project... \nPlease reconnect your USB cable")));

    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QStringLiteral("Download completed!")}, 20000);
    QCOMPARE(m_boxes->boxes.at(0).styleSheet, QString::fromLatin1(kS3));
    QCOMPARE(m_bar->value(), 100);
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
    QCOMPARE(m_run->breakSeen(), 0);
    QVERIFY(!m_run->isAnimating());
    QVERIFY(!m_label->pixmap() || m_label->pixmap()->isNull());

    // The log: staging lines first, then every tool line as received (CRLF kept).
    const QStringList records = logRecords();
    QCOMPARE(records.mid(0, 3), (QStringList{QStringLiteral("a.img is copied successfully"),
                                             QStringLiteral("c.img is copied successfully"),
                                             QStringLiteral("board.xml is copied successfully")}));
    QStringList expected;
    for (int i = 0; i < 3; ++i)
        expected << QStringLiteral("Waiting for USB device connection: ...\r");
    for (int k = 1; k <= 20; ++k)
        expected << QStringLiteral("break\r")
                 << QStringLiteral("updated size: %1/20971520(%2%)\r").arg(20971520LL * k / 20).arg(k * 5);
    expected << QStringLiteral("USB download complete\r");
    QCOMPARE(toolRecords(), expected);

    // The tool got the staging folder as one argument.
    const QString calls = QString::fromUtf8(readFile(QStringLiteral("bench/calls.log")));
    QVERIFY2(calls.contains(m_stagingDir) && calls.contains(QStringLiteral("CHIP")), qPrintable(calls));
}

void TstSingleRun::secondRunHandlesEachLineOnce()
{
    installSimulatedTool();
    setScenario("ok");
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->boxes.size(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_process->state(), QProcess::NotRunning, 5000);
    QVERIFY(QFile::remove(QStringLiteral("log_singel.txt")));

    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->boxes.size(), 2, 20000);
    const QStringList records = logRecords();
    // Second run: the staging folder is emptied first, without false failures.
    QCOMPARE(records.mid(0, 3),
             (QStringList{QStringLiteral("a.img deleted!"), QStringLiteral("board.xml deleted!"),
                          QStringLiteral("c.img deleted!")}));
    QCOMPARE(toolRecords().size(), 3 + 40 + 1);
    QCOMPARE(toolRecords().count(QStringLiteral("USB download complete\r")), 1);
    QVERIFY(!records.contains(QStringLiteral("c.img failed to copy, Becasue Destination file exists")));
}

void TstSingleRun::connectionProblems_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("notfound") << "notfound";
    QTest::newRow("commfail") << "commfail";
}

void TstSingleRun::connectionProblems()
{
    QFETCH(QString, scenario);
    installSimulatedTool();
    setScenario(qPrintable(scenario));
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QString::fromLatin1(kConnection)}, 20000);
    QCOMPARE(m_boxes->boxes.at(0).styleSheet, QString::fromLatin1(kS2));
    QTRY_COMPARE_WITH_TIMEOUT(m_process->state(), QProcess::NotRunning, 5000);
    // The buttons keep the running form until Stop.
    QVERIFY(!m_download->isEnabled());
    QVERIFY(m_stop->isEnabled());
    QCOMPARE(m_run->breakSeen(), 0);

    m_run->stop();
    QCOMPARE(m_boxes->texts().last(), QStringLiteral("Process Terminate!!!"));
    QCOMPARE(m_boxes->boxes.last().styleSheet, QString::fromLatin1(kS1));
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
    QVERIFY(m_status->toPlainText().endsWith(QString::fromLatin1(kTerminateLine)));
}

void TstSingleRun::boxFirstAndKillFirstOrder()
{
    // Tools that stay alive after the line show whether the kill came before the box.
    installScript("echo 'usb device not found'\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->boxes.size(), 1, 10000);
    QCOMPARE(m_boxes->boxes.at(0).extra, 1); // still running while the box showed
    QTRY_COMPARE_WITH_TIMEOUT(m_process->state(), QProcess::NotRunning, 5000);

    installScript("echo 'usb commuicate failed!!!'\nexec sleep 30\n");
    m_run->stop();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->boxes.size(), 3, 10000);
    QCOMPARE(m_boxes->boxes.at(2).text, QString::fromLatin1(kConnection));
    QCOMPARE(m_boxes->boxes.at(2).extra, 0); // killed before the box
}

void TstSingleRun::failureScenarios_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("bar");
    QTest::newRow("toolarge") << "toolarge"
                              << "updating file is too large!!!" << 0;
    QTest::newRow("dlfail") << "dlfail"
                            << "USB download failed!!!" << 30;
}

void TstSingleRun::failureScenarios()
{
    QFETCH(QString, scenario);
    QFETCH(QString, boxText);
    QFETCH(int, bar);
    installSimulatedTool();
    setScenario(qPrintable(scenario));
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{boxText}, 20000);
    QCOMPARE(m_boxes->boxes.at(0).styleSheet, QString::fromLatin1(kS1));
    QTRY_VERIFY_WITH_TIMEOUT(m_status->toPlainText().endsWith(QString::fromLatin1(kTerminateLine)), 5000);
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
    QCOMPARE(m_bar->value(), bar);
    QVERIFY(!m_run->isAnimating());
    QVERIFY(toolRecords().last().contains(boxText.left(19)));
}

void TstSingleRun::stopBeforeAnyOutput()
{
    installScript("exec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QCOMPARE(m_process->state(), QProcess::Running);
    const qint64 pid = m_process->processId();
    QTRY_VERIFY_WITH_TIMEOUT(m_label->pixmap() && !m_label->pixmap()->isNull(), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(m_run->animationFrame() != 2, 3000); // at least two frames shown
    m_run->stop();
    QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("Process Terminate!!!")});
    QCOMPARE(m_boxes->boxes.at(0).extra, 0); // killed before the box
    QVERIFY(!processAlive(pid));
    QVERIFY(m_status->toPlainText().endsWith(QString::fromLatin1(kTerminateLine)));
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
    // The label keeps its frame and no further frame comes.
    QVERIFY(m_label->pixmap() && !m_label->pixmap()->isNull());
    const int frame = m_run->animationFrame();
    QTest::qWait(1500);
    QCOMPARE(m_run->animationFrame(), frame);
}

void TstSingleRun::failedStartOffersRetryIgnoreAbort()
{
    chooseDescription(); // no tool in config/
    int failures = 0;
    m_boxes->setChooser([&](const SeenBox &box) {
        if (box.text != QLatin1String("Download Failed!"))
            return QMessageBox::NoButton;
        ++failures;
        if (failures == 1)
            return QMessageBox::Ignore;
        if (failures == 2)
            return QMessageBox::Abort;
        // Third time: put the tool in place and retry.
        installSimulatedTool();
        setScenario("ok");
        return QMessageBox::Retry;
    });

    m_bar->setValue(0);
    m_run->pyDownload(); // Ignore
    QCOMPARE(m_boxes->boxes.size(), 1);
    const SeenBox first = m_boxes->boxes.at(0);
    QCOMPARE(first.informativeText, QStringLiteral("Please make your choice:"));
    QCOMPARE(first.styleSheet, QString::fromLatin1(kS0));
    QVERIFY(!m_download->isEnabled()); // the running form stays
    QVERIFY(m_stop->isEnabled());

    m_run->pyDownload(); // Abort: the bar is reset
    QCOMPARE(m_boxes->boxes.size(), 2);
    QCOMPARE(m_bar->value(), m_bar->minimum() - 1);

    m_run->pyDownload(); // Retry with the tool now present
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts().last(), QStringLiteral("Download completed!"), 20000);
    QCOMPARE(failures, 3);
    QCOMPARE(m_bar->value(), 100);
}

void TstSingleRun::killLoopLeavesNoChildProcess()
{
    installSimulatedTool();
    setScenario("hang");
    chooseDescription();
    m_run->pyDownload();
    QTRY_VERIFY_WITH_TIMEOUT(toolRecords().size() >= 1, 10000);
    const qint64 pid = m_process->processId();
    QVERIFY(processAlive(pid));
    m_run->killLoop(); // what closing the window does
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QVERIFY(!processAlive(pid));
    QVERIFY(m_boxes->boxes.isEmpty());
}

void TstSingleRun::breakThenWaitingLinesStopJustAboveTen()
{
    installScript(
        "echo break\n"
        "i=0; while [ $i -lt 95 ]; do echo 'Waiting for USB device connection: ...'; i=$((i+1)); done\n"
        "echo 'one more line'\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QTRY_VERIFY_WITH_TIMEOUT(toolRecords().contains(QStringLiteral("one more line")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_bar->value(), 10, 5000);
    QVERIFY(m_run->downloadProgress() > 10.0f && m_run->downloadProgress() < 10.01f);
    QCOMPARE(toolRecords().count(QStringLiteral("Waiting for USB device connection: ...")), 95);
    QTRY_VERIFY_WITH_TIMEOUT(m_status->toPlainText().contains(QStringLiteral("one more line")), 5000);
    QVERIFY(!m_status->toPlainText().contains(QStringLiteral("Waiting for USB")));
}

void TstSingleRun::completionDropsTheRestOfItsNotification()
{
    installScript("printf 'USB download complete\\nextra line\\n'\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QStringLiteral("Download completed!")}, 10000);
    QCOMPARE(toolRecords(), QStringList{QStringLiteral("USB download complete")});
    QVERIFY(!m_status->toPlainText().contains(QStringLiteral("extra line")));
    // Completion leaves the tool alone.
    QCOMPARE(m_process->state(), QProcess::Running);
}

void TstSingleRun::failureThenLaterCompletion()
{
    installScript("echo 'USB download failed'\nsleep 1\necho 'download complete'\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(
        m_boxes->texts(),
        (QStringList{QStringLiteral("USB download failed!!!"), QStringLiteral("Download completed!")}),
        10000);
    QCOMPARE(m_bar->value(), 100);
    QVERIFY(m_download->isEnabled());
}

void TstSingleRun::toolStartsFromAFolderWithABlank()
{
    // The program path is passed as one argument, so a blank in the working
    // folder does not split it.
    const QString spaced = m_tmp->path() + QStringLiteral("/work folder");
    QVERIFY(QDir().mkpath(spaced + QStringLiteral("/config")));
    QVERIFY(QFile::copy(m_binDir + QStringLiteral("/usb_dl"), spaced + QStringLiteral("/config/usb_dl.exe")));
    QVERIFY(QFile::setPermissions(spaced + QStringLiteral("/config/usb_dl.exe"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(QDir::setCurrent(spaced));
    m_process->setWorkingDirectory(spaced + QStringLiteral("/config/"));
    setScenario("ok");
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QStringLiteral("Download completed!")}, 20000);
    QVERIFY(QFileInfo::exists(spaced + QStringLiteral("/log_singel.txt")));
}

void TstSingleRun::stagingFolderBlockedHaltsTheRun()
{
    installSimulatedTool();
    chooseDescription();
    QVERIFY(writeFile(m_stagingDir, "a file in the way"));
    m_status->setPlainText(QStringLiteral("before"));
    m_run->pyDownload();
    QVERIFY(m_boxes->boxes.isEmpty());
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QVERIFY(!QFileInfo::exists(QStringLiteral("bench/calls.log")));
    QCOMPARE(m_status->toPlainText(), QStringLiteral("before"));
    QVERIFY(!m_download->isEnabled()); // halted in the running form
    QVERIFY(m_stop->isEnabled());
    m_run->stop();
    QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("Process Terminate!!!")});
    QVERIFY(m_download->isEnabled());
    QVERIFY(!m_stop->isEnabled());
}

void TstSingleRun::statusTextIsBoundedPerNotification()
{
    installScript("sleep 1\necho first\nsleep 1\necho second\nexec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    // Just below the bound: kept.
    m_status->setPlainText(QString(30720, QLatin1Char('x')));
    // Lines reach the view at the end of the frame they came in.
    QTRY_VERIFY_WITH_TIMEOUT(m_status->toPlainText().endsWith(QStringLiteral("first")), 10000);
    QVERIFY(toolRecords().contains(QStringLiteral("first")));
    QVERIFY(m_status->toPlainText().startsWith(QString(30720, QLatin1Char('x'))));
    // Now above it: cleared before the next notification's lines go in.
    QTRY_COMPARE_WITH_TIMEOUT(m_status->toPlainText(), QStringLiteral("second"), 10000);
}

void TstSingleRun::animationGoesOnFromTheLastFrame()
{
    installScript("exec sleep 30\n");
    chooseDescription();
    m_run->pyDownload();
    QTRY_VERIFY_WITH_TIMEOUT(m_run->animationFrame() == 3, 5000); // frames 1 and 2 shown
    m_run->stop();
    const int next = m_run->animationFrame();
    QVERIFY(next >= 1 && next <= 4);

    m_run->pyDownload();
    const int after = next % 4 + 1;
    QTRY_COMPARE_WITH_TIMEOUT(m_run->animationFrame(), after, 5000);
    QVERIFY(m_label->pixmap());
    QCOMPARE(m_label->pixmap()->toImage(), QPixmap(QStringLiteral(":/img/%1.png").arg(next)).toImage());
    m_run->stop();
}

void TstSingleRun::outputDuringABoxIsHandledOnceInOrder()
{
    // The failure box stays open while the tool goes on printing; those
    // notifications re-enter the handler and must wait their turn.
    installScript("echo 'USB download failed'\n"
                  "i=1; while [ $i -le 200 ]; do echo \"line $i\"; i=$((i+1)); done\n"
                  "echo 'download complete'\nexec sleep 30\n");
    m_boxes->setDelayMs(700);
    chooseDescription();
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(
        m_boxes->texts(),
        (QStringList{QStringLiteral("USB download failed!!!"), QStringLiteral("Download completed!")}),
        15000);
    QStringList expected{QStringLiteral("USB download failed")};
    for (int i = 1; i <= 200; ++i)
        expected << QStringLiteral("line %1").arg(i);
    expected << QStringLiteral("download complete");
    QCOMPARE(toolRecords(), expected);
    // Shown in the same order, after the failure's dashed line.
    const QString text = m_status->toPlainText();
    const int dashes = text.indexOf(QStringLiteral("Process Terminate!!!"));
    QVERIFY(dashes > 0);
    QVERIFY(text.indexOf(QStringLiteral("line 1line 2line 3")) > dashes);
    QVERIFY(text.indexOf(QStringLiteral("line 199line 200download complete")) > dashes);
}

void TstSingleRun::misbehavingToolsLeaveTheRunUsable_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("finalBox"); // empty: none expected
    QTest::addColumn<int>("minRecords");
    QTest::newRow("crash") << "crash" << QString() << 12;
    QTest::newRow("flood") << "flood"
                           << "Download completed!" << 100001;
    QTest::newRow("garbage") << "garbage"
                             << "Download completed!" << 60;
}

void TstSingleRun::misbehavingToolsLeaveTheRunUsable()
{
    QFETCH(QString, scenario);
    QFETCH(QString, finalBox);
    QFETCH(int, minRecords);
    installSimulatedTool();
    setScenario(qPrintable(scenario));
    chooseDescription();
    m_run->pyDownload();
    if (finalBox.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_process->state(), QProcess::NotRunning, 20000);
        QTest::qWait(100);
        QVERIFY(m_boxes->boxes.isEmpty());
        QVERIFY(!m_download->isEnabled()); // nothing recognised: the running form stays until Stop
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{finalBox}, 120000);
        QCOMPARE(m_bar->value(), 100);
    }
    QVERIFY2(toolRecords().size() >= minRecords, qPrintable(QString::number(toolRecords().size())));
    QVERIFY(m_status->document()->characterCount() < 30720 + 4 * 1024 * 1024);

    // Still usable: Stop and a normal run afterwards.
    m_run->stop();
    setScenario("ok");
    m_run->pyDownload();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts().last(), QStringLiteral("Download completed!"), 20000);
}

QTEST_MAIN(TstSingleRun)
#include "tst_single_run.moc"
