#include "multi/mainwindow.h"
#include "tests/multi/windowtestenv.h"

#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

// End to end on the simulated bench: the real simulated tool as config/usb_dl.exe,
// boards plugged with usb_dl_bench, whose device events reach the window
// through the bench channel.
namespace {

QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR"));
}

bool writeZip(const QString &path, const QList<QPair<QString, QByteArray>> &files)
{
    archive *zip = archive_write_new();
    archive_write_set_format_zip(zip);
    bool ok = archive_write_open_filename(zip, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const auto &file : files) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.first.toUtf8().constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, file.second.size());
        ok = archive_write_header(zip, entry) == ARCHIVE_OK &&
             archive_write_data(zip, file.second.constData(), static_cast<size_t>(file.second.size())) ==
                 file.second.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(zip) == ARCHIVE_OK && ok;
    archive_write_free(zip);
    return ok;
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text.constData(), text.size()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList port(const char *command, int number)
{
    return {QLatin1String(command), QStringLiteral("2"), QString::number(number)};
}

} // namespace

class tst_MultiE2E : public QObject
{
    Q_OBJECT
private slots:
    void eightBoardsBurnAndTheSuccessGuardOutlivesTheBatch();
};

void tst_MultiE2E::eightBoardsBurnAndTheSuccessGuardOutlivesTheBatch()
{
    QVERIFY2(QFileInfo(binDir() + QStringLiteral("/usb_dl_bench")).isExecutable(), "usb_dl_bench not built");
    WindowTestFolder folder;
    QVERIFY(folder.isValid());
    QVERIFY(folder.writeBoardConfig(QStringLiteral("CHIPX"), QStringLiteral("OSY")));
    const QString tool = folder.file(QStringLiteral("config/usb_dl.exe"));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/usb_dl"), tool));
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("bench"))));
    qputenv("USB_DL_BENCH", folder.file(QStringLiteral("bench")).toLocal8Bit());
    qputenv("USB_DL_SIM_DELAY_MS", "40");
    const QString zip = folder.file(QStringLiteral("pkg/images.zip"));
    QVERIFY(QDir().mkpath(folder.file(QStringLiteral("pkg"))));
    QVERIFY(writeZip(zip, {{QStringLiteral("boot.img"), QByteArray(4096, 'b')},
                           {QStringLiteral("parts/rootfs.img"), QByteArray(100000, 'r')}}));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);
    const QString images = folder.file(QStringLiteral("pkg/QuorBurnImage/"));
    auto calls = [&] { return lines(folder.readFile(QStringLiteral("bench/calls.log"))); };
    auto downloadCalls = [&] { return calls().filter(QStringLiteral("-c CHIPX ")); };

    // No device source given: the window takes the bench's, as the program does.
    MainWindow window;
    window.show();
    const MultiWindowView view(&window);
    view.click("startButton");
    QCOMPARE(folder.readFile(QStringLiteral("pkg/QuorBurnImage/parts/rootfs.img")), QByteArray(100000, 'r'));
    QVERIFY2(view.status().startsWith(QStringLiteral("Package unpacked (")), qPrintable(view.status()));

    for (int n = 1; n <= 8; ++n)
        QVERIFY(runBench(port("plug", n)));
    for (int n = 1; n <= 8; ++n) {
        QTRY_VERIFY_WITH_TIMEOUT(
            view.status().contains(QStringLiteral("Board %1 download complete!\n").arg(n)), 60000);
        QTRY_COMPARE(view.bar(n)->value(), 100);
        QCOMPARE(view.title(n), QStringLiteral("Board %1->USB Port: 2,%1").arg(n));
        QCOMPARE(view.picture(n), MultiWindowView::resource(":/img/success.png"));
        QVERIFY(view.status().contains(
            QStringLiteral("Board %1 USB Port:2,%1 insert!\nBoard %1 Start Downloading  ...\n").arg(n)));
    }
    QCOMPARE(calls().first(), QStringLiteral("-r"));
    QStringList expectedCalls;
    for (int n = 1; n <= 8; ++n)
        expectedCalls << QStringLiteral("-c CHIPX -s OSY -i %1 -p 2,%2").arg(images).arg(n);
    QStringList downloads = downloadCalls();
    downloads.sort();
    QCOMPARE(downloads, expectedCalls);
    const QByteArray log = folder.readFile(QStringLiteral("log_multiplex.txt"));
    QVERIFY(log.contains("USB Port removed: 2 1 2 2 2 3 2 4 2 5 2 6 2 7 2 8 \n"));

    // Every line the tool printed is in the run log, in order, with the slot's prefix.
    QProcess replay;
    replay.setProcessChannelMode(QProcess::MergedChannels);
    replay.start(tool, {QStringLiteral("-c"), QStringLiteral("A"), QStringLiteral("-s"), QStringLiteral("B"),
                        QStringLiteral("-i"), images, QStringLiteral("-p"), QStringLiteral("2,5")});
    QVERIFY(replay.waitForFinished(30000));
    const QStringList toolLines = QString::fromUtf8(replay.readAll()).split(QStringLiteral("\r\n"));
    QVERIFY(toolLines.size() > 40);
    QStringList expected;
    for (const QString &line : toolLines.mid(0, toolLines.size() - 1))
        expected.append(QStringLiteral("[Board 5] ") + line);
    QCOMPARE(lines(log).filter(QStringLiteral("[Board 5]")), expected);

    // A second batch: the slot that completed in the first only re-arms on
    // its board's first return, and launches on the next.
    view.click("stopButton");
    view.click("startButton");
    QVERIFY(view.status().contains(QStringLiteral("Images already unpacked from this package (")));
    const int listings = calls().count(QStringLiteral("-r"));
    QVERIFY(runBench(port("unplug", 3)));
    QVERIFY(runBench(port("plug", 3)));
    QTRY_COMPARE(calls().count(QStringLiteral("-r")), listings + 2);
    QTest::qWait(200);
    QCOMPARE(downloadCalls().size(), 8);
    QCOMPARE(view.downloadCount(), 0);
    QCOMPARE(view.title(3), QStringLiteral("Board 3"));
    QVERIFY(runBench(port("unplug", 3)));
    QVERIFY(runBench(port("plug", 3)));
    QTRY_COMPARE_WITH_TIMEOUT(view.status().count(QStringLiteral("Board 3 download complete!")), 2, 60000);
    QCOMPARE(downloadCalls().size(), 9);
    QCOMPARE(view.title(3), QStringLiteral("Board 3->USB Port: 2,3"));
    view.click("stopButton");
    qunsetenv("USB_DL_BENCH");
}

QTEST_MAIN(tst_MultiE2E)
#include "tst_multi_e2e.moc"
