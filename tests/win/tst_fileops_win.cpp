// File work on Windows, under wine: devices and folders that are no files, the staging
// copy (exclusive, single-component names, long paths), entry removal, listing order,
// a full disk and the package unpacker's names and aside rename.

#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "platform/filecopy.h"
#include "platform/fileops.h"
#include "zipmaker.h"

#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>

using namespace ZipMaker;

namespace {

const auto kWritable = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

DWORD attributes(const QString &path)
{
    const QString native =
        QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return ::GetFileAttributesW(native.toStdWString().c_str());
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class tst_FileOpsWin : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString work;

    QString at(const QString &name) const { return work + QLatin1Char('/') + name; }
    // A folder whose full path is past MAX_PATH (260).
    QString deepFolder() const
    {
        QString path = at(QStringLiteral("deep"));
        while (path.size() < 300)
            path += QStringLiteral("/a-rather-long-folder-name");
        return QDir().mkpath(path) ? path : QString();
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        work = tmp->path();
        QVERIFY(saveFile(at(QStringLiteral("plain.img")), "image"));
    }

    // Devices, folders and missing names are no regular files: not opened, not copied.
    void onlyRegularFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("regular");
        QTest::newRow("plain file") << QStringLiteral("plain.img") << true;
        QTest::newRow("device NUL") << QStringLiteral("\\\\.\\NUL") << false;
        QTest::newRow("device CON") << QStringLiteral("//./CON") << false;
        QTest::newRow("folder") << QString() << false;
        QTest::newRow("missing") << QStringLiteral("missing.img") << false;
    }
    void onlyRegularFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, regular);
        if (!path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1Char('\\')))
            path = at(path);
        QCOMPARE(FileOps::isRegularFile(path), regular);
        QFile file;
        QString error;
        QCOMPARE(FileOps::openRegularFile(file, path, QIODevice::ReadOnly, &error), regular);
        if (regular)
            QCOMPARE(file.readAll(), QByteArray("image"));
        else
            QVERIFY(!error.isEmpty() && !file.isOpen());
        QVERIFY(QDir().mkpath(at(QStringLiteral("staging"))));
        QCOMPARE(FileCopy::copyFileInto(path, at(QStringLiteral("staging")), QStringLiteral("copy.img"),
                                        &error, kWritable),
                 regular);
        QCOMPARE(entries(at(QStringLiteral("staging"))).size(), regular ? 1 : 0);
    }

    // Into a folder past MAX_PATH, from a read-only source: a writable copy, only under a
    // name that is one component and no device, and never over an existing file.
    void stagingCopy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("ok");
        QTest::newRow("non-ASCII") << QStringLiteral("Ядро-ä.img") << true;
        QTest::newRow("parent") << QStringLiteral("..\\escape.img") << false;
        QTest::newRow("subfolder") << QStringLiteral("sub/escape.img") << false;
        QTest::newRow("stream") << QStringLiteral("a.img:stream") << false;
        QTest::newRow("device with extension") << QStringLiteral("nul.img") << false;
        QTest::newRow("numbered device") << QStringLiteral("COM1") << false;
        QTest::newRow("trailing dot") << QStringLiteral("boot.img.") << false;
    }
    void stagingCopy()
    {
        QFETCH(QString, name);
        QFETCH(bool, ok);
        const QString deep = deepFolder();
        QVERIFY(QFile::setPermissions(at(QStringLiteral("plain.img")), QFileDevice::ReadOwner));
        QString error;
        QCOMPARE(FileCopy::copyFileInto(at(QStringLiteral("plain.img")), deep, name, &error, kWritable), ok);
        QCOMPARE(entries(deep), ok ? QStringList{name} : QStringList());
        QCOMPARE(entries(work), (QStringList{QStringLiteral("deep"), QStringLiteral("plain.img")}));
        if (!ok)
            return;
        const QString copy = deep + QLatin1Char('/') + name;
        QVERIFY(QFileInfo(copy).isWritable());
        QVERIFY(saveFile(at(QStringLiteral("other.img")), "other"));
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("other.img")), deep, name, &error, kWritable));
        QCOMPARE(error, QStringLiteral("Destination file exists"));
        QVERIFY(!FileCopy::copyFile(at(QStringLiteral("other.img")), copy, &error, kWritable));
        QCOMPARE(fileContent(copy), QByteArray("image"));
    }

    // A read-only file goes; one whose other hard link lies outside stays, read-only; a folder
    // and a name that is no single component are refused.
    void removingEntries()
    {
        QString reason;
        QVERIFY(QFile::setPermissions(at(QStringLiteral("plain.img")), QFileDevice::ReadOwner));
        QVERIFY2(FileOps::removeFolderEntry(work, QStringLiteral("plain.img"), &reason), qPrintable(reason));
        QVERIFY(QDir().mkpath(at(QStringLiteral("folder/sub"))));
        QVERIFY(saveFile(at(QStringLiteral("outside.img")), "s"));
        QVERIFY(QFile::setPermissions(at(QStringLiteral("outside.img")), QFileDevice::ReadOwner));
        QVERIFY(::CreateHardLinkW(at(QStringLiteral("folder/linked.img")).toStdWString().c_str(),
                                  at(QStringLiteral("outside.img")).toStdWString().c_str(), nullptr));
        const QString folder = at(QStringLiteral("folder"));
        for (const char *name : {"linked.img", "sub", "..\\outside.img"})
            QVERIFY2(!FileOps::removeFolderEntry(folder, QLatin1String(name), &reason), name);
        QCOMPARE(entries(folder), (QStringList{QStringLiteral("linked.img"), QStringLiteral("sub")}));
        QCOMPARE(entries(work), (QStringList{QStringLiteral("folder"), QStringLiteral("outside.img")}));
        QVERIFY(!QFileInfo(at(QStringLiteral("outside.img"))).isWritable());
    }

    // By name regardless of case, with each entry's kind and a file's size.
    void listingOrder()
    {
        for (const char *name : {"d.img", "B.img", "a.img", "C.img"})
            QVERIFY(saveFile(at(QLatin1String(name)), "12345"));
        QVERIFY(QDir().mkpath(at(QStringLiteral("Folder"))));
        QStringList names;
        for (const FileOps::FolderEntry &e : FileOps::listFolder(work)) {
            names << e.name;
            QCOMPARE(e.isDir, e.name == QLatin1String("Folder"));
            QVERIFY(e.isFile != e.isDir && !e.isLink && (e.isDir || e.size == 5));
        }
        QCOMPARE(names.join(QLatin1Char(' ')), QStringLiteral("a.img B.img C.img d.img Folder plain.img"));
    }

    // QUOR_SMALL_DISK: an empty folder on a 1 MiB file system (test-windows.sh mounts one).
    // The unpack is refused before it writes; a copy that runs out of space leaves nothing.
    void fullDisk()
    {
        const QString disk = qEnvironmentVariable("QUOR_SMALL_DISK");
        if (disk.isEmpty())
            QSKIP("QUOR_SMALL_DISK names no small file system here");
        const QByteArray big(2 << 20, 'x');
        QVERIFY(writeZip(at(QStringLiteral("big.zip")), {zipFile("rootfs.img", big)}));
        const UnpackResult r =
            unpackPackage(at(QStringLiteral("big.zip")), disk + QStringLiteral("/QuorBurnImage"));
        QVERIFY(!r.ok && r.messages.value(0).contains(QLatin1String("free space")));
        QVERIFY(saveFile(at(QStringLiteral("big.img")), big));
        QString error;
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("big.img")), disk, QStringLiteral("big.img"),
                                        &error, kWritable));
        QVERIFY(!error.isEmpty());
        QCOMPARE(entries(disk), QStringList());
    }

    // Entry names that would leave the folder or that Windows reads as something else never
    // write outside it: skipped, or the unpack fails and leaves nothing.
    void hostileNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("backslash parent") << QByteArray("..\\..\\victim.img");
        QTest::newRow("drive") << QByteArray("C:/Windows/evil.img");
        QTest::newRow("drive relative") << QByteArray("C:evil.img");
        QTest::newRow("UNC") << QByteArray("//server/share/evil.img");
        QTest::newRow("stream") << QByteArray("boot.img:hidden");
        QTest::newRow("device name") << QByteArray("sub/CON");
        QTest::newRow("device name with extension") << QByteArray("nul.img");
        QTest::newRow("numbered device") << QByteArray("LPT1.txt");
        QTest::newRow("trailing dot") << QByteArray("boot.img.");
        QTest::newRow("wildcard") << QByteArray("sub/*.img");
    }
    void hostileNames()
    {
        QFETCH(QByteArray, name);
        const QString dest = at(QStringLiteral("pkg/QuorBurnImage"));
        QVERIFY(QDir().mkpath(at(QStringLiteral("pkg"))));
        QVERIFY(saveFile(at(QStringLiteral("pkg/images.zip")), raw({{"kept.img", "kept"}, {name, "evil"}})));
        const UnpackResult r = unpackPackage(at(QStringLiteral("pkg/images.zip")), dest);
        QCOMPARE(entries(work), (QStringList{QStringLiteral("pkg"), QStringLiteral("plain.img")}));
        QCOMPARE(entries(at(QStringLiteral("pkg"))).size(), r.ok ? 2 : 1);
        QCOMPARE(entries(dest),
                 r.ok ? (QStringList{QLatin1String(kPackageStampName), QStringLiteral("kept.img")})
                      : QStringList());
    }

    // Past MAX_PATH, with non-ASCII names: a second unpack replaces the first through the
    // hidden aside folder, which goes; the folder in place is shown, its stamp stays hidden.
    void unpackAgainAside()
    {
        const QString base = deepFolder();
        const QString zip = base + QStringLiteral("/Пакет-ü.zip");
        const QString dest = base + QStringLiteral("/QuorBurnImage");
        const QByteArray image = QStringLiteral("Bilder/Übersicht-образ.img").toUtf8();
        QVERIFY(
            saveFile(zip, raw({RawItem{image, "u", 0, 0, true}, RawItem{"boot.img", "first", 0, 0, true}})));
        UnpackResult r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(fileContent(dest + QLatin1Char('/') + QString::fromUtf8(image)), QByteArray("u"));
        QCOMPARE(r.package.fileName, QStringLiteral("Пакет-ü.zip"));
        QVERIFY(saveFile(zip, raw({RawItem{"boot.img", "second", 0, 0, true}})));
        r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(entries(base),
                 (QStringList{QStringLiteral("QuorBurnImage"), QStringLiteral("Пакет-ü.zip")}));
        QCOMPARE(entries(dest), (QStringList{QLatin1String(kPackageStampName), QStringLiteral("boot.img")}));
        QCOMPARE(fileContent(dest + QStringLiteral("/boot.img")), QByteArray("second"));
        QCOMPARE(checkStamp(zip, dest), StampCheck::Matches);
        QCOMPARE(attributes(dest) & FILE_ATTRIBUTE_HIDDEN, DWORD(0));
        QVERIFY(attributes(dest + QLatin1Char('/') + QLatin1String(kPackageStampName)) &
                FILE_ATTRIBUTE_HIDDEN);
    }
};

QTEST_GUILESS_MAIN(tst_FileOpsWin)
#include "tst_fileops_win.moc"
