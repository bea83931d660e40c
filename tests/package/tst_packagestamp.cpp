#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "zipmaker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <future>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace ZipMaker;

Q_DECLARE_METATYPE(StampCheck)

namespace {

const QString kStamp = QString::fromLatin1(kPackageStampName);

bool setModifiedMs(const QString &path, qint64 ms)
{
#ifdef Q_OS_UNIX
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
#else
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC), QFileDevice::FileModificationTime);
#endif
}

QByteArray sha256Hex(const QString &path)
{
    return QCryptographicHash::hash(fileContent(path), QCryptographicHash::Sha256).toHex();
}

// Every entry below folder (hidden ones too, links not followed) with its content.
QMap<QString, QByteArray> tree(const QString &folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        entries.insert(path.mid(folder.size()), info.isSymLink() ? "link"
                                                : info.isDir()   ? "folder"
                                                                 : fileContent(path));
    }
    return entries;
}

const qint64 kTimeMs = 1612415167891; // 2021-02-04, with a millisecond part

} // namespace

// The stamp an unpack leaves in the folder, the check Start makes before it
// reuses a folder, and unpacking again over a folder from another package.
class tst_PackageStamp : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_pkgDir;
    QString m_zip;
    QString m_dest; // without a trailing slash

    QStringList besideThePackage() const
    {
        return QDir(m_pkgDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                        QDir::Name);
    }

    // Package A: a few images in folders, one large enough to be hashed in several blocks.
    bool unpackPackageA()
    {
        return writeZip(m_zip, {zipFile("a.img", noise(3 << 20, 1)), zipFile("sub/old.img", text(5000, 2)),
                                zipFolder("only-in-a/")}) &&
               setModifiedMs(m_zip, kTimeMs) && unpackPackage(m_zip, m_dest).ok;
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

    void stampRecordsPackage_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addColumn<bool>("hash");
        QTest::newRow("one worker") << 1 << true;
        QTest::newRow("not hashed") << 2 << false;
    }
    void stampRecordsPackage()
    {
        QFETCH(int, workers);
        QFETCH(bool, hash);
        QVERIFY(writeZip(m_zip, {zipFile("big.img", noise((5 << 20) + 123, 7)),
                                 zipFile("cfg/x.ini", text(900, 8)), zipFile(".hidden.img", "h")}));
        QVERIFY(setModifiedMs(m_zip, kTimeMs));
        UnpackOptions options;
        options.workers = workers;
        options.hashPackage = hash;
        const UnpackResult r = unpackPackage(m_zip, m_dest, nullptr, options);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(r.package.size, QFileInfo(m_zip).size());
        QCOMPARE(r.package.modifiedMs, kTimeMs);
        QCOMPARE(r.package.fileName, QStringLiteral("images.zip"));
        if (!hash) {
            QVERIFY(r.package.sha256Hex.isEmpty());
            QCOMPARE(checkStamp(m_zip, m_dest), StampCheck::Missing);
            return;
        }
        QCOMPARE(r.package.sha256Hex, sha256Hex(m_zip));
        QCOMPARE(r.package.shortHash(), QString::fromLatin1(sha256Hex(m_zip).left(12)));

        PackageIdentity inFile;
        QVERIFY(parseStamp(fileContent(m_dest + QLatin1Char('/') + kStamp), &inFile));
        QCOMPARE(inFile.sha256Hex, r.package.sha256Hex);
        QCOMPARE(inFile.size, r.package.size);
        QCOMPARE(inFile.modifiedMs, kTimeMs);
        QCOMPARE(inFile.fileName, QStringLiteral("images.zip"));

        PackageIdentity stamped;
        QCOMPARE(checkStamp(m_zip, m_dest + QLatin1Char('/'), &stamped), StampCheck::Matches);
        QCOMPARE(stamped.sha256Hex, r.package.sha256Hex);
    }

    void checkAfterChange_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<StampCheck>("expected");
        QTest::addColumn<bool>("stampReadable");
        QTest::newRow("nothing") << "nothing" << StampCheck::Matches << true;
        QTest::newRow("time 1 ms later") << "time+1ms" << StampCheck::Different << true;
        QTest::newRow("replaced, same time") << "replaced" << StampCheck::Different << true;
        QTest::newRow("same bytes, other name") << "other name" << StampCheck::Different << true;
        QTest::newRow("package gone") << "package gone" << StampCheck::Different << true;
        QTest::newRow("no stamp") << "no stamp" << StampCheck::Missing << false;
        QTest::newRow("no folder") << "no folder" << StampCheck::Missing << false;
        QTest::newRow("newer format") << "format 2" << StampCheck::Different << false;
        QTest::newRow("stamp too large") << "too large" << StampCheck::Different << false;
        QTest::newRow("stamp is a folder") << "stamp folder" << StampCheck::Different << false;
#ifdef Q_OS_UNIX // symbolic links; junctions: tests/win/tst_fileops_win.cpp
        QTest::newRow("stamp is a link") << "stamp link" << StampCheck::Different << false;
        QTest::newRow("folder is a link") << "folder link" << StampCheck::Different << false;
#endif
    }
    void checkAfterChange()
    {
        QFETCH(QString, change);
        QFETCH(StampCheck, expected);
        QFETCH(bool, stampReadable);
        QVERIFY(unpackPackageA());
        const QString stamp = m_dest + QLatin1Char('/') + kStamp;
        const QByteArray good = fileContent(stamp);
        QString zip = m_zip;
        QString folder = m_dest;
        if (change == QLatin1String("time+1ms")) {
            QVERIFY(setModifiedMs(m_zip, kTimeMs + 1));
        } else if (change == QLatin1String("replaced")) {
            QVERIFY(writeZip(m_zip, {zipFile("a.img", noise(3 << 20, 99))}));
            QVERIFY(setModifiedMs(m_zip, kTimeMs));
        } else if (change == QLatin1String("other name")) {
            zip = m_pkgDir + QStringLiteral("/other.zip");
            QVERIFY(QFile::copy(m_zip, zip));
            QVERIFY(setModifiedMs(zip, kTimeMs));
        } else if (change == QLatin1String("package gone")) {
            QVERIFY(QFile::remove(m_zip));
        } else if (change == QLatin1String("no stamp")) {
            QVERIFY(QFile::remove(stamp));
        } else if (change == QLatin1String("no folder")) {
            folder = m_pkgDir + QStringLiteral("/Absent");
        } else if (change == QLatin1String("format 2")) {
            QVERIFY(saveFile(stamp, QByteArray(good).replace("format=1", "format=2")));
        } else if (change == QLatin1String("too large")) {
            QVERIFY(saveFile(stamp, good + "note=" + QByteArray(5000, 'x') + '\n'));
        } else if (change == QLatin1String("stamp link")) {
            QVERIFY(saveFile(m_tmp->path() + QStringLiteral("/copy"), good));
            QVERIFY(QFile::remove(stamp));
            QVERIFY(QFile::link(m_tmp->path() + QStringLiteral("/copy"), stamp));
        } else if (change == QLatin1String("stamp folder")) {
            QVERIFY(QFile::remove(stamp));
            QVERIFY(QDir().mkpath(stamp));
        } else if (change == QLatin1String("folder link")) {
            folder = m_pkgDir + QStringLiteral("/Linked");
            QVERIFY(QFile::link(m_dest, folder));
        }
        PackageIdentity stamped;
        QCOMPARE(checkStamp(zip, folder, &stamped), expected);
        // A readable stamp says what it holds, whatever the package is now.
        PackageIdentity inStamp;
        QVERIFY(parseStamp(good, &inStamp));
        QCOMPARE(stamped.sha256Hex, stampReadable ? inStamp.sha256Hex : QByteArray());
    }

    // The stamp text round-trips any file name in its five lines; incomplete stamps are refused.
    void stampText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("text"); // when set, a stamp that must be refused
        const QByteArray sha = "sha256=" + QByteArray(64, 'a') + '\n';
        QTest::newRow("plain") << QStringLiteral("images.zip") << QByteArray();
        QTest::newRow("line break, percent, equals") << QStringLiteral("a=b%20\nsize=1.zip") << QByteArray();
        QTest::newRow("non-ASCII and spaces") << QStringLiteral("固件 größe (v2).zip") << QByteArray();
        QTest::newRow("empty") << QString() << QByteArray("\n");
        QTest::newRow("no format") << QString() << "package=p.zip\nsize=1\nmodified-ms=2\n" + sha;
        QTest::newRow("no size") << QString() << "format=1\npackage=p.zip\nmodified-ms=2\n" + sha;
        QTest::newRow("negative size")
            << QString() << "format=1\npackage=p.zip\nsize=-1\nmodified-ms=2\n" + sha;
        QTest::newRow("no name") << QString() << "format=1\nsize=1\nmodified-ms=2\n" + sha;
        QTest::newRow("short hash") << QString()
                                    << QByteArray(
                                           "format=1\npackage=p.zip\nsize=1\nmodified-ms=2\nsha256=abc\n");
        QTest::newRow("hash not hex")
            << QString() << "format=1\npackage=p.zip\nsize=1\nmodified-ms=2\nsha256=" + QByteArray(64, 'g');
    }
    void stampText()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, text);
        PackageIdentity read;
        if (!text.isEmpty()) {
            QVERIFY(!parseStamp(text, &read));
            return;
        }
        PackageIdentity written;
        written.size = 123456789012;
        written.modifiedMs = kTimeMs;
        written.sha256Hex = QByteArray(64, 'c');
        written.fileName = name;
        const QByteArray stamp = ::stampText(written);
        QCOMPARE(stamp.count('\n'), 5); // the name cannot add lines
        QVERIFY(parseStamp(stamp, &read));
        QCOMPARE(read.fileName, name);
        QCOMPARE(read.size, written.size);
        QCOMPARE(read.modifiedMs, written.modifiedMs);
        QCOMPARE(read.sha256Hex, written.sha256Hex);
    }

#ifdef Q_OS_UNIX // FIFOs; Windows devices: tests/win/tst_fileops_win.cpp
    void specialFilesNeverBlock_data()
    {
        QTest::addColumn<bool>("stampIsFifo"); // else the package is
        QTest::newRow("stamp") << true;
        QTest::newRow("package") << false;
    }
    void specialFilesNeverBlock()
    {
        QFETCH(bool, stampIsFifo);
        QVERIFY(unpackPackageA());
        const QString fifo = stampIsFifo ? m_dest + QLatin1Char('/') + kStamp : m_zip;
        QVERIFY(QFile::remove(fifo));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        auto outcome = std::async(std::launch::async, [this, stampIsFifo] {
            return stampIsFifo ? checkStamp(m_zip, m_dest) == StampCheck::Different
                               : !unpackPackage(m_zip, m_dest).ok;
        });
        if (outcome.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // Let the blocked open return before failing.
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            outcome.wait();
            ::close(writer);
            QFAIL("blocked on a FIFO");
        }
        QVERIFY(outcome.get());
        QCOMPARE(fileContent(m_dest + QStringLiteral("/a.img")), noise(3 << 20, 1)); // the old folder stays
    }

#endif

    void failedUnpackKeepsOldFolder_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<bool>("cancel");
        const QList<RawItem> items = {{"b.img", noise(4000, 3), 3, 0100644u << 16, false, false},
                                      {"c.img", "cc", 3, 0100644u << 16, false, true}};
        QTest::newRow("bad CRC") << raw(items) << false;
        QTest::newRow("cancelled") << raw({items.first()}) << true;
    }
    void failedUnpackKeepsOldFolder()
    {
        QFETCH(QByteArray, package);
        QFETCH(bool, cancel);
        QVERIFY(unpackPackageA());
        const QMap<QString, QByteArray> before = tree(m_dest);
        QVERIFY(before.contains(QLatin1Char('/') + kStamp));

        QVERIFY(saveFile(m_zip, package));
        UnpackProgress progress;
        progress.cancel = cancel;
        const UnpackResult r = unpackPackage(m_zip, m_dest, &progress);
        QVERIFY(!r.ok);
        QCOMPARE(tree(m_dest), before);
        QCOMPARE(besideThePackage(),
                 (QStringList{QStringLiteral("QuorBurnImage"), QStringLiteral("images.zip")}));
        QCOMPARE(checkStamp(m_zip, m_dest), StampCheck::Different);
    }

    void unpackReplacesOtherPackage()
    {
        QVERIFY(unpackPackageA());
        QVERIFY(saveFile(m_dest + QStringLiteral("/sub/added-by-hand.img"), "x"));
#ifdef Q_OS_UNIX
        QVERIFY(QFile::link(m_tmp->path(), m_dest + QStringLiteral("/planted")));
#endif

        const QByteArray b = noise(2 << 20, 5);
        QVERIFY(writeZip(m_zip, {zipFile("b.img", b), zipFile("sub/new.img", "new")}));
        const UnpackResult r = unpackPackage(m_zip, m_dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QVERIFY(r.messages.isEmpty());

        QMap<QString, QByteArray> after = tree(m_dest);
        const QByteArray stamp = after.take(QLatin1Char('/') + kStamp);
        QCOMPARE(after, (QMap<QString, QByteArray>{{QStringLiteral("/b.img"), b},
                                                   {QStringLiteral("/sub"), "folder"},
                                                   {QStringLiteral("/sub/new.img"), "new"}}));
        PackageIdentity inFile;
        QVERIFY(parseStamp(stamp, &inFile));
        QCOMPARE(inFile.sha256Hex, sha256Hex(m_zip));
        QCOMPARE(checkStamp(m_zip, m_dest), StampCheck::Matches);
        QCOMPARE(besideThePackage(),
                 (QStringList{QStringLiteral("QuorBurnImage"), QStringLiteral("images.zip")}));
        // The old folder's link was removed as a link: what it pointed to is still there.
        QVERIFY(QFileInfo(m_zip).isFile());
    }

    void packageCannotPlantAStamp()
    {
        // An entry under the stamp's name is not unpacked; one in a subfolder is only an image.
        QVERIFY(writeZip(m_zip, {zipFile(kPackageStampName, "format=1\nforged\n"), zipFile("img.bin", "i"),
                                 zipFile("sub/" + QByteArray(kPackageStampName), "inner")}));
        const UnpackResult r = unpackPackage(m_zip, m_dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(r.messages.size(), 1);
        QCOMPARE(fileContent(m_dest + QStringLiteral("/sub/") + kStamp), QByteArray("inner"));
        QCOMPARE(checkStamp(m_zip, m_dest), StampCheck::Matches);
    }
};

QTEST_GUILESS_MAIN(tst_PackageStamp)
#include "tst_packagestamp.moc"
