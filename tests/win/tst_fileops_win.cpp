// File work on Windows: junctions, links, read-only and hard-linked files,
// device names, long paths and non-ASCII names, through the file seam, the
// staging copy and the package unpacker.

#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "platform/filecopy.h"
#include "platform/fileops.h"
#include "zipmaker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

using namespace ZipMaker;

namespace {

std::wstring longName(const QString &path)
{
    return QString(QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()))
        .toStdWString();
}

// Makes link a junction (mount point) to the folder target.
bool makeJunction(const QString &link, const QString &target)
{
    if (!::CreateDirectoryW(longName(link).c_str(), nullptr))
        return false;
    HANDLE h = ::CreateFileW(longName(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring substitute =
        QString(QStringLiteral("\\??\\") + QDir::toNativeSeparators(QFileInfo(target).absoluteFilePath()))
            .toStdWString();
    const std::wstring print = QDir::toNativeSeparators(target).toStdWString();
    // The mount point layout: tag, sizes, then both names, each ending in a zero.
    const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
    std::vector<char> buffer(8 + 8 + names);
    auto put16 = [&buffer](size_t at, size_t value) {
        const auto v = static_cast<WORD>(value);
        std::memcpy(buffer.data() + at, &v, sizeof v);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, sizeof tag);
    put16(4, 8 + names);                                  // data length
    put16(8, 0);                                          // substitute name offset
    put16(10, substitute.size() * sizeof(wchar_t));       // substitute name length
    put16(12, (substitute.size() + 1) * sizeof(wchar_t)); // print name offset
    put16(14, print.size() * sizeof(wchar_t));            // print name length
    std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
    std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
                (print.size() + 1) * sizeof(wchar_t));
    DWORD returned = 0;
    const bool ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr) != 0;
    ::CloseHandle(h);
    if (!ok)
        ::RemoveDirectoryW(longName(link).c_str());
    return ok;
}

bool isReparsePoint(const QString &path)
{
    const DWORD a = ::GetFileAttributesW(longName(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool exists(const QString &path)
{
    return ::GetFileAttributesW(longName(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool setReadOnly(const QString &path)
{
    return ::SetFileAttributesW(longName(path).c_str(), FILE_ATTRIBUTE_READONLY) != 0;
}

bool isReadOnly(const QString &path)
{
    const DWORD a = ::GetFileAttributesW(longName(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

// Through the long form, so paths past 260 characters work as well.
bool writeBytes(const QString &path, const QByteArray &data)
{
    HANDLE h = ::CreateFileW(longName(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(h, data.constData(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == static_cast<DWORD>(data.size());
    ::CloseHandle(h);
    return ok;
}

QByteArray readAll(const QString &path)
{
    HANDLE h = ::CreateFileW(longName(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return QByteArray("<missing>");
    QByteArray data(1 << 16, '\0');
    DWORD n = 0;
    const bool ok = ::ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
    ::CloseHandle(h);
    return ok ? data.left(static_cast<int>(n)) : QByteArray("<unreadable>");
}

bool makeFolders(const QString &path)
{
    // CreateDirectoryW one level at a time: QDir::mkpath stops at 260 characters on some systems.
    const QStringList parts = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).split(QLatin1Char('/'));
    QString at = parts.first();
    for (int i = 1; i < parts.size(); ++i) {
        at += QLatin1Char('/') + parts.at(i);
        if (!::CreateDirectoryW(longName(at).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

} // namespace

// Junctions need FSCTL_SET_REPARSE_POINT, which wine 8 does not offer (and its
// Unix links look like plain entries there): such cases skip under wine.
#define JUNCTION_OR_SKIP(link, target)                                                                       \
    do {                                                                                                     \
        if (!makeJunction(link, target))                                                                     \
            QSKIP(qPrintable(                                                                                \
                QStringLiteral("junctions cannot be made here (error %1)").arg(::GetLastError())));          \
    } while (false)

class tst_FileOpsWin : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_outside; // holds what links lead to; must stay as it was
    QString m_work;

    QString at(const QString &relative) const { return m_work + QLatin1Char('/') + relative; }
    // A folder whose full path is past MAX_PATH (260).
    QString deepFolder() const
    {
        QString path = m_work;
        while (path.size() < 300)
            path += QStringLiteral("/a-rather-long-folder-name");
        return path;
    }
    void expectOutsideUntouched()
    {
        QCOMPARE(readAll(m_outside + QStringLiteral("/victim.img")), QByteArray("precious"));
        QCOMPARE(QDir(m_outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("victim.img")});
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_outside = m_tmp->path() + QStringLiteral("/outside");
        m_work = m_tmp->path() + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(m_outside));
        QVERIFY(QDir().mkpath(m_work));
        QVERIFY(writeBytes(m_outside + QStringLiteral("/victim.img"), "precious"));
    }
    void cleanup()
    {
        // Read-only files would keep the temporary folder from going.
        QDirIterator it(m_tmp->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ::SetFileAttributesW(longName(it.next()).c_str(), FILE_ATTRIBUTE_NORMAL);
        m_tmp.reset();
    }

    // Devices, pipes and folders are refused; a plain file opens and reads.
    void onlyRegularFilesOpen_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("regular");
        QTest::newRow("plain file") << QStringLiteral("<work>/plain.img") << true;
        QTest::newRow("device NUL") << QStringLiteral("\\\\.\\NUL") << false;
        QTest::newRow("device CON") << QStringLiteral("//./CON") << false;
        QTest::newRow("folder") << QStringLiteral("<work>") << false;
        QTest::newRow("missing") << QStringLiteral("<work>/missing.img") << false;
    }
    void onlyRegularFilesOpen()
    {
        QFETCH(QString, path);
        QFETCH(bool, regular);
        path.replace(QStringLiteral("<work>"), m_work);
        QVERIFY(writeBytes(at(QStringLiteral("plain.img")), "image"));
        QCOMPARE(FileOps::isRegularFile(path), regular);
        QFile file;
        QString error;
        QCOMPARE(FileOps::openRegularFile(file, path, QIODevice::ReadOnly, &error), regular);
        if (regular)
            QCOMPARE(file.readAll(), QByteArray("image"));
        else
            QVERIFY(!error.isEmpty() && !file.isOpen());
    }

    // A junction in the staging folder's place, as a folder entry, in a tree's place or as a
    // copy's destination folder: never listed, written or removed through.
    void junctionsAreNeverFollowed()
    {
        const QString staging = at(QStringLiteral("downloadImageFile"));
        JUNCTION_OR_SKIP(staging, m_outside);
        QVERIFY(FileOps::listFolder(staging).isEmpty());
        QVERIFY(writeBytes(at(QStringLiteral("other.img")), "other"));
        QString error;
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("other.img")), staging, QStringLiteral("boot.img"),
                                        &error, QFileDevice::ReadOwner));
        QCOMPARE(FileOps::prepareFolder(staging), FileOps::FolderState::Created);
        QVERIFY(!isReparsePoint(staging));
        QVERIFY(QDir(staging).isEmpty());

        QVERIFY(makeJunction(at(QStringLiteral("junction")), m_outside));
        QVERIFY2(FileOps::removeFolderEntry(m_work, QStringLiteral("junction"), &error), qPrintable(error));
        QVERIFY(!exists(at(QStringLiteral("junction"))));
        QVERIFY(makeJunction(at(QStringLiteral("QuorBurnImage")), m_outside));
        QVERIFY2(FileOps::removeTreeAside(at(QStringLiteral("QuorBurnImage")), &error), qPrintable(error));
        QVERIFY(!exists(at(QStringLiteral("QuorBurnImage"))));
        expectOutsideUntouched();
    }

    void listingTellsLinksApart()
    {
        QVERIFY(QDir().mkpath(at(QStringLiteral("folder"))));
        QVERIFY(writeBytes(at(QStringLiteral("file.img")), "12345"));
        JUNCTION_OR_SKIP(at(QStringLiteral("junction")), m_outside);
        const QVector<FileOps::FolderEntry> entries = FileOps::listFolder(m_work);
        QCOMPARE(entries.size(), 3);
        QCOMPARE(entries.at(0).name, QStringLiteral("file.img"));
        QVERIFY(entries.at(0).isFile && !entries.at(0).isDir && !entries.at(0).isLink);
        QCOMPARE(entries.at(0).size, qint64(5));
        QVERIFY(entries.at(1).isDir && !entries.at(1).isLink);
        QCOMPARE(entries.at(2).name, QStringLiteral("junction"));
        QVERIFY(entries.at(2).isLink && !entries.at(2).isDir && !entries.at(2).isFile);
    }

    void removingEntries()
    {
        // A read-only file with one name goes; one with a second hard link stays, attributes untouched.
        QVERIFY(writeBytes(at(QStringLiteral("alone.img")), "a"));
        QVERIFY(setReadOnly(at(QStringLiteral("alone.img"))));
        QString reason;
        QVERIFY2(FileOps::removeFolderEntry(m_work, QStringLiteral("alone.img"), &reason),
                 qPrintable(reason));
        QVERIFY(!exists(at(QStringLiteral("alone.img"))));

        QVERIFY(writeBytes(m_outside + QStringLiteral("/shared.img"), "s"));
        QVERIFY(setReadOnly(m_outside + QStringLiteral("/shared.img")));
        QVERIFY(::CreateHardLinkW(longName(at(QStringLiteral("linked.img"))).c_str(),
                                  longName(m_outside + QStringLiteral("/shared.img")).c_str(), nullptr));
        QVERIFY(!FileOps::removeFolderEntry(m_work, QStringLiteral("linked.img"), &reason));
        QVERIFY(isReadOnly(m_outside + QStringLiteral("/shared.img")));
        QVERIFY(exists(at(QStringLiteral("linked.img"))));

        // A folder, and a name that is no single component, are refused.
        QVERIFY(QDir().mkpath(at(QStringLiteral("folder"))));
        QVERIFY(!FileOps::removeFolderEntry(m_work, QStringLiteral("folder"), &reason));
        QVERIFY(!FileOps::removeFolderEntry(m_work, QStringLiteral("../outside"), &reason));
        QVERIFY(QFileInfo(at(QStringLiteral("folder"))).isDir());
    }

    void treeRemovalReachesEverythingButLinkTargets()
    {
        const QString top = at(QStringLiteral("QuorBurnImage"));
        const QString deep = deepFolder().replace(m_work, top);
        QVERIFY(deep.size() > MAX_PATH);
        QVERIFY(makeFolders(deep));
        QVERIFY(writeBytes(deep + QStringLiteral("/deep.img"), "d"));
        QVERIFY(writeBytes(top + QStringLiteral("/Übersicht-образ.img"), "u"));
        QVERIFY(writeBytes(top + QStringLiteral("/readonly.img"), "r"));
        QVERIFY(setReadOnly(top + QStringLiteral("/readonly.img")));
        const bool junction = makeJunction(top + QStringLiteral("/junction"), m_outside);
        QString error;
        QVERIFY2(FileOps::removeTreeAside(top, &error), qPrintable(error));
        QVERIFY(QDir(m_work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
        expectOutsideUntouched();
        if (!junction)
            QSKIP("junctions cannot be made here: the tree held none");
    }

    void stagingCopy()
    {
        const auto perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        const QString deep = deepFolder();
        QVERIFY(makeFolders(deep));
        QVERIFY(writeBytes(at(QStringLiteral("source.img")), "image data"));
        QString error;
        // Long path and non-ASCII name; a read-only source gives a writable copy.
        QVERIFY(setReadOnly(at(QStringLiteral("source.img"))));
        const QString name = QStringLiteral("Ядро-ä.img");
        QVERIFY2(FileCopy::copyFileInto(at(QStringLiteral("source.img")), deep, name, &error, perms),
                 qPrintable(error));
        QCOMPARE(readAll(deep + QLatin1Char('/') + name), QByteArray("image data"));
        QVERIFY(!isReadOnly(deep + QLatin1Char('/') + name));

        // An existing destination is kept as it is.
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("source.img")), deep, name, &error, perms));
        QCOMPARE(error, QStringLiteral("Destination file exists"));
        QVERIFY(writeBytes(at(QStringLiteral("other.img")), "other"));
        QVERIFY(!FileCopy::copyFile(at(QStringLiteral("other.img")), deep + QLatin1Char('/') + name, &error,
                                    perms));
        QCOMPARE(readAll(deep + QLatin1Char('/') + name), QByteArray("image data"));

        // Devices and folders are no sources; nothing is left behind for them.
        QVERIFY(!FileCopy::copyFileInto(QStringLiteral("\\\\.\\NUL"), deep, QStringLiteral("nul.img"), &error,
                                        perms));
        QVERIFY(!FileCopy::copyFileInto(m_work, deep, QStringLiteral("dir.img"), &error, perms));
        QVERIFY(!exists(deep + QStringLiteral("/nul.img")) && !exists(deep + QStringLiteral("/dir.img")));

        // Names that are no single component are refused.
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("other.img")), deep,
                                        QStringLiteral("..\\escape.img"), &error, perms));
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("other.img")), deep, QStringLiteral("a.img:stream"),
                                        &error, perms));
        QVERIFY(!exists(m_work + QStringLiteral("/escape.img")));
    }

    // A full disk: QUOR_SMALL_DISK names an empty folder on a small file system
    // (test-windows.sh mounts a 1 MiB one). The unpack is refused before it
    // writes; a copy that runs out of space fails and leaves no partial file.
    void fullDisk()
    {
        const QString disk = qEnvironmentVariable("QUOR_SMALL_DISK");
        if (disk.isEmpty())
            QSKIP("QUOR_SMALL_DISK names no small file system here");
        const QString dest = disk + QStringLiteral("/QuorBurnImage");
        const QByteArray big(2 << 20, 'x');
        QVERIFY(writeZip(at(QStringLiteral("big.zip")), {zipFile("rootfs.img", big)}));
        const UnpackResult r = unpackPackage(at(QStringLiteral("big.zip")), dest);
        QVERIFY(!r.ok);
        QVERIFY2(r.messages.value(0).contains(QLatin1String("free space")),
                 qPrintable(r.messages.join('\n')));
        QVERIFY(!exists(dest));

        QVERIFY(writeBytes(at(QStringLiteral("big.img")), big));
        QString error;
        QVERIFY(!FileCopy::copyFileInto(at(QStringLiteral("big.img")), disk, QStringLiteral("big.img"),
                                        &error, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(!error.isEmpty());
        QCOMPARE(QDir(disk).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

        // What fits still unpacks there, and the space is given back.
        QVERIFY(writeZip(at(QStringLiteral("small.zip")), {zipFile("boot.img", "boot")}));
        const UnpackResult fits = unpackPackage(at(QStringLiteral("small.zip")), dest);
        QVERIFY2(fits.ok, qPrintable(fits.messages.join(QLatin1Char('\n'))));
        QCOMPARE(readAll(dest + QStringLiteral("/boot.img")), QByteArray("boot"));
        QVERIFY(FileOps::removeTreeAside(dest));
    }

    void unpackOverPlantedJunctions()
    {
        const QString zip = at(QStringLiteral("images.zip"));
        const QString dest = at(QStringLiteral("QuorBurnImage"));
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(writeBytes(dest + QStringLiteral("/old.img"), "old"));
        JUNCTION_OR_SKIP(dest + QStringLiteral("/sub"), m_outside);
        QVERIFY(writeZip(zip, {zipFile("sub/victim.img", "new"), zipFile("boot.img", "boot")}));
        const UnpackResult r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QVERIFY(!isReparsePoint(dest + QStringLiteral("/sub")));
        QCOMPARE(readAll(dest + QStringLiteral("/sub/victim.img")), QByteArray("new"));
        QVERIFY(!exists(dest + QStringLiteral("/old.img")));
        expectOutsideUntouched();

        // The destination itself a junction: refused, left as it is.
        QVERIFY(FileOps::removeTreeAside(dest));
        QVERIFY(makeJunction(dest, m_outside));
        QVERIFY(!unpackPackage(zip, dest).ok);
        QVERIFY(isReparsePoint(dest));
        expectOutsideUntouched();
        QCOMPARE(QDir(m_work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("images.zip"), QStringLiteral("QuorBurnImage")}));
    }

    // Names that would leave the folder, or that Windows reads as something else, never write
    // outside it: they are skipped, or the unpack fails and leaves nothing.
    void hostileNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("backslash parent") << QByteArray("..\\..\\outside\\victim.img");
        QTest::newRow("drive") << QByteArray("C:/Windows/evil.img");
        QTest::newRow("drive relative") << QByteArray("C:evil.img");
        QTest::newRow("UNC") << QByteArray("//server/share/evil.img");
        QTest::newRow("parent") << QByteArray("a/../../outside/victim.img");
        QTest::newRow("stream") << QByteArray("boot.img:hidden");
        QTest::newRow("device name") << QByteArray("sub/CON");
        QTest::newRow("device name with extension") << QByteArray("nul.img");
        QTest::newRow("trailing dot") << QByteArray("boot.img.");
        QTest::newRow("wildcard") << QByteArray("sub/*.img");
    }
    void hostileNames()
    {
        QFETCH(QByteArray, name);
        const QString zip = at(QStringLiteral("images.zip"));
        const QString dest = at(QStringLiteral("QuorBurnImage"));
        QVERIFY(writeBytes(zip, raw({{"kept.img", "kept"}, {name, "evil"}})));
        const UnpackResult r = unpackPackage(zip, dest);
        expectOutsideUntouched();
        const QStringList left =
            QDir(m_work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        if (r.ok) {
            QCOMPARE(readAll(dest + QStringLiteral("/kept.img")), QByteArray("kept"));
            QCOMPARE(left, (QStringList{QStringLiteral("images.zip"), QStringLiteral("QuorBurnImage")}));
        } else {
            QCOMPARE(left, QStringList{QStringLiteral("images.zip")});
        }
    }

    void unpackLongPathAndNonAsciiNames()
    {
        const QString base = deepFolder();
        QVERIFY(makeFolders(base));
        // Hand-made with the UTF-8 flag (libarchive's writer takes narrow names on Windows).
        const auto package = [](const QByteArray &name, const QByteArray &data) {
            return RawItem{name, data, 0, 0, true};
        };
        const QString zip = base + QStringLiteral("/Пакет-ü.zip");
        QVERIFY(writeBytes(zip, raw({package(QStringLiteral("Bilder/Übersicht-образ.img").toUtf8(), "u"),
                                     package("boot.img", "boot")})));
        const QString dest = base + QStringLiteral("/QuorBurnImage");
        const UnpackResult r = unpackPackage(zip, dest);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(readAll(dest + QStringLiteral("/Bilder/Übersicht-образ.img")), QByteArray("u"));
        QCOMPARE(readAll(dest + QStringLiteral("/boot.img")), QByteArray("boot"));
        QCOMPARE(r.package.fileName, QStringLiteral("Пакет-ü.zip"));
        QCOMPARE(r.package.sha256Hex.size(), 64);
        // A second unpack replaces the first through the aside rename, at this depth too.
        QVERIFY(writeBytes(zip, raw({package("boot.img", "second")})));
        const UnpackResult again = unpackPackage(zip, dest);
        QVERIFY2(again.ok, qPrintable(again.messages.join(QLatin1Char('\n'))));
        QCOMPARE(readAll(dest + QStringLiteral("/boot.img")), QByteArray("second"));
        QVERIFY(!exists(dest + QStringLiteral("/Bilder")));
        QCOMPARE(checkStamp(zip, dest), StampCheck::Matches);
        // Unpacked in a hidden folder: the folder in place is shown again, the stamp stays hidden.
        QVERIFY((::GetFileAttributesW(longName(dest).c_str()) & FILE_ATTRIBUTE_HIDDEN) == 0);
        QVERIFY((::GetFileAttributesW(
                     longName(dest + QLatin1Char('/') + QLatin1String(kPackageStampName)).c_str()) &
                 FILE_ATTRIBUTE_HIDDEN) != 0);
    }
};

QTEST_GUILESS_MAIN(tst_FileOpsWin)
#include "tst_fileops_win.moc"
