// File work on Windows, under wine: the file seam, the staging copy and the package unpacker.

#include "package/packageextractor.h"
#include "package/packagestamp.h"
#include "platform/filecopy.h"
#include "platform/fileops.h"
#include "platform/win/winfs_win.h"
#include "zipmaker.h"

#include <QtTest>

#include <windows.h>

using namespace ZipMaker;

namespace {

const auto kWritable = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

void noPause(DWORD) {}

// The names in a folder, hidden ones too, sorted and separated by blanks.
QByteArray entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(' ').toUtf8();
}

} // namespace

class tst_FileOpsWin : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString work;

    QString at(const char *name) const { return work + QLatin1Char('/') + QString::fromUtf8(name); }
    QString deepFolder() const // its full path past MAX_PATH (260)
    {
        QString path = at("deep");
        while (path.size() < 300)
            path += QStringLiteral("/a-rather-long-folder-name");
        return QDir().mkpath(path) ? path : QString();
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        work = tmp->path();
        QVERIFY(saveFile(at("plain.img"), "image"));
    }

    // Devices, folders and missing names are no regular files: not opened, not copied.
    void onlyRegularFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("regular");
        QTest::newRow("plain file") << QStringLiteral("<work>/plain.img") << true;
        QTest::newRow("device NUL") << QStringLiteral("\\\\.\\NUL") << false;
        QTest::newRow("device CON") << QStringLiteral("//./CON") << false;
        QTest::newRow("folder") << QStringLiteral("<work>") << false;
    }
    void onlyRegularFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, regular);
        path.replace(QStringLiteral("<work>"), work);
        QCOMPARE(FileOps::isRegularFile(path), regular);
        QFile file;
        QString error;
        QCOMPARE(FileOps::openRegularFile(file, path, QIODevice::ReadOnly, &error), regular);
        QVERIFY(regular ? file.readAll() == "image" : !error.isEmpty() && !file.isOpen());
        QVERIFY(QDir().mkpath(at("staging")));
        QCOMPARE(FileCopy::copyFileInto(path, at("staging"), QStringLiteral("copy.img"), &error, kWritable),
                 regular);
        QCOMPARE(entries(at("staging")), QByteArray(regular ? "copy.img" : ""));
    }

    // Into a folder past MAX_PATH, from a read-only source: a writable copy, only under a
    // name that is one component and no device, and never over an existing file.
    void stagingCopy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("ok");
        QTest::newRow("non-ASCII") << QStringLiteral("Ядро-ä.img") << true;
        QTest::newRow("parent") << QStringLiteral("..\\escape.img") << false;
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
        QVERIFY(QFile::setPermissions(at("plain.img"), QFileDevice::ReadOwner));
        QString error;
        QCOMPARE(FileCopy::copyFileInto(at("plain.img"), deep, name, &error, kWritable), ok);
        QCOMPARE(entries(deep), ok ? name.toUtf8() : QByteArray());
        QCOMPARE(entries(work), QByteArray("deep plain.img"));
        if (!ok)
            return;
        const QString copy = deep + QLatin1Char('/') + name;
        QVERIFY(QFileInfo(copy).isWritable() && saveFile(at("other.img"), "other"));
        QVERIFY(!FileCopy::copyFileInto(at("other.img"), deep, name, &error, kWritable));
        QCOMPARE(error, QStringLiteral("Destination file exists"));
        QCOMPARE(fileContent(copy), QByteArray("image"));
    }

    // A read-only file goes; one whose other hard link lies outside stays, read-only; a folder
    // and a name that is no single component are refused.
    void removingEntries()
    {
        QString reason;
        QVERIFY(QFile::setPermissions(at("plain.img"), QFileDevice::ReadOwner));
        QVERIFY2(FileOps::removeFolderEntry(work, QStringLiteral("plain.img"), &reason), qPrintable(reason));
        QVERIFY(QDir().mkpath(at("folder/sub")) && saveFile(at("outside.img"), "s"));
        QVERIFY(QFile::setPermissions(at("outside.img"), QFileDevice::ReadOwner));
        QVERIFY(::CreateHardLinkW(at("folder/linked.img").toStdWString().c_str(),
                                  at("outside.img").toStdWString().c_str(), nullptr));
        for (const char *name : {"linked.img", "sub", "..\\outside.img"})
            QVERIFY2(!FileOps::removeFolderEntry(at("folder"), QLatin1String(name), &reason), name);
        QCOMPARE(entries(at("folder")) + '|' + entries(work),
                 QByteArray("linked.img sub|folder outside.img"));
        QVERIFY(!QFileInfo(at("outside.img")).isWritable());
    }

    // By name regardless of case, with each entry's kind and a file's size.
    void listingOrder()
    {
        for (const char *name : {"d.img", "B.img", "a.img", "C.img"})
            QVERIFY(saveFile(at(name), "12345"));
        QVERIFY(QDir().mkpath(at("Folder")));
        QStringList names; // with "/" for a folder, a file's size, "?" for anything else
        for (const FileOps::FolderEntry &e : FileOps::listFolder(work))
            names << e.name + (e.isLink || e.isDir == e.isFile ? QStringLiteral("?")
                               : e.isDir                       ? QStringLiteral("/")
                                                               : QString::number(e.size));
        QCOMPARE(names.join(QLatin1Char(' ')),
                 QStringLiteral("a.img5 B.img5 C.img5 d.img5 Folder/ plain.img5"));
    }

    // On a 1 MiB disk (test-windows.sh mounts one) an unpack is refused and a copy leaves nothing.
    void fullDisk()
    {
        const QString disk = qEnvironmentVariable("QUOR_SMALL_DISK");
        if (disk.isEmpty())
            QSKIP("QUOR_SMALL_DISK names no small file system here");
        const QByteArray big(2 << 20, 'x');
        QVERIFY(writeZip(at("big.zip"), {zipFile("rootfs.img", big)}) && saveFile(at("big.img"), big));
        const UnpackResult r = unpackPackage(at("big.zip"), disk + QStringLiteral("/QuorBurnImage"));
        QVERIFY(!r.ok && r.messages.value(0).contains(QLatin1String("free space")));
        QString error;
        QVERIFY(!FileCopy::copyFileInto(at("big.img"), disk, QStringLiteral("big.img"), &error, kWritable));
        QCOMPARE(entries(disk), QByteArray());
    }

    // Entry names that would leave the folder or that Windows reads as something else never
    // write outside it: skipped, or the unpack fails and leaves nothing.
    void hostileNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("backslash parent") << QByteArray("..\\..\\victim.img");
        QTest::newRow("drive") << QByteArray("C:/Windows/evil.img");
        QTest::newRow("UNC") << QByteArray("//server/share/evil.img");
        QTest::newRow("stream") << QByteArray("boot.img:hidden");
        QTest::newRow("device name") << QByteArray("sub/CON");
        QTest::newRow("device name with extension") << QByteArray("nul.img");
        QTest::newRow("same name in other case") << QByteArray("KEPT.img"); // created exclusively
    }
    void hostileNames()
    {
        QFETCH(QByteArray, name);
        QVERIFY(QDir().mkpath(at("pkg")));
        QVERIFY(saveFile(at("pkg/images.zip"), raw({{"kept.img", "kept"}, {name, "evil"}})));
        const UnpackResult r = unpackPackage(at("pkg/images.zip"), at("pkg/QuorBurnImage"));
        QCOMPARE(entries(work), QByteArray("pkg plain.img"));
        QCOMPARE(entries(at("pkg")), QByteArray(r.ok ? "images.zip QuorBurnImage" : "images.zip"));
        QCOMPARE(entries(at("pkg/QuorBurnImage")) + fileContent(at("pkg/QuorBurnImage/kept.img")),
                 r.ok ? QByteArray(kPackageStampName).append(" kept.imgkept") : QByteArray("<missing>"));
    }

    // System error texts arrive whole in scripts the ANSI code page (1252 under wine) lacks.
    void errorTextsInOtherScripts()
    {
        const QString russian =
            WinFs::errorText(ERROR_ACCESS_DENIED, MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));
        if (russian == QLatin1String("error 5"))
            QSKIP("this system has no Russian error texts");
        QCOMPARE(russian, QStringLiteral("Доступ запрещён."));
        QCOMPARE(WinFs::errorText(ERROR_ACCESS_DENIED, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)),
                 QStringLiteral("访问被拒绝。"));
    }

    // Past MAX_PATH, with non-ASCII names: a second unpack replaces the first through the
    // hidden aside folder, which goes; the folder in place is shown, its stamp stays hidden.
    void unpackAgainAside()
    {
        const QString base = deepFolder();
        const QString zip = base + QStringLiteral("/Пакет-ü.zip");
        const QString dest = base + QStringLiteral("/QuorBurnImage");
        const QByteArray image = "Bilder/Übersicht-образ.img";
        QVERIFY(saveFile(zip, raw({{image, "u", 0, 0, true}, {"boot.img", "first", 0, 0, true}})));
        UnpackResult r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(fileContent(dest + QLatin1Char('/') + QString::fromUtf8(image)), QByteArray("u"));
        QVERIFY(saveFile(zip, raw({{"boot.img", "second", 0, 0, true}})));
        r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(entries(base), QByteArray("QuorBurnImage Пакет-ü.zip"));
        QCOMPARE(entries(dest), QByteArray(kPackageStampName).append(" boot.img"));
        QCOMPARE(fileContent(dest + QStringLiteral("/boot.img")), QByteArray("second"));
        QVERIFY(!QFileInfo(dest).isHidden() &&
                QFileInfo(dest + QLatin1Char('/') + QLatin1String(kPackageStampName)).isHidden());
    }

    // The unpack folder held by another program (the seam refuses its rename): held three
    // times, the swap waits it out; held for good, the complete new tree is kept hidden and
    // goes into place at the next unpack without unpacking again. Removing a tree hides it.
    void heldUnpackFolder_data()
    {
        QTest::addColumn<int>("times");
        QTest::newRow("held 3 times") << 3;
        QTest::newRow("held for good") << -1;
    }
    void heldUnpackFolder()
    {
        QFETCH(int, times);
        const QString zip = at("pkg/images.zip"), dest = at("pkg/QuorBurnImage");
        QVERIFY(QDir().mkpath(at("pkg")) && saveFile(zip, raw({{"boot.img", "first", 0, 0, true}})));
        QVERIFY(unpackPackage(zip, dest).ok);
        QVERIFY(saveFile(zip, raw({{"boot.img", "second", 0, 0, true}})));
        WinFs::setPause(&noPause);
        WinFs::failNext(WinFs::Op::Rename, ERROR_SHARING_VIOLATION, times, L"\\QuorBurnImage");
        UnpackResult r = unpackPackage(zip, dest);
        WinFs::clearFaults();
        WinFs::setPause(nullptr);
        QCOMPARE(r.ok, times > 0);
        const QStringList kept =
            QDir(at("pkg")).entryList({".QuorBurnImage.ready-*"}, QDir::Dirs | QDir::Hidden);
        if (times < 0) {
            QVERIFY(r.messages.join('\n').contains("close Explorer windows and consoles open in it"));
            QCOMPARE(fileContent(dest + "/boot.img"), QByteArray("first"));
            QCOMPARE(kept.size(), 1);
            QVERIFY(QFileInfo(at("pkg/") + kept.value(0)).isHidden());
            r = unpackPackage(zip, dest);
            QVERIFY2(r.ok && r.bytesWritten == 0 && r.package.sha256Hex.size() == 64,
                     qPrintable(r.messages.join('\n')));
        }
        QCOMPARE(fileContent(dest + "/boot.img"), QByteArray("second"));
        QCOMPARE(entries(at("pkg")), QByteArray("images.zip QuorBurnImage"));
        // A removal whose deletion is refused for good leaves its aside folder, hidden.
        WinFs::setPause(&noPause);
        WinFs::failNext(WinFs::Op::Delete, ERROR_ACCESS_DENIED, -1);
        QVERIFY(!FileOps::removeTreeAside(dest));
        WinFs::clearFaults();
        WinFs::setPause(nullptr);
        const QStringList aside =
            QDir(at("pkg")).entryList({".QuorBurnImage.removing-*"}, QDir::Dirs | QDir::Hidden);
        QVERIFY(aside.size() == 1 && QFileInfo(at("pkg/") + aside.value(0)).isHidden());
    }
};

QTEST_GUILESS_MAIN(tst_FileOpsWin)
#include "tst_fileops_win.moc"
