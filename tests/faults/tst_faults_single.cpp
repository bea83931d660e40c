#include "faultbench.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "records/recordstore.h"
#include "tests/single_logic/nodacoverride.h"
#include "tests/single_run/scriptedprompter.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QtTest>

#include <sys/stat.h>

// Staging faults met by the single-board window's Download, with the simulated
// tool: each failed copy is reported in the view and "log_singel.txt", no half
// image is left to burn, the run goes on, the next run with room stages every
// checked row, and the runs are recorded.
class tst_FaultsSingle : public QObject
{
    Q_OBJECT
private slots:
    void stagingFails_data();
    void stagingFails();
};

void tst_FaultsSingle::stagingFails_data()
{
    QTest::addColumn<bool>("diskFull"); // b.img (3 MiB) does not fit; otherwise nothing can be written
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<QString>("notice");
    QTest::newRow("disk full") << true << QStringList{"b.img"} << "Download completed!";
    // Read-only, root's override dropped: the tool finds nothing to write and says so.
    QTest::newRow("read-only") << false << QStringList{"a.img", "b.img", "board.xml"}
                               << "USB download failed!!!";
}

void tst_FaultsSingle::stagingFails()
{
    QFETCH(bool, diskFull);
    QFETCH(QStringList, failed);
    QFETCH(QString, notice);
    WindowTestFolder folder;
    QVERIFY(QDir().mkpath(folder.file("bench")) && QDir().mkpath(folder.file("img")));
    qputenv("USB_DL_BENCH", QFile::encodeName(folder.file("bench")));
    qputenv("USB_DL_SIM_DELAY_MS", "5");
    QVERIFY(folder.installTool() && folder.writeBoardConfig("CHIPX", "OSY"));
    QVERIFY(folder.writeFile("img/board.xml", "<partitions>\n"
                                              "<partition label=\"a\" size_in_kb=\"4\" file=\"a.img\"/>\n"
                                              "<partition label=\"b\" size_in_kb=\"4\" file=\"b.img\"/>\n"
                                              "<partition label=\"c\" size_in_kb=\"4\" file=\"c.img\"/>\n"
                                              "</partitions>\n"));
    QVERIFY(folder.writeFile("img/a.img", "a") && folder.writeFile("img/b.img", QByteArray(3 << 20, 'b')) &&
            folder.writeFile("img/c.img", "c"));
    QVERIFY(runBench({"single", "ok"}));
    const QString xml = folder.file("img/board.xml");
    auto prompter = std::make_shared<ScriptedPrompter>();
    QVERIFY(QDir().mkdir(folder.file("records.sqlite"))); // records cannot be kept until it goes
    quorDownloadToolUI window(
        [xml](QWidget *, const QString &, const QString &, const QString &) { return xml; }, prompter);
    window.show();
    window.findChild<QPushButton *>("configFileButton")->click();
    for (const QPointer<QCheckBox> &box : window.state().partitionCheckBoxes)
        box->setChecked(true);
    window.state().partitionCheckBoxes.at(2)->setChecked(false); // c.img is not staged
    const QByteArray staging = QFile::encodeName(folder.file("img/downloadImageFile"));
    QVERIFY(QDir().mkpath(staging) && ::chmod(staging.constData(), diskFull ? 0755 : 0555) == 0);
    {
        Faults::FileSizeLimit limit(diskFull ? 1 << 20 : RLIM_INFINITY);
        NoDacOverride asUser;
        QVERIFY(limit.active);
        window.findChild<QPushButton *>("downloadButton")->click();
    }
    const QString status = window.findChild<QPlainTextEdit *>("statusText")->toPlainText();
    for (const QString &name : failed) {
        QVERIFY2(status.contains(name + " failed to copy, Be"), qPrintable(status));
        QVERIFY(folder.readFile("log_singel.txt").contains((name + " failed to copy, Be").toUtf8()));
    }
    QCOMPARE(QDir(staging).entryList(QDir::Files).size(), 3 - failed.size());
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, QStringList{notice}, 20000);
    QTRY_COMPARE(
        window.findChild<QLabel *>("runRecordLabel")->text().section('\n', 1),
        QStringLiteral("Records are not being kept: records.sqlite is not a regular file; 1 waiting"));
    QVERIFY(QDir().rmdir(folder.file("records.sqlite")));

    QVERIFY(::chmod(staging.constData(), 0755) == 0);
    window.findChild<QPushButton *>("downloadButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(prompter->asked, (QStringList{notice, "Download completed!"}), 20000);
    QCOMPARE(QDir(staging).entryList(QDir::Files, QDir::Name), (QStringList{"a.img", "b.img", "board.xml"}));
    QTRY_COMPARE(window.findChild<QLabel *>("runRecordLabel")->text(),
                 QStringLiteral("Last: success   Today: 2 board(s)"));
    RecordStore store(folder.file("records.sqlite"));
    QVERIFY(store.open() && store.records().size() == 2);
    const Records::BoardRecord r = store.records().last();
    const QByteArray sha =
        QCryptographicHash::hash(folder.readFile("img/board.xml"), QCryptographicHash::Sha256).toHex();
    QCOMPARE(QStringList({r.window, QString::number(r.slot), r.source, r.sha256, r.chip, r.os,
                          r.lastLine.trimmed(), Records::resultName(r.result), QString::number(r.exitCode)}),
             QStringList({"single", "1", xml, sha, "CHIPX", "OSY", "USB download complete", "success", "0"}));
}

QTEST_MAIN(tst_FaultsSingle)
#include "tst_faults_single.moc"
