// The single-board window through its buttons: the description file and its
// table, and runs end to end with real child processes (the simulated tool, or
// a small script where a test needs exact output), the run log on disk, and
// real message boxes or a scripted prompter; staging faults (a full disk, a
// staging folder nothing can be written to) and the runs' records.
#include "boxanswerer.h"
#include "common/boardconfig.h"
#include "common/signing.h"
#include "minisigner.h"
#include "quorDownload/prompter.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "quorDownload/singleboardrun.h"
#include "records/recordstore.h"
#include "testfiles.h"
#include "tests/faults/faultbench.h"
#include "tests/single_logic/nodacoverride.h"
#include "windowtestenv.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTextBrowser>
#include <QtTest>

#include <sys/stat.h>

namespace {

using TestFiles::processAlive;
using TestFiles::readFile;
using TestFiles::writeFile;
using Look = Prompter::Look;

const QString kCompleted = QStringLiteral("Download completed!");
const QString kConnection =
    QStringLiteral("USB Connection Problem!!!\nCheck your USB Connect and Restart Board");
const QString kTerminated = QStringLiteral("Process Terminate!!!");
const QString kTerminateLine = QStringLiteral(
    "--------------------------------------Process Terminate!!!---------------------------------------");

// Answers the page's questions in place of message boxes and records what was asked, in order.
class ScriptedPrompter final : public Prompter
{
public:
    QStringList asked; // notice texts, and "Download Failed!" for the question (answered Ignore)
    QList<Look> looks; // one per notice
    QList<int> probed; // what probe returned at each notice
    std::function<int()> probe;
    std::function<void()> whileOpen; // runs while a notice is open
    int openMs = 0;                  // a notice stays open this long, turning the event loop as a box does

    void notice(const QString &text, Look look) override
    {
        asked << text;
        looks << look;
        probed << (probe ? probe() : 0);
        if (whileOpen)
            whileOpen();
        if (openMs > 0)
            QTest::qWait(openMs);
    }
    Choice askAfterFailedStart() override
    {
        asked << QStringLiteral("Download Failed!");
        return Choice::Ignore;
    }
};

} // namespace

class tst_SingleRun : public QObject
{
    Q_OBJECT
    std::unique_ptr<WindowTestFolder> m_folder;
    QString m_staging, m_choice;
    std::shared_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<BoxAnswerer> m_boxes;
    std::unique_ptr<quorDownloadToolUI> m_window;

    QString path(const QString &relative) const { return m_folder->file(relative); }
    // The window, with real boxes or the scripted prompter; rows a and c of a, b, c checked.
    void open(bool realBoxes, bool chooseFile = true)
    {
        auto chooser = [this](QWidget *, const QString &, const QString &, const QString &) {
            return m_choice;
        };
        m_window = realBoxes ? std::make_unique<quorDownloadToolUI>(chooser)
                             : std::make_unique<quorDownloadToolUI>(chooser, m_prompter);
        if (!chooseFile)
            return;
        browse(QStringLiteral("img/board.xml"));
        m_window->state().partitionCheckBoxes.at(1)->setChecked(false);
    }
    void browse(const QString &file)
    {
        m_choice = file.isEmpty() ? file : path(file);
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "browseConfigDir"));
    }
    QString row(int row) const // its cells, and '+' for a check box one can tick
    {
        QTableWidget *table = m_window->findChild<QTableWidget *>("myTable");
        QStringList cells;
        for (int c = 1; c < table->columnCount(); ++c)
            cells << (table->item(row, c) ? table->item(row, c)->text() : QStringLiteral("-"));
        const QPointer<QCheckBox> box = m_window->state().partitionCheckBoxes.value(row);
        const bool ticked = box && box->isEnabled() && box->isChecked() && table->cellWidget(row, 0) == box;
        return cells.join('|') + (ticked ? "+" : "");
    }
    QString scriptPath() const { return m_window->findChild<QTextBrowser *>("scriptPath")->toPlainText(); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }
    QProgressBar *bar() const { return m_window->findChild<QProgressBar *>("downloadProgressBar"); }
    QLabel *recordLabel() const { return m_window->findChild<QLabel *>("runRecordLabel"); }
    QString status() const { return m_window->findChild<QPlainTextEdit *>("statusText")->toPlainText(); }
    QProcess *process() const { return m_window ? m_window->findChild<QProcess *>() : nullptr; }
    int toolRunning() const { return process() && process()->state() != QProcess::NotRunning ? 1 : 0; }
    void download() { QVERIFY(QMetaObject::invokeMethod(m_window.get(), "pyDownload")); }
    void compareButtons(bool run)
    {
        QVERIFY(button("downloadButton")->isEnabled() != run && button("StopButton")->isEnabled() == run);
    }
    static QStringList logRecords() // the run log's records, staging lines left out
    {
        return QString::fromLocal8Bit(readFile(QStringLiteral("log_singel.txt")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
            .filter(QRegularExpression(QStringLiteral("^(?!.*( is copied successfully| deleted!)$)")));
    }

private slots:
    void init()
    {
        // The simulated tool in config/, its bench, and Board_config.ini (CHIPX, OSY).
        m_folder = std::make_unique<WindowTestFolder>();
        QVERIFY(m_folder->isValid() && !m_folder->setUpBench().isEmpty());
        qputenv("USB_DL_SIM_DELAY_MS", "5");
        QByteArray xml = "<partitions>";
        for (const QByteArray name : {"a", "b", "c"}) {
            xml += "<partition label=\"" + name + "\" file=\"" + name + ".img\"/>";
            QVERIFY(m_folder->writeFile(QStringLiteral("img/%1.img").arg(QLatin1String(name)), name));
        }
        QVERIFY(writeFile(QStringLiteral("img/board.xml"), xml + "</partitions>"));
        m_staging = path(QStringLiteral("img/downloadImageFile"));
        m_prompter = std::make_shared<ScriptedPrompter>();
        m_prompter->probe = [this] { return toolRunning(); };
        m_boxes = std::make_unique<BoxAnswerer>();
        m_boxes->probe = m_prompter->probe;
    }

    void cleanup()
    {
        const qint64 pid = process() ? process()->processId() : 0;
        m_window.reset(); // takes a running tool with it
        m_boxes.reset();
        const bool alive = processAlive(pid);
        m_folder.reset();
        QVERIFY(!alive);
    }

    void descriptionFilesFillOrKeepTheTable()
    {
        for (const auto &[name, content] :
             {std::pair{"log_singel.txt", QByteArray("old run")},
              {"config/Board_config.ini", "[chip]\nchip_type=C x\n[OS]\nOS_type=S\n"},
              {"d/part.xml",
               "<p><partition label=\"boot\" size_in_kb=\"1024\" file=\"boot.img\" type=\"emmc\"/>"
               "<partition label=\"data\" size_in_kb=\"77\" type=\"nand\"/></p>"},
              {"bad/bad.xml", "<r><partition label=\"only\" file=\"o.img\"/><partition label="},
              {"none.xml", "<r><part label=\"x\"/></r>"}})
            QVERIFY(QDir().mkpath(QFileInfo(name).path()) && writeFile(name, content));
        open(false, false);
        QVERIFY(!QFile::exists(QStringLiteral("log_singel.txt"))); // every window starts a new run log
        bar()->setValue(40);
        download(); // no file yet: a notice, the bar reset, nothing else
        QCOMPARE(m_prompter->asked, QStringList{"Please select .xml file first!"});
        QCOMPARE(bar()->value(), -1);
        compareButtons(false);
        browse(QStringLiteral("img/board.xml"));
        m_window->state().partitionCheckBoxes.at(0)->setChecked(false);
        // Fewer rows: fresh boxes, the dropped row's box goes; a row without an image cannot be ticked.
        const QPointer<QCheckBox> dropped = m_window->state().partitionCheckBoxes.at(2);
        browse(QStringLiteral("d/part.xml"));
        QCOMPARE((QStringList{row(0), row(1)}), (QStringList{"boot|boot.img|emmc|1024+", "data||nand|77"}));
        QTRY_VERIFY(dropped.isNull());
        const QString dir = m_folder->path() + QStringLiteral("/d/");
        QCOMPARE(scriptPath(), "usb_dl.exe -c C x -s S -i \"" + dir + '"');
        QCOMPARE(quorDownloadToolUI().state().downloadCommand,
                 "usb_dl.exe -c C x -s S -i \"" + dir + "downloadImageFile\"\n");
        // Malformed, missing or without partitions: the table stays, the command follows the file.
        for (const char *file : {"bad/bad.xml", "gone.xml", "none.xml"}) {
            browse(QLatin1String(file));
            QCOMPARE(row(0), QStringLiteral("boot|boot.img|emmc|1024+"));
        }
        browse(QString()); // cancelled: remembered as empty
        QCOMPARE(BoardConfig::userSettings()->value(QStringLiteral("lastPath"), "none"), QVariant(QString()));
    }

    // The tool cannot start: Ignore keeps the running form, Abort resets the bar, Retry (the
    // simulated tool now in place) stages, logs and completes.
    void runStagesLogsCompletesAndStartsAfresh()
    {
        QVERIFY(QFile::remove(path(QStringLiteral("config/usb_dl.exe"))));
        open(true);
        QList<QMessageBox::StandardButton> answers{QMessageBox::Ignore, QMessageBox::Abort,
                                                   QMessageBox::Retry};
        m_boxes->choose = [&] { // the last time: put the tool in place and retry
            if (answers.size() == 1 && !(m_folder->installTool() && runBench({"single", "ok"})))
                return QMessageBox::Abort;
            return answers.isEmpty() ? QMessageBox::NoButton : answers.takeFirst();
        };
        const QString failed = QStringLiteral("Download Failed!");
        bar()->setValue(0);
        button("downloadButton")->click(); // Ignore: the running form stays
        QCOMPARE(m_boxes->texts, QStringList{failed});
        compareButtons(true);
        download(); // Abort: the bar is reset
        QCOMPARE(m_boxes->texts.size(), 2);
        QCOMPARE(bar()->value(), -1);
        download(); // Retry with the tool now present
        compareButtons(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts, (QStringList{failed, failed, failed, kCompleted}), 20000);
        QCOMPARE(m_boxes->styleSheets.mid(2),
                 (QStringList{"QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red}",
                              "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:green;}"}));
        QCOMPARE(bar()->value(), 100);
        compareButtons(false);
        QCOMPARE(QDir(m_staging).entryList(QDir::Files, QDir::Name),
                 (QStringList{"a.img", "board.xml", "c.img"}));
        QCOMPARE(readFile(QStringLiteral("bench/calls.log")),
                 "-c CHIPX -s OSY -i " + m_staging.toUtf8() + '\n');
        // The log: after the staging lines every tool line as received (CRLF kept).
        QStringList expected;
        for (int i = 0; i < 3; ++i)
            expected << QStringLiteral("Waiting for USB device connection: ...\r");
        for (int k = 1; k <= 20; ++k)
            expected
                << QStringLiteral("break\r")
                << QStringLiteral("updated size: %1/20971520(%2%)\r").arg(20971520LL * k / 20).arg(k * 5);
        QCOMPARE(logRecords(), expected << QStringLiteral("USB download complete\r"));

        // Again: progress and the "break" flag start afresh, so the waiting
        // line is shown and the bar follows the new count. The animation runs
        // until the tool's first line, which clears its picture.
        QVERIFY(m_folder->installScript("sleep 1\necho 'Waiting for USB device connection: ...'\n"
                                        "echo 'updated size: 300/1200(25%)'\nexec sleep 30\n"));
        button("downloadButton")->click();
        auto *label = m_window->findChild<QLabel *>("label_18");
        QTRY_VERIFY_WITH_TIMEOUT(label->pixmap() && !label->pixmap()->isNull(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->value(), 25, 10000);
        QVERIFY(!label->pixmap() || label->pixmap()->isNull());
        QTRY_VERIFY(status().contains(
            QStringLiteral("Waiting for USB device connection"))); // shown at the frame's end
        // Stop, with a quiet tool so the animation runs: the tool is killed
        // before the box, and the animation halts on its frame.
        QVERIFY(m_folder->installScript("exec sleep 30\n"));
        download();
        QTRY_VERIFY_WITH_TIMEOUT(label->pixmap() && !label->pixmap()->isNull(), 5000);
        const qint64 pid = process()->processId();
        button("StopButton")->click();
        QTRY_COMPARE(m_boxes->texts.mid(3), (QStringList{kCompleted, kTerminated}));
        QCOMPARE(m_boxes->probed.last(), 0);
        QVERIFY(!processAlive(pid));
        QVERIFY(status().endsWith(kTerminateLine));
        compareButtons(false);
        const QImage frame = label->pixmap()->toImage();
        QTest::qWait(1200);
        QCOMPARE(label->pixmap()->toImage(), frame);
    }

    void toolOutput_data()
    {
        QTest::addColumn<QString>("output"); // the tool's lines, then it waits
        QTest::addColumn<QString>("notice");
        QTest::addColumn<int>("look");
        QTest::addColumn<int>("running"); // the tool still ran at the notice: 1, 0
        QTest::addColumn<int>("bar");
        QTest::addColumn<bool>("runningForm"); // the buttons afterwards
        const int wide = int(Look::Wide), plain = int(Look::Plain);
        // "Not found" is shown while the tool runs, a broken communication after the kill.
        QTest::newRow("not found") << "usb device not found" << kConnection << wide << 1 << -1 << true;
        QTest::newRow("comm failed") << "usb commuicate failed!!!" << kConnection << wide << 0 << -1 << true;
        QTest::newRow("failed") << "updated size: 300/1000(30%)\nUSB download failed"
                                << "USB download failed!!!" << plain << 1 << 30 << false;
        // Completion drops the rest of its notification and leaves the tool alone.
        QTest::newRow("complete") << "USB download complete\nextra line" << kCompleted << int(Look::Good) << 1
                                  << 100 << false;
    }
    void toolOutput()
    {
        QFETCH(QString, output);
        QFETCH(QString, notice);
        QFETCH(int, look);
        QFETCH(int, running);
        QFETCH(int, bar);
        QFETCH(bool, runningForm);
        QStringList records = output.split(QLatin1Char('\n'));
        QVERIFY(m_folder->installScript("printf '%s\\n' '" + records.join(QStringLiteral("' '")).toUtf8() +
                                        "'\nexec sleep 30\n"));
        records.removeOne(QStringLiteral("extra line"));
        open(false);
        download();
        QTRY_COMPARE_WITH_TIMEOUT(logRecords(), records, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, QStringList{notice}, 5000);
        QCOMPARE(m_prompter->probed.first(), running);
        QCOMPARE(int(m_prompter->looks.first()), look);
        QTRY_COMPARE(this->bar()->value(), bar);
        compareButtons(runningForm);
        QTRY_VERIFY(notice == kConnection || status().contains(records.last()));
        QVERIFY(!status().contains(QStringLiteral("extra line")));
        if (!runningForm) {
            QCOMPARE(process()->state(), QProcess::Running); // the tool is left alone
            QCOMPARE(status().endsWith(kTerminateLine), notice != kCompleted);
        }
    }

    // The failure notice stays open while the tool goes on printing, floods
    // and ends; those notifications re-enter the handler and must wait their
    // turn, and the record follows the completion the window shows after the
    // notice, behind the flood.
    void outputDuringANoticeIsHandledOnceInOrder()
    {
        QVERIFY(m_folder->installScript("echo 'USB download failed'\nseq -f 'line %g' 200\n"
                                        "yes . | head -n 20000\necho 'USB download complete'\n"));
        m_prompter->openMs = 700;
        open(false);
        QSignalSpy ended(m_window->findChild<SingleBoardRun *>(), &SingleBoardRun::runEnded);
        download();
        QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, (QStringList{"USB download failed!!!", kCompleted}),
                                  60000);
        QTRY_COMPARE(ended.count(), 1);
        const auto record = ended.first().first().value<Records::BoardRecord>();
        QCOMPARE(Records::resultName(record.result), QStringLiteral("success"));
        QCOMPARE(record.lastLine, QStringLiteral("USB download complete"));
        QStringList expected{"USB download failed"};
        for (int i = 1; i <= 200; ++i)
            expected << QStringLiteral("line %1").arg(i);
        for (int i = 0; i < 20000; ++i)
            expected << QStringLiteral(".");
        QCOMPARE(logRecords(), expected << "USB download complete"); // every line logged
        // Shown in the same order, after the failure's dashed line.
        QVERIFY(status().contains(kTerminateLine + "line 1line 2line 3"));
        QVERIFY(status().endsWith("line 200" + QString(20000, '.') + "USB download complete"));
    }

    void newRunDuringANoticeOnlyLogsTheOldOutput()
    {
        // A run started while the first tool's failure is shown: the first tool's
        // lines still queued are logged, never interpreted by the new run.
        QVERIFY(
            m_folder->installScript("printf 'USB download failed\\ndownload complete\\n'\nexec sleep 30\n"));
        open(false);
        m_prompter->whileOpen = [this] {
            if (m_prompter->asked.size() == 1)
                download();
        };
        download();
        QTRY_COMPARE_WITH_TIMEOUT(
            m_prompter->asked, (QStringList{"USB download failed!!!", "USB download failed!!!", kCompleted}),
            10000);
        QCOMPARE(logRecords(), (QStringList{"USB download failed", "download complete", "USB download failed",
                                            "download complete"}));
    }

    // Runs refused before the tool starts. An earlier copy of a chosen image
    // that stays in the staging folder would be burned in place of the new
    // one: the run fails. With Require=true every chosen image must be signed
    // by a trusted key (an unchosen one is not looked at). Mended, the run
    // completes, and its record names the key.
    void refusedRunsNeverStartTheTool()
    {
        const MiniSigner trusted(m_folder->path(), QStringLiteral("t")),
            other(m_folder->path(), QStringLiteral("o"));
        QVERIFY(trusted.isValid() && other.isValid());
        QVERIFY(writeFile(QStringLiteral("config/Board_config.ini"),
                          "[Signing]\nTrusted_Keys=" + trusted.publicKey() + "\nRequire=true\n"));
        QVERIFY(trusted.sign(path(QStringLiteral("img/a.img")), QStringLiteral("build 5")));
        QVERIFY(other.sign(path(QStringLiteral("img/c.img")), QStringLiteral("build 5")));
        QVERIFY(runBench({"single", "ok"}));
        QVERIFY(QDir().mkpath(m_staging + QStringLiteral("/a.img/earlier"))); // removal of a folder fails
        open(false);
        QSignalSpy ended(m_window->findChild<SingleBoardRun *>(), &SingleBoardRun::runEnded);
        download();
        QCOMPARE(m_prompter->asked,
                 QStringList{"Download did not start: an earlier image is still in the staging folder!"});
        QCOMPARE(m_prompter->looks, QList<Look>{Look::Wide});
        QVERIFY2(status().contains("a.img was not staged: an earlier copy is still in " + m_staging),
                 qPrintable(status()));
        QVERIFY(status().contains(QStringLiteral("The download did not start")));
        compareButtons(false);
        QCOMPARE(ended.count(), 1);
        const auto record = ended.first().first().value<Records::BoardRecord>();
        QCOMPARE(Records::resultName(record.result), QStringLiteral("download_failed"));
        QCOMPARE(record.exitCode, -1);
        QVERIFY(record.lastLine.startsWith(QStringLiteral("a.img was not staged")));

        QVERIFY(QDir(m_staging + QStringLiteral("/a.img")).removeRecursively());
        download();
        QVERIFY2(status().contains("a.img signed by " + trusted.keyId() +
                                   ": build 5\nc.img is signed by key " + other.keyId() +
                                   ", which is not trusted.\nDownload refused: the tool was not started."),
                 qPrintable(status()));
        QVERIFY(!QFile::exists(m_staging + "/c.img"));
        compareButtons(false);
        QTest::qWait(300);
        QVERIFY(!QFile::exists(QStringLiteral("bench/calls.log"))); // neither run started the tool

        QVERIFY(trusted.sign(path(QStringLiteral("img/c.img")), QStringLiteral("build 5")));
        download();
        QTRY_VERIFY_WITH_TIMEOUT(m_prompter->asked.contains(kCompleted), 20000);
        QCOMPARE(m_prompter->asked.mid(1), QStringList{kCompleted});
        QCOMPARE(readFile(QStringLiteral("bench/calls.log")).count('\n'), 1); // this run only
        QTRY_VERIFY(recordLabel()->text().startsWith("Last: success"));
        RecordStore store(path("records.sqlite"));
        QVERIFY(store.open() && store.records().size() == 2);
        QCOMPARE(store.records().last().signedBy, trusted.keyId());
    }

    void stagingFaults_data()
    {
        QTest::addColumn<bool>("diskFull"); // b.img (3 MiB) does not fit; otherwise nothing can be written
        QTest::addColumn<QStringList>("failed");
        QTest::addColumn<QString>("notice");
        QTest::newRow("disk full") << true << QStringList{"b.img"} << kCompleted;
        // Read-only, root's override dropped: the tool finds nothing to write and says so.
        QTest::newRow("read-only") << false << QStringList{"a.img", "b.img", "board.xml"}
                                   << "USB download failed!!!";
    }
    // Each failed copy is reported in the view and the run log, no half image
    // is left to burn, the run goes on, the next run with room stages every
    // checked row, and the runs are recorded once records.sqlite can be kept.
    void stagingFaults()
    {
        QFETCH(bool, diskFull);
        QFETCH(QStringList, failed);
        QFETCH(QString, notice);
        QVERIFY(writeFile(QStringLiteral("img/b.img"), QByteArray(3 << 20, 'b')) &&
                runBench({"single", "ok"}));
        QVERIFY(QDir().mkdir(path(QStringLiteral("records.sqlite")))); // records cannot be kept until it goes
        open(false);
        m_window->state().partitionCheckBoxes.at(1)->setChecked(true);
        m_window->state().partitionCheckBoxes.at(2)->setChecked(false); // c.img is not staged
        const QByteArray staging = QFile::encodeName(m_staging);
        QVERIFY(QDir().mkpath(m_staging) && ::chmod(staging.constData(), diskFull ? 0755 : 0555) == 0);
        {
            Faults::FileSizeLimit limit(diskFull ? 1 << 20 : RLIM_INFINITY);
            NoDacOverride asUser;
            QVERIFY(limit.active);
            download();
        }
        for (const QString &name : failed) // in the view and the run log
            QVERIFY2(status().contains(name + " failed to copy, Be") &&
                         readFile("log_singel.txt").contains((name + " failed to copy, Be").toUtf8()),
                     qPrintable(status()));
        QCOMPARE(QDir(m_staging).entryList(QDir::Files).size(), 3 - failed.size());
        QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, QStringList{notice}, 20000);
        QTRY_COMPARE(
            recordLabel()->text().section('\n', 1),
            QStringLiteral("Records are not being kept: records.sqlite is not a regular file; 1 waiting"));
        QVERIFY(QDir().rmdir(path(QStringLiteral("records.sqlite"))) &&
                ::chmod(staging.constData(), 0755) == 0);

        download();
        QTRY_COMPARE_WITH_TIMEOUT(m_prompter->asked, (QStringList{notice, kCompleted}), 20000);
        QCOMPARE(QDir(m_staging).entryList(QDir::Files, QDir::Name),
                 (QStringList{"a.img", "b.img", "board.xml"}));
        QTRY_COMPARE(recordLabel()->text(), QStringLiteral("Last: success   Today: 2 board(s)"));
        RecordStore store(path("records.sqlite"));
        QVERIFY(store.open() && store.records().size() == 2);
        const Records::BoardRecord r = store.records().last();
        QCOMPARE(
            QStringList({r.window, QString::number(r.slot), r.source, r.sha256, r.chip, r.os,
                         r.lastLine.trimmed(), Records::resultName(r.result), QString::number(r.exitCode)}),
            QStringList(
                {"single", "1", path("img/board.xml"),
                 QCryptographicHash::hash(readFile("img/board.xml"), QCryptographicHash::Sha256).toHex(),
                 "CHIPX", "OSY", "USB download complete", "success", "0"}));
    }
};

QTEST_MAIN(tst_SingleRun)
#include "tst_single_run.moc"
