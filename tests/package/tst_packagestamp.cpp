#include "multi/packageextractor.h"
#include "multi/packagestamp.h"
#include "zipmaker.h"

#include <QCryptographicHash>
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

const qint64 kTimeMs = 1612415167891; // 2021-02-04, with a millisecond part

bool setModifiedMs(const QString &path, qint64 ms)
{
#ifdef Q_OS_UNIX
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
#else
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC), QFileDevice::FileModificationTime);
#endif
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
        QTest::newRow("time 1 ms later") << StampCheck::Different << true;
        QTest::newRow("replaced, same time") << StampCheck::Different << true;
        QTest::newRow("same bytes, other name") << StampCheck::Different << true;
        QTest::newRow("package gone") << StampCheck::Different << true;
        QTest::newRow("not hashed") << StampCheck::Missing << false;
        QTest::newRow("no folder") << StampCheck::Missing << false;
        QTest::newRow("newer format") << StampCheck::Different << false;
        QTest::newRow("stamp too large") << StampCheck::Different << false;
        QTest::newRow("stamp is a folder") << StampCheck::Different << false;
#ifdef Q_OS_UNIX // symbolic links; junctions: tests/win/tst_fileops_win.cpp
        QTest::newRow("stamp is a link") << StampCheck::Different << false;
        QTest::newRow("folder is a link") << StampCheck::Different << false;
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
        PackageIdentity inStamp;
        QCOMPARE(parseStamp(fileContent(m_stamp), &inStamp), hashed);
        QVERIFY(!hashed || ::stampText(inStamp) == ::stampText(r.package));
        const QByteArray good = fileContent(m_stamp);
        QString zip = m_zip, folder = m_dest;
        if (row == QLatin1String("time 1 ms later")) {
            QVERIFY(setModifiedMs(m_zip, kTimeMs + 1));
        } else if (row == QLatin1String("replaced, same time")) {
            QVERIFY(writeZip(m_zip, {zipFile("a.img", noise(3 << 20, 99))}));
            QVERIFY(setModifiedMs(m_zip, kTimeMs));
        } else if (row == QLatin1String("same bytes, other name")) {
            zip = m_tmp.path() + QStringLiteral("/other.zip");
            QVERIFY(QFile::copy(m_zip, zip) && setModifiedMs(zip, kTimeMs));
        } else if (row == QLatin1String("package gone")) {
            QVERIFY(QFile::remove(m_zip));
        } else if (row == QLatin1String("no folder")) {
            folder = m_tmp.path() + QStringLiteral("/Absent");
        } else if (row == QLatin1String("newer format")) {
            QVERIFY(saveFile(m_stamp, QByteArray(good).replace("format=1", "format=2")));
        } else if (row == QLatin1String("stamp too large")) {
            QVERIFY(saveFile(m_stamp, good + "note=" + QByteArray(5000, 'x') + '\n'));
        } else if (row == QLatin1String("stamp is a link")) {
            QVERIFY(QFile::rename(m_stamp, m_tmp.path() + QStringLiteral("/copy")));
            QVERIFY(QFile::link(m_tmp.path() + QStringLiteral("/copy"), m_stamp));
        } else if (row == QLatin1String("stamp is a folder")) {
            QVERIFY(QFile::remove(m_stamp) && QDir().mkpath(m_stamp));
        } else if (row == QLatin1String("folder is a link")) {
            folder = m_tmp.path() + QStringLiteral("/Linked");
            QVERIFY(QFile::link(m_dest, folder));
        }
        PackageIdentity stamped;
        QCOMPARE(checkStamp(zip, folder + QLatin1Char('/'), &stamped), expected);
        // A readable stamp says what it holds, whatever the package is now.
        QCOMPARE(stamped.sha256Hex, stampReadable ? sha : QByteArray());
    }

    // The stamp text round-trips any file name in its five lines; incomplete stamps are refused.
    void stampText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("text"); // when set, a stamp that must be refused
        const QByteArray tail = "size=1\nmodified-ms=2\nsha256=";
        const QByteArray hash(64, 'a');
        QTest::newRow("plain") << QStringLiteral("images.zip") << QByteArray();
        QTest::newRow("line break, percent, equals") << QStringLiteral("a=b%20\nsize=1.zip") << QByteArray();
        QTest::newRow("non-ASCII and spaces") << QStringLiteral("固件 größe (v2).zip") << QByteArray();
        QTest::newRow("empty") << QString() << QByteArray("\n");
        QTest::newRow("no format") << QString() << "package=p.zip\n" + tail + hash;
        QTest::newRow("no name") << QString() << "format=1\n" + tail + hash;
        QTest::newRow("negative size")
            << QString() << "format=1\npackage=p.zip\nsize=-1\nmodified-ms=2\nsha256=" + hash;
        QTest::newRow("hash not hex")
            << QString() << "format=1\npackage=p.zip\n" + tail + QByteArray(64, 'g');
        QTest::newRow("short hash") << QString() << "format=1\npackage=p.zip\n" + tail + "abc";
    }
    void stampText()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, text);
        PackageIdentity read, written{123456789012, kTimeMs, QByteArray(64, 'c'), name};
        if (!text.isEmpty()) {
            QVERIFY(!parseStamp(text, &read));
            return;
        }
        const QByteArray stamp = ::stampText(written);
        QCOMPARE(stamp.count('\n'), 5); // the name cannot add lines
        QVERIFY(parseStamp(stamp, &read));
        QCOMPARE(::stampText(read), stamp);
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
        QVERIFY(unpackPackageA().ok);
        const QByteArray fifo = QFile::encodeName(stampIsFifo ? m_stamp : m_zip);
        QVERIFY(::unlink(fifo.constData()) == 0 && ::mkfifo(fifo.constData(), 0600) == 0);
        auto outcome = std::async(std::launch::async, [this, stampIsFifo] {
            return stampIsFifo ? checkStamp(m_zip, m_dest) == StampCheck::Different
                               : !unpackPackage(m_zip, m_dest).ok;
        });
        if (outcome.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const int writer =
                ::open(fifo.constData(), O_WRONLY | O_NONBLOCK); // lets the blocked open return
            outcome.wait();
            ::close(writer);
            QFAIL("blocked on a FIFO");
        }
        QVERIFY(outcome.get());
        QCOMPARE(fileContent(m_dest + QStringLiteral("/a.img")), noise(3 << 20, 1)); // the old folder stays
    }
#endif
};

QTEST_GUILESS_MAIN(tst_PackageStamp)
#include "tst_packagestamp.moc"
