// The single-board window records its runs: result, exit code, description
// and its hash, and shows the last result and the day's count.
#include "quorDownload/quorDownloadToolUI.h"
#include "records/recordstore.h"
#include "tests/common/testfiles.h"
#include "tests/single_run/boxanswerer.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(Records::Result)

class tst_RecordsSingle : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void runIsRecorded_data();
    void runIsRecorded();

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString oldCwd;
    QString bin;
    std::unique_ptr<quorDownloadToolUI> window;
    std::unique_ptr<BoxAnswerer> boxes;
};

void tst_RecordsSingle::init()
{
    bin = qEnvironmentVariable("QUOR_BIN_DIR");
    tmp = std::make_unique<QTemporaryDir>();
    oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp->path()));
    for (const char *dir : {"config", "bench", "settings", "img"})
        QVERIFY(QDir().mkpath(QString::fromLatin1(dir)));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       tmp->filePath(QStringLiteral("settings")));
    qputenv("USB_DL_BENCH", QFile::encodeName(tmp->filePath(QStringLiteral("bench"))));
    qputenv("USB_DL_SIM_DELAY_MS", "5");
    const QString tool = tmp->filePath(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(bin + QStringLiteral("/usb_dl"), tool));
    QVERIFY(QFile::setPermissions(tool,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(TestFiles::writeFile(QStringLiteral("config/Board_config.ini"),
                                 "[chip]\nchip_type=CHIPX\n[OS]\nOS_type=OSY\n"));
    QVERIFY(TestFiles::writeFile(QStringLiteral("img/board.xml"),
                                 "<partitions>\n<partition label=\"a\" size_in_kb=\"4\" file=\"a.img\" "
                                 "mountpoint=\"\" type=\"emmc\"/>\n"
                                 "</partitions>\n"));
    QVERIFY(TestFiles::writeFile(QStringLiteral("img/a.img"), "a"));
    const QString xml = tmp->filePath(QStringLiteral("img/board.xml"));
    window = std::make_unique<quorDownloadToolUI>(
        [xml](QWidget *, const QString &, const QString &, const QString &) { return xml; });
    boxes = std::make_unique<BoxAnswerer>();
    window->findChild<QPushButton *>(QStringLiteral("configFileButton"))->click();
    window->state().partitionCheckBoxes.at(0)->setChecked(true);
}

void tst_RecordsSingle::cleanup()
{
    window.reset();
    boxes.reset();
    QDir::setCurrent(oldCwd);
    tmp.reset();
}

void tst_RecordsSingle::runIsRecorded_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("pressStop");
    QTest::addColumn<Records::Result>("result");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("ok") << "ok" << false << Records::Result::Success << 0 << "USB download complete";
    QTest::newRow("dlfail") << "dlfail" << false << Records::Result::DownloadFailed << 1
                            << "USB download failed";
    QTest::newRow("hang, stopped") << "hang" << true << Records::Result::Stopped << -1
                                   << "Waiting for USB device connection";
}

void tst_RecordsSingle::runIsRecorded()
{
    QFETCH(QString, scenario);
    QFETCH(bool, pressStop);
    QFETCH(Records::Result, result);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    QCOMPARE(QProcess::execute(bin + QStringLiteral("/usb_dl_bench"), {QStringLiteral("single"), scenario}),
             0);

    auto *label = window->findChild<QLabel *>(QStringLiteral("runRecordLabel"));
    QTRY_COMPARE(label->text(), QStringLiteral("Today: 0 board(s)"));
    window->findChild<QPushButton *>(QStringLiteral("downloadButton"))->click();
    if (pressStop) {
        QTest::qWait(300);
        window->findChild<QPushButton *>(QStringLiteral("StopButton"))->click();
    }
    QTRY_COMPARE_WITH_TIMEOUT(label->text(),
                              QStringLiteral("Last: %1   Today: 1 board(s)").arg(Records::resultName(result)),
                              20000);

    RecordStore store(tmp->filePath(QStringLiteral("records.sqlite")));
    QVERIFY(store.open());
    const QVector<Records::BoardRecord> all = store.records();
    QCOMPARE(all.size(), 1);
    const Records::BoardRecord &r = all.first();
    QCOMPARE(r.window, QStringLiteral("single"));
    QCOMPARE(r.slot, 1);
    QCOMPARE(r.result, result);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.lastLine.startsWith(lastLine), qPrintable(r.lastLine));
    QCOMPARE(r.source, tmp->filePath(QStringLiteral("img/board.xml")));
    QCOMPARE(
        r.sha256,
        QString::fromLatin1(
            QCryptographicHash::hash(TestFiles::readFile(r.source), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(r.chip, QStringLiteral("CHIPX"));
    QCOMPARE(r.os, QStringLiteral("OSY"));
    QVERIFY(r.durationMs > 0);
}

QTEST_MAIN(tst_RecordsSingle)
#include "tst_records_single.moc"
