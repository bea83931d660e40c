#include "multi/packageextractor.h"
#include "zipmaker.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <limits>
#include <mutex>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace ZipMaker;

namespace {

std::mutex logMutex;
QStringList logLines;

void captureLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.append(message);
}

// Stored one-byte entries whose zip64 fields claim `claimed` bytes each.
QByteArray zip64Claiming(int count, quint64 claimed)
{
    QByteArray body;
    QByteArray central;
    QDataStream b(&body, QIODevice::WriteOnly);
    QDataStream c(&central, QIODevice::WriteOnly);
    b.setByteOrder(QDataStream::LittleEndian);
    c.setByteOrder(QDataStream::LittleEndian);
    const quint32 crc = ZipMaker::crc32("x");
    for (int i = 0; i < count; ++i) {
        const QByteArray name = "huge" + QByteArray::number(i);
        const auto offset = static_cast<quint32>(body.size());
        b << quint32(0x04034b50) << quint16(45) << quint16(0) << quint16(0) << quint16(0) << quint16(0x21)
          << crc << quint32(1) << quint32(0xFFFFFFFFu) << quint16(name.size()) << quint16(12);
        b.writeRawData(name.constData(), name.size());
        b << quint16(1) << quint16(8) << claimed;
        b.writeRawData("x", 1);
        c << quint32(0x02014b50) << quint16(0x031e) << quint16(45) << quint16(0) << quint16(0) << quint16(0)
          << quint16(0x21) << crc << quint32(1) << quint32(0xFFFFFFFFu) << quint16(name.size()) << quint16(12)
          << quint16(0) << quint16(0) << quint16(0) << quint32(0100644u << 16) << offset;
        c.writeRawData(name.constData(), name.size());
        c << quint16(1) << quint16(8) << claimed;
    }
    const auto centralOffset = static_cast<quint32>(body.size());
    b.writeRawData(central.constData(), central.size());
    b << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(count) << quint16(count)
      << quint32(central.size()) << centralOffset << quint16(0);
    return body;
}

} // namespace

// Unpacking packages into a folder beside them: layout, names, unsafe input,
// damaged archives, write failures and progress.
class tst_PackageExtractor : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_pkgDir; // holds the package and the unpack folder
    QString m_zip;
    QString m_dest;

    // Everything in the package folder except the package itself (hidden names too).
    QStringList leftovers() const
    {
        QStringList names =
            QDir(m_pkgDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("images.zip"));
        return names;
    }
    QByteArray out(const char *relative) const { return fileContent(m_dest + QLatin1String(relative)); }
    UnpackResult unpackLogged(UnpackProgress *progress = nullptr)
    {
        logLines.clear();
        qInstallMessageHandler(captureLog);
        const UnpackResult r = unpackPackage(m_zip, m_dest, progress);
        qInstallMessageHandler(nullptr);
        return r;
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_pkgDir = m_tmp->path() + QStringLiteral("/pkg");
        QVERIFY(QDir().mkpath(m_pkgDir));
        m_zip = m_pkgDir + QStringLiteral("/images.zip");
        m_dest = m_pkgDir + QStringLiteral("/QuorBurnImage/");
    }

    void nestedFoldersAndDiagnostics()
    {
        const QByteArray boot = text(5000, 1);
        const QByteArray rootfs = noise(70000, 2);
        QVERIFY(writeZip(m_zip, {zipFile("a/b/c/boot.img", boot), zipFile("top.bin", rootfs), zipFolder("a/"),
                                 zipFolder("a/b/"), zipFolder("a/b/c/"), zipFolder("empty/inner/")}));
        const UnpackResult r = unpackLogged();
        QVERIFY2(r.ok && r.messages.isEmpty(), qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(out("a/b/c/boot.img"), boot);
        QCOMPARE(out("top.bin"), rootfs);
        QVERIFY(QFileInfo(m_dest + QStringLiteral("empty/inner")).isDir());
        QCOMPARE(r.entriesWritten, 6);
        QCOMPARE(r.bytesWritten, qint64(boot.size() + rootfs.size()));
        QCOMPARE(leftovers(), QStringList{QStringLiteral("QuorBurnImage")});

        const QString dest = QDir::cleanPath(m_dest);
        QCOMPARE(logLines.value(0), m_zip + QStringLiteral("!!!!!!!!!!!!!!"));
        QCOMPARE(logLines.value(1), m_dest + QStringLiteral("!!!!!!!!!!!!!!"));
        QVERIFY(logLines.contains(QStringLiteral("Unzip file: ") + dest + QStringLiteral("/a/b/c/boot.img")));
        QVERIFY(logLines.contains(QStringLiteral("Unzip Dir:  ") + dest + QStringLiteral("/empty/inner/")));
        QCOMPARE(logLines.last(), QString());
    }

    void windowsMadeFoldersAndNames()
    {
        // Host 0 (DOS): one folder marked only by the directory attribute, one only by its trailing slash;
        // backslashes separate folders; a read-only attribute must not make the next unpack fail.
        const QByteArray name = QStringLiteral("固件/größe ñ.img").toUtf8();
        QVERIFY(saveFile(m_zip, raw({{"Images", {}, 0, 0x10, false, false},
                                     {"Images/system.img", "sys", 0, 0x20, false, false},
                                     {"Cfg/", {}, 0, 0, false, false},
                                     {"Cfg/board.ini", "ini", 0, 0x21, false, false},
                                     {"Cfg\\sub\\dtb.img", "dtb", 0, 0x20, false, false},
                                     {name, "flagged", 3, 0100644u << 16, true, false},
                                     {"ü.bin", "unflagged", 0, 0x20, false, false}})));
        for (int pass = 0; pass < 2; ++pass) {
            const UnpackResult r = unpackPackage(m_zip, m_dest);
            QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        }
        QCOMPARE(out("Images/system.img"), QByteArray("sys"));
        QCOMPARE(out("Cfg/board.ini"), QByteArray("ini"));
        QCOMPARE(out("Cfg/sub/dtb.img"), QByteArray("dtb"));
        QCOMPARE(fileContent(m_dest + QString::fromUtf8(name)), QByteArray("flagged"));
#ifdef Q_OS_WIN
        // Without the flag, Windows reads a name in its OEM code page, as its own zip folders do.
        QCOMPARE(QDir(m_dest).entryList(QDir::Files).size(), 1);
#else
        QCOMPARE(fileContent(m_dest + QStringLiteral("ü.bin")), QByteArray("unflagged"));
#endif
    }

    void hostileEntriesSkipped_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("zip-slip") << QByteArray("../evil.img");
        QTest::newRow("inner dotdot") << QByteArray("a/../../evil.img");
        QTest::newRow("absolute") << QByteArray("/tmp/evil.img");
        QTest::newRow("drive relative") << QByteArray("c:evil.img");
        QTest::newRow("backslash dotdot") << QByteArray("..\\evil.img");
        QTest::newRow("backslash drive") << QByteArray("C:\\evil.img");
    }
    void hostileEntriesSkipped()
    {
        QFETCH(QByteArray, name);
        QVERIFY(saveFile(m_zip, raw({rawFile(name, "evil"), rawFile("good.img", "good")})));
        const UnpackResult r = unpackLogged();
        QVERIFY(r.ok);
        QCOMPARE(out("good.img"), QByteArray("good"));
        QCOMPARE(r.entriesWritten, 1);
        QCOMPARE(r.messages.size(), 1);
        QVERIFY(r.messages.first().contains(QLatin1String("evil.img")));
        QVERIFY(logLines.filter(QRegularExpression(QStringLiteral("^Skipped unsafe entry"))).size() == 1);
        // Nothing but the package and the unpack folder anywhere in the temporary tree.
        QStringList all;
        QDirIterator it(m_tmp->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            all << it.next().mid(m_tmp->path().size());
        all.sort();
        QCOMPARE(all, (QStringList{QStringLiteral("/pkg"), QStringLiteral("/pkg/QuorBurnImage"),
                                   QStringLiteral("/pkg/QuorBurnImage/") + QLatin1String(kPackageStampName),
                                   QStringLiteral("/pkg/QuorBurnImage/good.img"),
                                   QStringLiteral("/pkg/images.zip")}));
        QVERIFY(fileContent(QStringLiteral("/tmp/evil.img")) != "evil");
    }

    void linkEntriesSkipped()
    {
        const QString outside = m_tmp->path() + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(writeZip(m_zip, {zipLink("escape", outside.toUtf8()), zipFile("escape/payload.img", "data"),
                                 zipLink("up", "../.."), zipFile("kept.img", "kept")}));
        const UnpackResult r = unpackPackage(m_zip, m_dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(r.messages.size(), 2); // one per skipped link
        QVERIFY(QDir(outside).isEmpty());
        QVERIFY(!QFileInfo(m_dest + QStringLiteral("escape")).isSymLink());
        QCOMPARE(out("escape/payload.img"), QByteArray("data"));
        QVERIFY(!QFileInfo::exists(m_dest + QStringLiteral("up")));
        QCOMPARE(out("kept.img"), QByteArray("kept"));
    }

#ifdef Q_OS_UNIX // symbolic links; Windows junctions and links: tests/win/tst_fileops_win.cpp
    void linksPlantedInDestination()
    {
        // An unpack over an existing folder replaces it as a whole (nothing of the old
        // folder stays) and never writes through, or deletes through, the links found there.
        const QString outside = m_tmp->path() + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(saveFile(outside + QStringLiteral("/victim.img"), "precious"));
        QVERIFY(QDir().mkpath(m_dest));
        QVERIFY(QFile::link(outside, m_dest + QStringLiteral("sub")));
        QVERIFY(QFile::link(outside + QStringLiteral("/victim.img"), m_dest + QStringLiteral("boot.img")));
        QVERIFY(saveFile(m_dest + QStringLiteral("old.img"), "old"));
        QVERIFY(writeZip(m_zip, {zipFile("sub/victim.img", "new"), zipFile("boot.img", "boot")}));

        const UnpackResult r = unpackPackage(m_zip, m_dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(fileContent(outside + QStringLiteral("/victim.img")), QByteArray("precious"));
        QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{QStringLiteral("victim.img")});
        QCOMPARE(out("sub/victim.img"), QByteArray("new"));
        QVERIFY(!QFileInfo(m_dest + QStringLiteral("boot.img")).isSymLink());
        QCOMPARE(out("boot.img"), QByteArray("boot"));
        QVERIFY(!QFileInfo::exists(m_dest + QStringLiteral("old.img")));
        QCOMPARE(leftovers(), QStringList{QStringLiteral("QuorBurnImage")});

        // The destination itself a link: refused, nothing written through it.
        QVERIFY(QDir(m_dest).removeRecursively());
        QVERIFY(QFile::link(outside, QDir::cleanPath(m_dest)));
        QVERIFY(!unpackPackage(m_zip, m_dest).ok);
        QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{QStringLiteral("victim.img")});
    }
#endif

    // Every failure leaves nothing beside the package: no folder, no half-written file.
    void failuresLeaveNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("cancel");
        const QByteArray good = raw({rawFile("a/ok.img", "fine"), rawFile("b/bad.img", noise(5000, 9))});
        QTest::newRow("crc") << raw({rawFile("a/ok.img", "fine"), rawFile("b/bad.img", noise(5000, 9), true)})
                             << "CRC" << false;
        QTest::newRow("truncated end") << good.left(good.size() - 30) << "not a readable zip" << false;
        QTest::newRow("truncated half") << good.left(good.size() / 2) << "not a readable zip" << false;
        QTest::newRow("not a zip") << QByteArray("This is a text file.\n") << "not a readable zip" << false;
        QTest::newRow("empty file") << QByteArray() << "not a readable zip" << false;
        QTest::newRow("cancelled") << good << "Unpacking was cancelled." << true;
        QList<RawItem> many; // 400 entries of 3.75 GiB: refused before anything is written
        for (int i = 0; i < 400; ++i)
            many.append({"img" + QByteArray::number(i), "x", 3, 0100644u << 16, false, false, 0xF0000000u});
        QTest::newRow("larger than free space") << raw(many) << "free space" << false;
        // Two entries claiming almost 2^63 bytes: their sum must not wrap round to a small total.
        QTest::newRow("zip64 sum beyond range")
            << zip64Claiming(2, 0x7fffffffffffff00ull) << "free space" << false;
    }
    void failuresLeaveNothing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QFETCH(bool, cancel);
        const bool space = expected == QLatin1String("free space");
        if (QTest::currentDataTag() == QLatin1String("larger than free space") &&
            QStorageInfo(m_pkgDir).bytesAvailable() > 400LL * 0xF0000000LL)
            QSKIP("the disk has more free space than the package claims");
        QVERIFY(saveFile(m_zip, bytes));
        UnpackProgress progress;
        progress.cancel = cancel;
        const UnpackResult r = unpackPackage(m_zip, m_dest, &progress);
        QVERIFY(!r.ok);
        QCOMPARE(r.messages.size(), 1);
        QVERIFY2(r.messages.first().contains(expected, Qt::CaseInsensitive), qPrintable(r.messages.first()));
        if (space)
            QCOMPARE(r.bytesWritten, qint64(0));
        if (QTest::currentDataTag() == QLatin1String("zip64 sum beyond range"))
            QCOMPARE(progress.bytesTotal.load(), std::numeric_limits<qint64>::max());
        QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(','))));
    }

    void brokenDataOrLayoutLeavesNothing()
    {
        QVERIFY(writeZip(m_zip, {zipFile("big.img", text(400000, 3))}));
        QByteArray bytes = fileContent(m_zip);
        for (int i = 200; i < 260; ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ 0x33);
        QVERIFY(saveFile(m_zip, bytes));
        QVERIFY(!unpackPackage(m_zip, m_dest).ok);
        QVERIFY(leftovers().isEmpty());

        QVERIFY(writeZip(m_zip, {zipFile("a", "file"), zipFile("a/b.img", "under a file")}));
        QVERIFY(!unpackPackage(m_zip, m_dest).ok);
        QVERIFY(leftovers().isEmpty());

        // The destination's parent is a file: nothing can be created.
        QVERIFY(saveFile(m_pkgDir + QStringLiteral("/plain"), "x"));
        m_dest = m_pkgDir + QStringLiteral("/plain/QuorBurnImage/");
        QVERIFY(!unpackLogged().ok);
        QVERIFY(logLines.contains(QStringLiteral("Destination folder not found!")));
        QVERIFY(QFile::remove(m_pkgDir + QStringLiteral("/plain")) && QFile::remove(m_zip));
        QVERIFY(!unpackLogged().ok);
        QVERIFY(logLines.contains(QStringLiteral("ZIP file not found!")));
        QVERIFY(leftovers().isEmpty());
    }

    void zip64Archive()
    {
        const QByteArray data = noise(300000, 11);
        QVERIFY(writeZip(m_zip, {zipFolder("z/"), zipFile("z/zip64.img", data), zipFile("small", "s")},
                         "zip:zip64"));
        QVERIFY(fileContent(m_zip).contains(QByteArray("PK\x06\x06", 4))); // zip64 end of central directory
        const UnpackResult r = unpackPackage(m_zip, m_dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(out("z/zip64.img"), data);
        QCOMPARE(out("small"), QByteArray("s"));
    }

    // The package is checked again after the unpack: a package replaced or
    // touched meanwhile (a copy still arriving, an operator's new export) may
    // have given some images of each version, so nothing is kept.
    void packageChangedDuringUnpack_data()
    {
        QTest::addColumn<bool>("grow");
        QTest::newRow("same size, newer time") << false;
        QTest::newRow("grown") << true;
    }
    void packageChangedDuringUnpack()
    {
        QFETCH(bool, grow);
        QList<Item> items;
        for (int i = 0; i < 8; ++i)
            items << zipFile(QStringLiteral("part%1.img").arg(i).toUtf8(), text(8 * 1024 * 1024, i));
        QVERIFY(writeZip(m_zip, items, "zip:compression=store"));

        UnpackProgress progress;
        UnpackResult r;
        std::unique_ptr<QThread> unpack(
            QThread::create([&] { r = unpackPackage(m_zip, m_dest, &progress); }));
        unpack->start();
        while (progress.bytesDone.load() == 0 && !unpack->isFinished())
            QThread::yieldCurrentThread();
        // Windows may refuse to write a file that another handle reads.
        QFile zip(m_zip);
        const bool changed =
            grow ? zip.open(QIODevice::Append) && zip.write("x", 1) == 1
                 : zip.open(QIODevice::ReadWrite) && zip.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                                                     QFileDevice::FileModificationTime);
        zip.close();
        // The package is checked once every byte is written: a change made
        // before that must be seen.
        const bool changedInTime = progress.bytesDone.load() < progress.bytesTotal.load();
        QVERIFY(unpack->wait(60000));
        if (!changed) {
            QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
            QSKIP("the package could not be changed while it was read");
        }
        if (!changedInTime)
            QSKIP("the images were written before the package was changed");
        QCOMPARE(r.messages, QStringList{QStringLiteral(
                                 "The package changed while it was unpacked; press Start again.")});
        QCOMPARE(leftovers(), QStringList());
    }

    void parallelWorkersAndProgress_data()
    {
        QTest::addColumn<int>("workers");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
        QTest::newRow("automatic") << 0;
    }
    void parallelWorkersAndProgress()
    {
        QFETCH(int, workers);
        QList<Item> items;
        qint64 total = 0;
        for (int i = 0; i < 40; ++i) {
            const int size = (i % 7) * 150000 + i * 997;
            const QByteArray data = i % 2 ? noise(size, i) : text(size, i);
            items << zipFile(QStringLiteral("d%1/e%2/f%3.img").arg(i % 3).arg(i % 5).arg(i).toUtf8(), data);
            total += size;
        }
        items << zipFile("d0/dup.img", "first") << zipFile("d1/x.img", noise(2000000, 77))
              << zipFile("d0/dup.img", "last");
        total += 2000000 + 4; // the first "d0/dup.img" is replaced by the later one
        QVERIFY(writeZip(m_zip, items));

        UnpackProgress progress;
        UnpackOptions options;
        options.workers = workers;
        const UnpackResult r = unpackPackage(m_zip, m_dest, &progress, options);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(progress.bytesTotal.load(), total);
        QCOMPARE(progress.bytesDone.load(), total);
        QCOMPARE(r.bytesWritten, total);
        QCOMPARE(r.entriesWritten, items.size() - 1);
        for (int i = 0; i < 40; ++i)
            QCOMPARE(fileContent(m_dest + QString::fromUtf8(items.at(i).name)), items.at(i).data);
        QCOMPARE(out("d0/dup.img"), QByteArray("last"));
    }

#ifdef Q_OS_UNIX // a file-size limit stands in for a full disk
    void diskFullLeavesNothing_data()
    {
        QTest::addColumn<int>("workers");
        QTest::newRow("one worker") << 1;
        QTest::newRow("two workers") << 2;
    }
    void diskFullLeavesNothing()
    {
        // A child process whose file size limit makes every large write fail as a full disk would.
        QFETCH(int, workers);
        QVERIFY(writeZip(m_zip, {zipFile("a/small.img", "fits"), zipFile("a/large.img", noise(3 << 20, 4)),
                                 zipFile("b/other.img", text(3 << 20, 5))}));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUOR_LIMITED_UNPACK"),
                   m_zip + QLatin1Char('|') + m_dest + QLatin1Char('|') + QString::number(workers));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral("/proc/self/exe"), QStringList());
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(leftovers().isEmpty());
    }
#endif
};

#ifdef Q_OS_UNIX
// Child mode for diskFullLeavesNothing: unpack under a 1 MiB file size limit.
// Exits 0 when the unpack failed and said why, 1 when it claimed success, 2 otherwise.
static int limitedUnpack(const QString &job)
{
    const QStringList parts = job.split(QLatin1Char('|'));
    // The signal keeps its default action: unpacking must not die of it.
    const rlimit limit{1 << 20, 1 << 20};
    if (parts.size() != 3 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 2;
    UnpackOptions options;
    options.workers = parts.at(2).toInt();
    const UnpackResult r = unpackPackage(parts.at(0), parts.at(1), nullptr, options);
    if (r.ok)
        return 1;
    return r.messages.join(QLatin1Char(' ')).contains(QLatin1String("large")) ? 0 : 2;
}
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    const QString job = qEnvironmentVariable("QUOR_LIMITED_UNPACK");
    if (!job.isEmpty())
        return limitedUnpack(job);
#endif
    tst_PackageExtractor test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_packageextractor.moc"
