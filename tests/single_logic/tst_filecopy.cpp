// The image copy: exact content on both paths (kernel copy and buffer loop),
// never overwriting, exact permissions, readable reasons, and no partial file
// left behind when a copy fails half-way.
#include "platform/filecopy.h"
#include "tests/common/testfiles.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

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
    void copies_data();
    void copies();
    void failures_data();
    void failures();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
};

void tst_FileCopy::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_FileCopy::copies_data()
{
    QTest::addColumn<CopyFn>("copy");
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << CopyFn(bestCopy) << 0;
    QTest::newRow("best") << CopyFn(bestCopy) << (9 << 20) + 333;
    QTest::newRow("sendfile") << CopyFn(sendFileCopy) << (9 << 20) + 333;
    QTest::newRow("buffer") << CopyFn(bufferCopy) << (9 << 20) + 333;
}

void tst_FileCopy::copies()
{
    QFETCH(CopyFn, copy);
    QFETCH(int, size);
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(quint32(size) + 7);
    for (char &c : bytes)
        c = char(rng.bounded(256));
    QVERIFY(TestFiles::writeFile(path("src"), bytes));
    QVERIFY(QFile::setPermissions(path("src"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QString error;
    QVERIFY2(copy(path("src"), path("dst"), &error, kAll), qPrintable(error));
    QVERIFY(TestFiles::readFile(path("dst")) == bytes);
    // Exactly the asked permissions despite the umask; the source keeps its own.
    QCOMPARE(TestFiles::fileMode(path("dst")), mode_t(0666));
    QCOMPARE(TestFiles::fileMode(path("src")), mode_t(0600));

    // Never over an existing file, nor through a link, to a file or to nothing.
    QVERIFY(TestFiles::writeFile(path("victim"), "keep me"));
    QVERIFY(QFile::link(path("victim"), path("link")));
    QVERIFY(QFile::link(path("nowhere"), path("dangling")));
    QVERIFY(!copy(path("src"), path("dst"), &error, kAll));
    QCOMPARE(error, QStringLiteral("Destination file exists"));
    QVERIFY(!copy(path("src"), path("link"), &error, kAll));
    QVERIFY(!copy(path("src"), path("dangling"), &error, kAll));
    QCOMPARE(TestFiles::readFile(path("victim")), QByteArray("keep me"));
    QVERIFY(!QFileInfo::exists(path("nowhere")));
}

void tst_FileCopy::failures_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no destination folder") << "src"
                                           << "Cannot create ";
    QTest::newRow("too large half-way") << "big"
                                        << "too large";
    QTest::newRow("read fails") << "/proc/self/mem" << QString();
}

void tst_FileCopy::failures()
{
    QFETCH(QString, source);
    QFETCH(QString, reason);
    QVERIFY(TestFiles::writeFile(path("src"), "x"));
    QVERIFY(TestFiles::writeFile(path("big"), QByteArray(3 << 20, 'b')));
    const QString destination = source == QLatin1String("src") ? path("no/such/dir/dst") : path("dst");
    // A file size limit makes the big file's write fail after the first megabyte.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur = 1 << 20;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    for (CopyFn copy : {bestCopy, sendFileCopy, bufferCopy}) {
        QString error;
        const QString from = source.startsWith(QLatin1Char('/')) ? source : m_dir->filePath(source);
        QVERIFY(!copy(from, destination, &error, kAll));
        QVERIFY2(!error.isEmpty() && error.contains(reason), qPrintable(error));
        QVERIFY(!QFileInfo::exists(destination));
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
}

QTEST_APPLESS_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
