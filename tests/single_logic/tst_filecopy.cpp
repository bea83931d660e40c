// The image copy: exact content on both paths (kernel copy and buffer loop),
// never overwriting, exact permissions, readable reasons, and no partial file
// left behind when a copy fails half-way.
#include "platform/filecopy.h"
#include "tests/common/testfiles.h"
#include "tests/single_logic/nodacoverride.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QByteArray readFile(const QString &path)
{
    return TestFiles::readFile(path, "<unreadable>");
}

using TestFiles::writeFile;

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(rng.bounded(256));
    return bytes;
}

using CopyFn = bool (*)(const QString &, const QString &, QString *, QFileDevice::Permissions);

bool bestCopy(const QString &s, const QString &d, QString *e, QFileDevice::Permissions p)
{
    return FileCopy::copyFile(s, d, e, p);
}

bool sendFileCopy(const QString &s, const QString &d, QString *e, QFileDevice::Permissions p)
{
    return FileCopy::copyFileUsing(FileCopy::Method::SendFile, s, d, e, p);
}

bool bufferCopy(const QString &s, const QString &d, QString *e, QFileDevice::Permissions p)
{
    return FileCopy::copyFileUsing(FileCopy::Method::Buffer, s, d, e, p);
}

constexpr QFileDevice::Permissions kAll =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;

} // namespace

Q_DECLARE_METATYPE(CopyFn)

class tst_FileCopy : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void copiesContentExactly_data();
    void copiesContentExactly();
    void neverOverwritesOrFollowsALink();
    void reasonsForBadSources();
    void failureHalfWayRemovesThePartialFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void tst_FileCopy::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_FileCopy::copiesContentExactly_data()
{
    QTest::addColumn<CopyFn>("copy");
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 4096 * 3 + 17, (9 << 20) + 333}) {
        QTest::addRow("best %d", size) << CopyFn(bestCopy) << size;
        QTest::addRow("sendfile %d", size) << CopyFn(sendFileCopy) << size;
        QTest::addRow("buffer %d", size) << CopyFn(bufferCopy) << size;
    }
}

void tst_FileCopy::copiesContentExactly()
{
    QFETCH(CopyFn, copy);
    QFETCH(int, size);
    const QByteArray bytes = randomBytes(size, quint32(size) + 7);
    QVERIFY(writeFile(path(QStringLiteral("src")), bytes));
    QVERIFY(
        QFile::setPermissions(path(QStringLiteral("src")), QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    QString error;
    QVERIFY2(copy(path(QStringLiteral("src")), path(QStringLiteral("dst")), &error, kAll), qPrintable(error));
    QVERIFY(readFile(path(QStringLiteral("dst"))) == bytes);
    // Exactly the asked permissions despite the umask; the source keeps its own.
    QCOMPARE(TestFiles::fileMode(path(QStringLiteral("dst"))), mode_t(0666));
    QCOMPARE(TestFiles::fileMode(path(QStringLiteral("src"))), mode_t(0600));
}

void tst_FileCopy::neverOverwritesOrFollowsALink()
{
    QVERIFY(writeFile(path(QStringLiteral("src")), "new content"));
    QVERIFY(writeFile(path(QStringLiteral("dst")), "old"));
    QString error;
    QVERIFY(!FileCopy::copyFile(path(QStringLiteral("src")), path(QStringLiteral("dst")), &error, kAll));
    QCOMPARE(error, QStringLiteral("Destination file exists"));
    QCOMPARE(readFile(path(QStringLiteral("dst"))), QByteArray("old"));

    // A link in the destination's place, to an existing or a missing file.
    QVERIFY(writeFile(path(QStringLiteral("victim")), "keep me"));
    QVERIFY(QFile::link(path(QStringLiteral("victim")), path(QStringLiteral("link"))));
    QVERIFY(QFile::link(path(QStringLiteral("nowhere")), path(QStringLiteral("dangling"))));
    QVERIFY(!FileCopy::copyFile(path(QStringLiteral("src")), path(QStringLiteral("link")), &error, kAll));
    QVERIFY(!bufferCopy(path(QStringLiteral("src")), path(QStringLiteral("dangling")), &error, kAll));
    QVERIFY(!sendFileCopy(path(QStringLiteral("src")), path(QStringLiteral("dangling")), &error, kAll));
    QCOMPARE(readFile(path(QStringLiteral("victim"))), QByteArray("keep me"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("nowhere"))));
}

void tst_FileCopy::reasonsForBadSources()
{
    QString error;
    QVERIFY(!FileCopy::copyFile(path(QStringLiteral("missing")), path(QStringLiteral("d1")), &error, kAll));
    QVERIFY2(error.startsWith(QStringLiteral("Cannot open ")) &&
                 error.contains(QStringLiteral("No such file")),
             qPrintable(error));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("d1"))));

    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));
    QVERIFY(!FileCopy::copyFile(path(QStringLiteral("folder")), path(QStringLiteral("d2")), &error, kAll));
    QVERIFY2(error.contains(QStringLiteral("directory")), qPrintable(error));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("d2"))));

    QVERIFY(writeFile(path(QStringLiteral("src")), "x"));
    QVERIFY(!FileCopy::copyFile(path(QStringLiteral("src")), path(QStringLiteral("no/such/dir/d3")), &error,
                                kAll));
    QVERIFY2(error.startsWith(QStringLiteral("Cannot create ")), qPrintable(error));

    QVERIFY(writeFile(path(QStringLiteral("secret")), "x"));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("secret")), QFileDevice::Permissions()));
    {
        NoDacOverride asUser;
        QVERIFY(
            !FileCopy::copyFile(path(QStringLiteral("secret")), path(QStringLiteral("d4")), &error, kAll));
    }
    QVERIFY2(error.contains(QStringLiteral("Permission denied")), qPrintable(error));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("d4"))));
}

void tst_FileCopy::failureHalfWayRemovesThePartialFile()
{
    // A file size limit makes the write fail after the first megabyte.
    const QByteArray bytes = randomBytes(3 << 20, 99);
    QVERIFY(writeFile(path(QStringLiteral("big")), bytes));
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur = 1 << 20;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    const CopyFn ways[] = {bestCopy, sendFileCopy, bufferCopy};
    QStringList errors;
    QVector<bool> results;
    for (int i = 0; i < 3; ++i) {
        QString error;
        results << ways[i](path(QStringLiteral("big")), path(QStringLiteral("d%1").arg(i + 1)), &error, kAll);
        errors << error;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    for (int i = 0; i < 3; ++i) {
        QVERIFY(!results.at(i));
        QVERIFY2(errors.at(i).contains(QStringLiteral("too large")), qPrintable(errors.at(i)));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("d%1").arg(i + 1))));
    }

    // A source that fails on read: the kernel refuses, the loop reads and fails.
    QString error;
    QVERIFY(!FileCopy::copyFile(QStringLiteral("/proc/self/mem"), path(QStringLiteral("d4")), &error, kAll));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("d4"))));
}

QTEST_APPLESS_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
