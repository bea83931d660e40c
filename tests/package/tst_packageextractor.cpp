#include "package/packageextractor.h"
#include "zipmaker.h"

#include <QLockFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace ZipMaker;
using Files = QMap<QString, QByteArray>;

namespace {

std::mutex logMutex;
QStringList logLines;

const QString kStamp = QString::fromLatin1(kPackageStampName);

} // namespace

// Unpacking packages into a folder beside them: layouts, unsafe entries, failures that leave
// nothing behind, and a package that changes meanwhile.
class tst_PackageExtractor : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_pkgDir; // holds the package and the unpack folder
    QString m_zip;
    QString m_dest;

    QStringList leftovers() const // beside the package
    {
        QStringList names =
            QDir(m_pkgDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("images.zip"));
        return names;
    }
    UnpackResult unpack(UnpackProgress *progress = nullptr, int workers = 0)
    {
        logLines.clear();
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
            std::lock_guard<std::mutex> lock(logMutex);
            logLines.append(message);
        });
        UnpackOptions options;
        options.workers = workers;
        const UnpackResult r = unpackPackage(m_zip, m_dest, progress, options);
        qInstallMessageHandler(nullptr);
        return r;
    }
    // What is below the destination but the stamp: the paths (folders with a trailing slash), and the
    // files' contents joined in that order.
    QPair<QString, QByteArray> layout() const
    {
        QStringList paths;
        QByteArray data;
        Files all = tree(m_dest);
        all.remove(kStamp);
        for (auto it = all.cbegin(); it != all.cend(); ++it) {
            paths << it.key() + QLatin1String(it.value() == "folder" ? "/" : "");
            data += it.value() == "folder" ? QByteArray() : it.value();
        }
        return {paths.join(QLatin1Char(' ')), data};
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_pkgDir = m_tmp->path() + QStringLiteral("/pkg");
        QVERIFY(QDir().mkpath(m_pkgDir));
        m_zip = m_pkgDir + QStringLiteral("/images.zip");
        m_dest = m_pkgDir + QStringLiteral("/QuorBurnImage");
    }

    // Packages unpacked twice (the second replaces the first): layouts, names made on Windows, many files.
    // Unsafe names and links are skipped with a message each; the rest is unpacked, nothing lands elsewhere.
    void unpacksLayouts_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<QString>("paths");
        QTest::addColumn<QByteArray>("data"); // the files' contents in the order of their paths
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("skipped"); // entries skipped with a message each
        const QByteArray boot = text(5000, 1), rootfs = noise(300000, 2);
        QVERIFY(zipBytes({zipFile("small", "s")}, "zip:zip64").contains("PK\x06\x06"));
        QTest::newRow("nested folders, zip64")
            << zipBytes({zipFile("a/b/c/boot.img", boot), zipFile("top.bin", rootfs), zipFolder("a/"),
                         zipFolder("a/b/"), zipFolder("a/b/c/"), zipFolder("empty/inner/")},
                        "zip:zip64")
            << "a/ a/b/ a/b/c/ a/b/c/boot.img empty/ empty/inner/ top.bin" << boot + rootfs << 1 << 0;
        // Host 0 (DOS): a folder marked only by its attribute, one only by its slash, backslashes as
        // separators, a read-only file (the second unpack must still replace it); a flagged UTF-8 name, and
        // one without the flag: Linux takes valid UTF-8 as it is, Windows reads it in its OEM code page as
        // its own zip folders do (437 under wine, where 0x81 is ü).
#ifdef Q_OS_WIN
        const QByteArray unflagged("\x81.bin");
#else
        const QByteArray unflagged("ü.bin");
#endif
        QTest::newRow("made on Windows")
            << raw({{"Images", {}, 0, 0x10},
                    {unflagged, "u", 0, 0x20},
                    {"Images/system.img", "sys", 0, 0x20},
                    {"Cfg/", {}},
                    {"Cfg/board.ini", "ini", 0, 0x21},
                    {"Cfg\\sub\\dtb.img", "dtb", 0, 0x20},
                    {QStringLiteral("固件/größe ñ.img").toUtf8(), "flagged", 3, 0100644u << 16, true}})
            << QStringLiteral(
                   "Cfg/ Cfg/board.ini Cfg/sub/ Cfg/sub/dtb.img Images/ Images/system.img ü.bin 固件/ "
                   "固件/größe ñ.img")
            << QByteArray("inidtbsysuflagged") << 0 << 0;
        QList<Item> items{zipFile("d/dup.img", "first")};
        QMap<QString, QByteArray> expected{{QStringLiteral("d/dup.img"), "last"}};
        for (int i = 10; i < 40; ++i) {
            items << zipFile("d/f" + QByteArray::number(i), i % 2 ? noise(i * 20000, i) : text(i * 30000, i));
            expected.insert(QString::fromUtf8(items.last().name), items.last().data);
        }
        items << zipFile("d/dup.img", "last"); // a later entry of the same path replaces the earlier
        QTest::newRow("many files, two workers")
            << zipBytes(items) << "d/ " + QStringList(expected.keys()).join(QLatin1Char(' '))
            << expected.values().join() << 2 << 0;
        for (const char *name : {"../evil.img", "a/../../evil.img", "/tmp/evil.img", "c:evil.img",
                                 "..\\evil.img", "C:\\evil.img"})
            QTest::newRow(name) << raw({rawFile(name, "evil"), rawFile("good.img", "good")}) << "good.img"
                                << QByteArray("good") << 0 << 1;
        QTest::newRow("links") << zipBytes({zipLink("escape", ".."), zipFile("escape/payload.img", "data"),
                                            zipLink("up", "../.."), zipFile("kept.img", "kept")})
                               << "escape/ escape/payload.img kept.img" << QByteArray("datakept") << 0 << 2;
        QTest::newRow("stamp name") << zipBytes({zipFile(kPackageStampName, "format=1\nforged\n"),
                                                 zipFile("sub/" + QByteArray(kPackageStampName), "inner")})
                                    << "sub/ sub/" + kStamp << QByteArray("inner") << 0 << 1;
    }
    void unpacksLayouts()
    {
        QFETCH(QByteArray, package);
        QFETCH(QString, paths);
        QFETCH(QByteArray, data);
        QFETCH(int, workers);
        QFETCH(int, skipped);
        QVERIFY(saveFile(m_zip, package));
        for (int pass = 0; pass < 2; ++pass) {
            UnpackProgress progress;
            const UnpackResult r = unpack(&progress, workers);
            QVERIFY2(r.ok && r.messages.size() == skipped, qPrintable(r.messages.join(QLatin1Char('\n'))));
            QCOMPARE(progress.bytesTotal.load(), qint64(data.size()));
            QCOMPARE(progress.bytesDone.load(), qint64(data.size()));
            QCOMPARE(r.bytesWritten, qint64(data.size()));
        }
        QCOMPARE(layout().first, paths);
        QVERIFY(layout().second == data);
        QCOMPARE(checkStamp(m_zip, m_dest), StampCheck::Matches); // the package's own stamp
        QCOMPARE(leftovers(), QStringList{QStringLiteral("QuorBurnImage")});
        QVERIFY(fileContent(QStringLiteral("/tmp/evil.img")) != "evil");
        QCOMPARE(logLines.value(0), m_zip + QStringLiteral("!!!!!!!!!!!!!!"));
        QCOMPARE(logLines.value(1), m_dest + QStringLiteral("!!!!!!!!!!!!!!"));
        QVERIFY(!logLines.filter(QStringLiteral("Unzip file: ") + m_dest + QLatin1Char('/')).isEmpty());
        QCOMPARE(logLines.last(), QString());
    }

    // A failure leaves nothing beside the package (no folder, no half-written file), and an earlier
    // folder exactly as it was. The row's name says what else is prepared.
    void failuresLeaveNothing_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<QString>("expected"); // in the one message | a log line
        const QByteArray good = raw({rawFile("a/ok.img", "fine"), rawFile("b/bad.img", noise(5000, 9))});
        QTest::newRow("crc") << raw({rawFile("a/ok.img", "fine"), rawFile("b/bad.img", noise(5000, 9), true)})
                             << QStringLiteral("CRC");
        QTest::newRow("truncated end") << good.left(good.size() - 30) << QStringLiteral("not a readable zip");
        QTest::newRow("a file and a folder of one name")
            << zipBytes({zipFile("a", "file"), zipFile("a/b.img", "under a file")})
            << QStringLiteral("Cannot create a");
        QTest::newRow("cancelled, earlier folder") << good << QStringLiteral("Unpacking was cancelled.");
        QTest::newRow("no package") << good << QStringLiteral("Image package not found|ZIP file not found!");
        QTest::newRow("parent is a file")
            << good << QStringLiteral("Cannot create the unpack folder|Destination folder not found!");
        const RawItem huge{"huge", "x", 3, 0100644u << 16, false, false, 0x7fffffffffffff00ull};
        QTest::newRow("larger than free space") << raw({huge}) << QStringLiteral("free space");
        // Their sum must not wrap round to a small total.
        QTest::newRow("zip64 sum beyond range")
            << raw({huge, RawItem{"h2", "x", 3, 0100644u << 16, false, false, huge.zip64Size}})
            << QStringLiteral("free space");
#ifdef Q_OS_UNIX // a file-size limit (1 MiB) stands in for a full disk; one image is larger
        QTest::newRow("disk full") << zipBytes({zipFile("a/small.img", "fits"),
                                                zipFile("a/large.img", noise(3 << 20, 4)),
                                                zipFile("b/other.img", text(900000, 5))})
                                   << QStringLiteral("large");
#endif
    }
    void failuresLeaveNothing()
    {
        QFETCH(QByteArray, package);
        QFETCH(QString, expected);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        Files before;
        if (row.endsWith(QLatin1String("earlier folder"))) {
            QVERIFY(writeZip(m_zip, {zipFile("old.img", noise(3 << 20, 1)), zipFolder("empty/")}));
            QVERIFY(unpack().ok);
            before = tree(m_dest);
        }
        QVERIFY(row == QLatin1String("no package") || saveFile(m_zip, package));
        if (row == QLatin1String("parent is a file")) {
            QVERIFY(saveFile(m_tmp->path() + QStringLiteral("/plain"), "x"));
            m_dest = m_tmp->path() + QStringLiteral("/plain/QuorBurnImage");
        }
        UnpackProgress progress;
        progress.cancel = row.startsWith(QLatin1String("cancelled"));
#ifdef Q_OS_UNIX
        rlimit old{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit limit{1 << 20, old.rlim_max};
        QVERIFY(row != QLatin1String("disk full") || ::setrlimit(RLIMIT_FSIZE, &limit) == 0);
#endif
        const UnpackResult r = unpack(&progress, 2);
#ifdef Q_OS_UNIX
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &old) == 0);
#endif
        QVERIFY(!r.ok);
        QCOMPARE(r.messages.size(), 1);
        QVERIFY2(r.messages.first().contains(expected.section(QLatin1Char('|'), 0, 0), Qt::CaseInsensitive),
                 qPrintable(r.messages.first()));
        QCOMPARE(tree(m_dest), before);
        QCOMPARE(leftovers(),
                 before.isEmpty() ? QStringList() : QStringList{QStringLiteral("QuorBurnImage")});
        if (row.startsWith(QLatin1String("zip64")))
            QCOMPARE(progress.bytesTotal.load(), std::numeric_limits<qint64>::max());
        if (expected == QLatin1String("free space"))
            QCOMPARE(r.bytesWritten, qint64(0));
        QVERIFY(expected.section(QLatin1Char('|'), 1).isEmpty() ||
                logLines.contains(expected.section(QLatin1Char('|'), 1)));
    }

    // Hidden unpack folders a killed program left (gigabytes, perhaps) go at the next unpack;
    // one that a live program is still filling stays, whoever sweeps.
    void staleUnpackFoldersAreSwept()
    {
        const QString prefix = m_pkgDir + QStringLiteral("/.QuorBurnImage.unpack-");
        // A lock file as a program that died left it: this system's own format, with a pid no process has
        // (beyond the largest pid Linux gives, and no multiple of four as Windows' are).
        QByteArray deadLock;
        {
            QLockFile probe(prefix + QStringLiteral("probe.lock"));
            QVERIFY(probe.tryLock(0));
            deadLock = fileContent(prefix + QStringLiteral("probe.lock"));
        }
        QVERIFY(deadLock.contains('\n'));
        deadLock = "2147483647" + deadLock.mid(deadLock.indexOf('\n'));
        for (const char *name : {"killed", "deadowner", "live"}) {
            QVERIFY(QDir().mkpath(prefix + QLatin1String(name) + QStringLiteral("/sub")));
            QVERIFY(saveFile(prefix + QLatin1String(name) + QStringLiteral("/sub/rootfs.img"), "old"));
        }
        QVERIFY(saveFile(prefix + QStringLiteral("deadowner.lock"), deadLock));
        QVERIFY(saveFile(prefix + QStringLiteral("orphan.lock"), deadLock));
        auto live = std::make_unique<QLockFile>(prefix + QStringLiteral("live.lock"));
        QVERIFY(live->tryLock(0));
        QVERIFY(writeZip(m_zip, {zipFile("boot.img", "boot")}));
        QVERIFY(unpack().ok);
        const QStringList kept{".QuorBurnImage.unpack-live", ".QuorBurnImage.unpack-live.lock",
                               "QuorBurnImage"};
        QVERIFY2(leftovers() == kept, qPrintable(leftovers().join(QLatin1Char(' '))));
        live.reset(); // its owner is done with it: the next unpack takes it away
        QVERIFY(unpack().ok);
        QCOMPARE(leftovers(), QStringList{QStringLiteral("QuorBurnImage")});
    }

    // A package touched while its images are written (a copy still arriving, a new export; its size stays)
    // may have given images of each version, so the check after the unpack keeps nothing.
    void packageTouchedWhileUnpacking()
    {
        QList<Item> items;
        for (int i = 0; i < 8; ++i)
            items << zipFile(QStringLiteral("part%1.img").arg(i).toUtf8(), text(8 << 20, i));
        QVERIFY(writeZip(m_zip, items, "zip:compression=store"));
        // A plain thread: its join is what ThreadSanitizer sees as the hand-over of the result.
        UnpackProgress progress;
        UnpackResult result;
        std::atomic<bool> done{false};
        std::thread filling([&] {
            result = unpackPackage(m_zip, m_dest, &progress);
            done = true;
        });
        while (progress.bytesDone.load() == 0 && !done.load())
            QThread::yieldCurrentThread();
        QFile zip(m_zip); // Windows may refuse to write a file that another handle reads
        // The package is checked once every byte is written: a change before that must be seen.
        const bool during =
            zip.open(QIODevice::ReadWrite) &&
            zip.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime) &&
            progress.bytesDone.load() < progress.bytesTotal.load();
        filling.join();
        if (!during)
            QSKIP("the unpack ended before the package changed");
        QVERIFY(!result.ok);
        QCOMPARE(result.messages, QStringList{QStringLiteral(
                                      "The package changed while it was unpacked; press Start again.")});
        QCOMPARE(leftovers(), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_PackageExtractor)
#include "tst_packageextractor.moc"
