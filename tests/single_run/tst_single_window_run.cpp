// The run driven through the real single-board window: its buttons, its
// partition table's check boxes and its close, with the simulated tool.
#include "quorDownload/quorDownloadToolUI.h"
#include "tests/common/testfiles.h"
#include "tests/single_run/boxanswerer.h"

#include <QCheckBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

namespace {

using TestFiles::processAlive;
using TestFiles::readFile;
using TestFiles::writeFile;

} // namespace

class tst_SingleWindowRun : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void downloadButtonStagesCheckedRowsAndCompletes();
    void closingWhileTheToolRunsLeavesNoChild();
    void stopButtonEndsAHangingTool();
    void oddFolderNameReachesTheTool();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_oldCwd;
    QString m_bin;
    std::unique_ptr<quorDownloadToolUI> m_window;
    std::unique_ptr<BoxAnswerer> m_boxes;
    QString m_xml; // what the file dialog answers

    void scenario(const char *name)
    {
        QCOMPARE(QProcess::execute(m_bin + QStringLiteral("/usb_dl_bench"),
                                   {QStringLiteral("single"), QString::fromLatin1(name)}),
                 0);
    }
    QPushButton *button(const char *name) const
    {
        return m_window->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    qint64 toolPid() const
    {
        const auto *process = m_window->findChild<QProcess *>();
        return process ? process->processId() : 0;
    }
};

void tst_SingleWindowRun::init()
{
    m_bin = qEnvironmentVariable("QUOR_BIN_DIR");
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    for (const char *dir : {"config", "bench", "settings", "img"})
        QVERIFY(QDir().mkpath(QString::fromLatin1(dir)));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       m_tmp->filePath(QStringLiteral("settings")));
    qputenv("USB_DL_BENCH", QFile::encodeName(m_tmp->filePath(QStringLiteral("bench"))));
    qputenv("USB_DL_SIM_DELAY_MS", "5");

    const QString tool = m_tmp->filePath(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(m_bin + QStringLiteral("/usb_dl"), tool));
    QVERIFY(QFile::setPermissions(tool,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(
        writeFile(QStringLiteral("config/Board_config.ini"), "[chip]\nchip_type=CHIPX\n[OS]\nOS_type=OSY\n"));
    QVERIFY(
        writeFile(QStringLiteral("img/board.xml"),
                  "<partitions>\n"
                  "<partition label=\"a\" size_in_kb=\"4\" file=\"a.img\" mountpoint=\"\" type=\"emmc\"/>\n"
                  "<partition label=\"b\" size_in_kb=\"4\" file=\"b.img\" mountpoint=\"\" type=\"emmc\"/>\n"
                  "<partition label=\"c\" size_in_kb=\"4\" file=\"c.img\" mountpoint=\"\" type=\"emmc\"/>\n"
                  "</partitions>\n"));
    for (const char *name : {"a.img", "b.img", "c.img"})
        QVERIFY(writeFile(QStringLiteral("img/") + QString::fromLatin1(name), name));

    m_xml = m_tmp->filePath(QStringLiteral("img/board.xml"));
    m_window = std::make_unique<quorDownloadToolUI>(
        [this](QWidget *, const QString &, const QString &, const QString &) { return m_xml; });
    m_boxes = std::make_unique<BoxAnswerer>();
    QPushButton *browse = button("configFileButton");
    QVERIFY(browse);
    browse->click();
    QCOMPARE(m_window->state().partitionRowCount, 3);
}

void tst_SingleWindowRun::cleanup()
{
    const qint64 pid = m_window ? toolPid() : 0;
    m_window.reset();
    QVERIFY(!processAlive(pid));
    m_boxes.reset();
    QDir::setCurrent(m_oldCwd);
    m_tmp.reset();
}

void tst_SingleWindowRun::downloadButtonStagesCheckedRowsAndCompletes()
{
    scenario("ok");
    const auto &boxes = m_window->state().partitionCheckBoxes;
    QCOMPARE(boxes.size(), 3);
    boxes.at(0)->setChecked(true);
    boxes.at(1)->setChecked(false);
    boxes.at(2)->setChecked(true);

    button("downloadButton")->click();
    QVERIFY(!button("downloadButton")->isEnabled());
    QVERIFY(button("StopButton")->isEnabled());
    const QString staging = m_tmp->filePath(QStringLiteral("img/downloadImageFile"));
    QCOMPARE(QDir(staging).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));

    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QStringLiteral("Download completed!")}, 20000);
    QCOMPARE(m_window->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"))->value(), 100);
    QVERIFY(button("downloadButton")->isEnabled());
    QVERIFY(!button("StopButton")->isEnabled());
    const QByteArray log = readFile(QStringLiteral("log_singel.txt"));
    QVERIFY(log.startsWith("a.img is copied successfully\nc.img is copied successfully\n"
                           "board.xml is copied successfully\n"));
    QVERIFY(log.contains("USB download complete\r\n"));
    const QByteArray calls = readFile(QStringLiteral("bench/calls.log"));
    QVERIFY2(calls.contains("CHIPX") && calls.contains("OSY") && calls.contains(QFile::encodeName(staging)),
             calls.constData());
}

void tst_SingleWindowRun::oddFolderNameReachesTheTool()
{
    // A description folder whose name holds a quote, blanks and non-ASCII
    // letters: the staging folder reaches the tool as one argument, exactly.
    scenario("ok");
    const QString odd = m_tmp->filePath(QStringLiteral("we\"ird \u00e4\u00f6 dir"));
    QVERIFY(QDir().mkpath(odd));
    for (const char *name : {"board.xml", "a.img", "b.img", "c.img"})
        QVERIFY(QFile::copy(m_tmp->filePath(QStringLiteral("img/")) + QLatin1String(name),
                            odd + QLatin1Char('/') + QLatin1String(name)));
    m_xml = odd + QStringLiteral("/board.xml");
    button("configFileButton")->click();
    button("downloadButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts(), QStringList{QStringLiteral("Download completed!")}, 20000);
    // The call log quotes a word with blanks and writes a quote in it as three.
    QString staging = odd + QStringLiteral("/downloadImageFile");
    staging.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    const QByteArray expected = ("-c CHIPX -s OSY -i \"" + staging + "\"\n").toUtf8();
    QCOMPARE(readFile(QStringLiteral("bench/calls.log")), expected);
}

void tst_SingleWindowRun::closingWhileTheToolRunsLeavesNoChild()
{
    scenario("hang");
    button("downloadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(readFile(QStringLiteral("log_singel.txt")).contains("Waiting for USB"), 10000);
    const qint64 pid = toolPid();
    QVERIFY(processAlive(pid));
    QVERIFY(m_window->close());
    QVERIFY(!processAlive(pid));
    QVERIFY(m_boxes->boxes.isEmpty());
}

void tst_SingleWindowRun::stopButtonEndsAHangingTool()
{
    scenario("hang");
    button("downloadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(readFile(QStringLiteral("log_singel.txt")).contains("Waiting for USB"), 10000);
    const qint64 pid = toolPid();
    button("StopButton")->click();
    QCOMPARE(m_boxes->texts(), QStringList{QStringLiteral("Process Terminate!!!")});
    QVERIFY(!processAlive(pid));
    QVERIFY(button("downloadButton")->isEnabled());
    QVERIFY(!button("StopButton")->isEnabled());
}

QTEST_MAIN(tst_SingleWindowRun)
#include "tst_single_window_run.moc"
