#include "package/packageextractor.h"
#include "package/packagestamp.h"
#include "zipmaker.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace ZipMaker;

Q_DECLARE_METATYPE(StampCheck)

namespace {

const qint64 kTimeMs = 1612415167891; // 2021-02-04, with a millisecond part

bool setModifiedMs(const QString &path, qint64 ms)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC), QFileDevice::FileModificationTime);
}

} // namespace

// The stamp an unpack leaves in the folder, and the check Start makes before it reuses a folder.
class tst_PackageStamp : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_zip = m_tmp.path() + QStringLiteral("/images.zip");
    QString m_dest = m_tmp.path() + QStringLiteral("/QuorBurnImage");
    QString m_stamp = m_dest + QLatin1Char('/') + QLatin1String(kPackageStampName);

    // A package with an image large enough to be hashed in several blocks, unpacked.
    UnpackResult unpackPackageA(bool hash = true)
    {
        UnpackOptions options;
        options.hashPackage = hash;
        if (!writeZip(m_zip, {zipFile("a.img", noise(3 << 20, 1)), zipFile(".hidden.img", "h")}) ||
            !setModifiedMs(m_zip, kTimeMs))
            return UnpackResult();
        return unpackPackage(m_zip, m_dest, nullptr, options);
    }

private slots:
    void init() { QVERIFY(QDir(m_tmp.path()).removeRecursively() && QDir().mkpath(m_tmp.path())); }

    // What the stamp says after an unpack, and what the check finds after a change.
    void checkAfterChange_data()
    {
        QTest::addColumn<StampCheck>("expected");
        QTest::addColumn<bool>("stampReadable");
        QTest::newRow("nothing") << StampCheck::Matches << true;
        // A copy that keeps size and time: only the change time tells (setting any time, size or name changes
        // it too, and a file moved over has another identity as well).
        QTest::newRow("same size rewritten in place, time set back") << StampCheck::Different << true;
        QTest::newRow("stamp of the earlier format") << StampCheck::Different << false;
        QTest::newRow("same bytes, other name") << StampCheck::Different << true;
        QTest::newRow("package gone") << StampCheck::Different << true;
        QTest::newRow("not hashed") << StampCheck::Missing << false;
        QTest::newRow("no folder") << StampCheck::Missing << false;
        QTest::newRow("stamp too large") << StampCheck::Different << false;
#ifdef Q_OS_UNIX // symbolic links; junctions: tests/win/tst_fileops_win.cpp
        QTest::newRow("stamp is a link") << StampCheck::Different << false;
        QTest::newRow("folder is a link") << StampCheck::Different << false;
        // Opening a FIFO would block: never opened. Windows devices: tests/win/tst_fileops_win.cpp
        QTest::newRow("stamp is a FIFO") << StampCheck::Different << false;
        QTest::newRow("package is a FIFO") << StampCheck::Different << true;
#endif
    }
    void checkAfterChange()
    {
        QFETCH(StampCheck, expected);
        QFETCH(bool, stampReadable);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        const bool hashed = row != QLatin1String("not hashed");
        const UnpackResult r = unpackPackageA(hashed);
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        const QByteArray sha =
            QCryptographicHash::hash(fileContent(m_zip), QCryptographicHash::Sha256).toHex();
        QCOMPARE(r.package.sha256Hex, hashed ? sha : QByteArray());
        QCOMPARE(r.package.modifiedMs, kTimeMs);
        QCOMPARE(r.package.size, QFileInfo(m_zip).size());
        QCOMPARE(r.package.shortHash(), QString::fromLatin1(r.package.sha256Hex.left(12)));
        // Any file name round-trips.
        PackageIdentity odd = r.package, back;
        odd.fileName = QStringLiteral("a=b%20\nsize=1 固件.zip");
        odd.sha256Hex = QByteArray(64, 'c');
        QVERIFY(parseStamp(::stampText(odd), &back) && back.fileName == odd.fileName);
        const QByteArray good = fileContent(m_stamp);
        QString zip = m_zip, folder = m_dest;
        if (row.startsWith(QLatin1String("same size"))) {
            QByteArray bytes = fileContent(m_zip);
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);
            QVERIFY(saveFile(m_zip, bytes) && setModifiedMs(m_zip, kTimeMs));
            QCOMPARE(QFileInfo(m_zip).size(), r.package.size);
        } else if (row == QLatin1String("stamp of the earlier format")) {
            // Written by the previous version: no identity, so not trusted for reuse.
            QVERIFY(saveFile(m_stamp, good.left(good.indexOf("file-id=")).replace("format=2", "format=1") +
                                          good.mid(good.indexOf("sha256="))));
        } else if (row == QLatin1String("same bytes, other name")) {
            zip = m_tmp.path() + QStringLiteral("/other.zip");
            QVERIFY(QFile::copy(m_zip, zip) && setModifiedMs(zip, kTimeMs));
        } else if (row == QLatin1String("package gone")) {
            QVERIFY(QFile::remove(m_zip));
        } else if (row == QLatin1String("no folder")) {
            folder = m_tmp.path() + QStringLiteral("/Absent");
        } else if (row == QLatin1String("stamp too large")) {
            QVERIFY(saveFile(m_stamp, good + "note=" + QByteArray(5000, 'x') + '\n'));
        } else if (row == QLatin1String("stamp is a link")) {
            QVERIFY(QFile::rename(m_stamp, m_tmp.path() + QStringLiteral("/copy")));
            QVERIFY(QFile::link(m_tmp.path() + QStringLiteral("/copy"), m_stamp));
        } else if (row == QLatin1String("folder is a link")) {
            folder = m_tmp.path() + QStringLiteral("/Linked");
            QVERIFY(QFile::link(m_dest, folder));
#ifdef Q_OS_UNIX
        } else if (row.endsWith(QLatin1String("FIFO"))) {
            const QByteArray fifo =
                QFile::encodeName(row.startsWith(QLatin1String("stamp")) ? m_stamp : m_zip);
            QVERIFY(::unlink(fifo.constData()) == 0 && ::mkfifo(fifo.constData(), 0600) == 0);
            if (row.startsWith(QLatin1String("package"))) { // refused; the folder stays
                QVERIFY(!unpackPackage(m_zip, m_dest).ok);
                QCOMPARE(fileContent(m_dest + QStringLiteral("/.hidden.img")), QByteArray("h"));
            }
#endif
        }
        PackageIdentity stamped;
        QCOMPARE(checkStamp(zip, folder + QLatin1Char('/'), &stamped), expected);
        // A readable stamp says what it holds, whatever the package is now.
        QCOMPARE(stamped.sha256Hex, stampReadable ? sha : QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_PackageStamp)
#include "tst_packagestamp.moc"
