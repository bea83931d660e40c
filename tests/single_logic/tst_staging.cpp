// The staging folder: creation, emptying, which files are collected and in
// which order, the report lines with their exact texts, and the image copy
// underneath (exact content, never over a file or through a link).
#include "platform/filecopy.h"
#include "quorDownload/staging.h"
#include "testfiles.h"
#include "tests/single_logic/nodacoverride.h"

#include <QtTest>

namespace {

using TestFiles::fileMode;
using TestFiles::readFile;
using TestFiles::writeFile;

struct RecordingSink final : StagingSink
{
    QStringList debugs, status, logs, inserts;
    void debug(const QString &t) override { debugs << t; }
    void appendStatus(const QString &t) override { status << t; }
    void insertStatus(const QString &t) override { inserts << t; }
    void runLog(const QString &t) override { logs << t; }
};

PartitionRowChoice row(const char *name, bool checked = true, bool hasBox = true)
{
    return PartitionRowChoice{QString::fromLatin1(name), hasBox, checked};
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

bool chmodPath(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

class tst_Staging : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_tmp; // the current directory while a case runs
    QString m_configDir, m_stagingDir, m_configFile, m_oldCwd;
    QString path(const char *name) const { return m_tmp->filePath(QLatin1String(name)); }
    QVector<Staging::Leftover> stage(RecordingSink &sink, const QVector<PartitionRowChoice> &rows)
    {
        if (Staging::createTmpFolder(m_stagingDir, sink) != 0)
            return {Staging::Leftover{QStringLiteral("no staging folder"), QString()}};
        const QVector<Staging::Leftover> left = Staging::deleteOldFiles(m_stagingDir, sink);
        return Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir,
                                     rows, sink, left);
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_oldCwd = QDir::currentPath();
        QVERIFY(m_tmp->isValid() && QDir::setCurrent(m_tmp->path()));
        m_configDir = path("img/");
        m_configFile = m_configDir + QStringLiteral("board.xml");
        m_stagingDir = m_configDir + QStringLiteral("downloadImageFile");
        QVERIFY(QDir().mkpath(m_configDir) && writeFile(m_configFile, "<partitions/>"));
        for (const char *name : {"a.img", "b.img", "c.img"})
            QVERIFY(writeFile(m_configDir + QLatin1String(name), QByteArray(name).toUpper()));
    }
    void cleanup()
    {
        QDir::setCurrent(m_oldCwd);
        m_tmp.reset();
    }

    void createTmpFolder_data()
    {
        QTest::addColumn<QString>("inTheWay"); // "dir", "file", or a link's target
        QTest::addColumn<QString>("debug");    // empty: refused
        const QString created = QStringLiteral("Folder created successfully.");
        QTest::newRow("folder") << "dir"
                                << "Folder already exists.";
        QTest::newRow("link to a folder") << "precious" << created;
        QTest::newRow("link to a file") << "img/board.xml" << created;
        QTest::newRow("dangling link") << "nowhere" << created;
        QTest::newRow("plain file") << "file" << QString();
    }

    void createTmpFolder()
    {
        QFETCH(QString, inTheWay);
        QFETCH(QString, debug);
        QVERIFY(QDir().mkpath(path("precious")) && writeFile(path("precious/keep.txt"), "keep"));
        if (inTheWay == QLatin1String("dir"))
            QVERIFY(QDir().mkpath(m_stagingDir));
        else if (inTheWay == QLatin1String("file"))
            QVERIFY(writeFile(m_stagingDir, "not a folder"));
        else if (!inTheWay.isEmpty())
            QVERIFY(QFile::link(m_tmp->filePath(inTheWay), m_stagingDir));
        RecordingSink sink;
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), debug.isEmpty() ? -1 : 0);
        QCOMPARE(sink.debugs.value(0), debug);
        QCOMPARE((QFileInfo(m_stagingDir).isDir() && !QFileInfo(m_stagingDir).isSymLink()), !debug.isEmpty());
        // What a link pointed to, or a file in the way, is left alone.
        QCOMPARE((entriesOf(path("precious")) + QStringList{readFile(m_configFile), readFile(m_stagingDir)}),
                 (QStringList{"keep.txt", "<partitions/>", debug.isEmpty() ? "not a folder" : ""}));
    }

    void deleteOldFilesReportsEachEntry()
    {
        QVERIFY(QDir().mkpath(m_stagingDir + QStringLiteral("/sub")));
        for (const char *name : {"/sub/inner.bin", "/a.bin", "/B.bin"})
            QVERIFY(writeFile(m_stagingDir + QLatin1String(name), name));
        QVERIFY(chmodPath(m_stagingDir + QStringLiteral("/B.bin"), 0444));
        // Links to a file outside, soft and hard: removed as links, the file left as it was.
        const QString outside = path("operator.bin");
        QVERIFY(writeFile(outside, "mine") && chmodPath(outside, 0440));
        QVERIFY(QFile::link(outside, m_stagingDir + QStringLiteral("/link.bin")));
        QVERIFY(::link(QFile::encodeName(outside).constData(),
                       QFile::encodeName(m_stagingDir + QStringLiteral("/hard.bin")).constData()) == 0);
        RecordingSink sink;
        {
            NoDacOverride asUser; // removal must work on read-only files without root powers
            Staging::deleteOldFiles(m_stagingDir, sink);
        }
        QCOMPARE(sink.inserts, QStringList{QStringLiteral("Delete the file that already exit before: ")});
        QCOMPARE(sink.status.mid(0, 5), (QStringList{" ", "a.bin deleted!", "B.bin deleted!",
                                                     "hard.bin deleted!", "link.bin deleted!"}));
        QVERIFY2(sink.status.value(5).startsWith(QStringLiteral("sub deleted  failed! Because ")),
                 qPrintable(sink.status.value(5)));
        QCOMPARE(sink.logs, sink.status.mid(1));
        QCOMPARE(entriesOf(m_stagingDir), QStringList{QStringLiteral("sub")});
        QVERIFY(readFile(outside) == "mine" && fileMode(outside) == 0440);
    }

    // Files of the folder that no row names (by name without case; the
    // description file is copied on its own) come first, then checked rows in
    // row order; each bad row gives its failure line and staging goes on.
    void stagingBadRowsGivesFailureLinesAndGoesOn()
    {
        // "board" is named like the description without its suffix; "C.img" differs from a row only in case.
        for (const char *name : {"Notes.txt", "board", "C.img", "d.img"})
            QVERIFY(writeFile(m_configDir + QLatin1String(name), name));
        QVERIFY(chmodPath(m_configDir + QStringLiteral("a.img"), 0640) &&
                chmodPath(m_configDir + QStringLiteral("b.img"), 0));
        QVERIFY(writeFile(path("evil.img"), "outside") && QDir().mkpath(m_configDir + QStringLiteral("sub")));
        QVERIFY(writeFile(m_configDir + QStringLiteral("sub/s.img"), "in a subfolder"));
        const QString fifo = m_configDir + QStringLiteral("pipe.img");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        const QVector<PartitionRowChoice> rows{row("a.img"), row("missing.img"),  row("b.img"),
                                               row("a.img"), row("../evil.img"),  row("sub/s.img"),
                                               row(""),      row("pipe.img"),     row("board.xml"),
                                               row("c.img"), row("d.img", false), row("e.img", true, false)};
        RecordingSink sink;
        // A FIFO named by a row would block the copy until something writes to it.
        QVERIFY(TestFiles::returnsWithoutFifoWriter(fifo, [&] {
            NoDacOverride asUser;
            stage(sink, rows);
        }));
        const QString fail = QStringLiteral(" failed to copy, Becasue ");
        const QStringList expectedStarts{"board is copied successfully",
                                         "C.img is copied successfully",
                                         "Notes.txt is copied successfully",
                                         "a.img is copied successfully",
                                         "missing.img" + fail + "Cannot open",
                                         "b.img" + fail + "Cannot open",
                                         "a.img" + fail + "Destination file exists",
                                         "../evil.img" + fail + "../evil.img is not a plain",
                                         "sub/s.img" + fail + "sub/s.img is not a plain",
                                         fail + "Cannot open",
                                         "pipe.img" + fail,
                                         "board.xml is copied successfully",
                                         "c.img is copied successfully",
                                         "board.xml failed to copy, Because Destination file exists"};
        QCOMPARE(sink.logs.size(), expectedStarts.size());
        for (int i = 0; i < expectedStarts.size(); ++i)
            QVERIFY2(sink.logs.at(i).startsWith(expectedStarts.at(i)), qPrintable(sink.logs.at(i)));
        QCOMPARE(sink.status,
                 QStringList({" ", " ", "copy new file to temporary folder: ", " "}) + sink.logs);
        // The description file's failure says "Becasue" in the debug log only.
        QCOMPARE(sink.debugs.last(),
                 QStringLiteral("board.xml failed to copy, Becasue Destination file exists"));
        QVERIFY(!QFileInfo::exists(m_configDir + QStringLiteral("evil.img")));
        QCOMPARE(entriesOf(m_stagingDir),
                 (QStringList{"C.img", "Notes.txt", "a.img", "board", "board.xml", "c.img"}));
        QCOMPARE(readFile(m_stagingDir + QStringLiteral("/c.img")), QByteArray("C.IMG"));
        // The operator's file keeps its permissions; the staged copy is removable by anyone.
        QCOMPARE(fileMode(m_configDir + QStringLiteral("a.img")), mode_t(0640));
        QCOMPARE(fileMode(m_stagingDir + QStringLiteral("/a.img")), mode_t(0666));
    }

    // An earlier copy that cannot be removed and is not replaced would be burned
    // in place of the chosen image: such files are named, with the reason.
    void earlierCopiesThatStayAreNamed()
    {
        const QVector<PartitionRowChoice> rows{row("a.img"), row("b.img", false), row("missing.img"),
                                               row("c.img")};
        RecordingSink sink;
        QCOMPARE(stage(sink, rows).size(), 0); // a missing source alone is only reported
        QCOMPARE(entriesOf(m_stagingDir), (QStringList{"a.img", "board.xml", "c.img"}));
        // The staging folder cannot be written now: every earlier copy stays.
        QVERIFY(writeFile(m_configDir + QStringLiteral("a.img"), "NEW A") && chmodPath(m_stagingDir, 0555));
        QVector<Staging::Leftover> stale;
        {
            NoDacOverride asUser;
            stale = stage(sink, rows);
        }
        QVERIFY(chmodPath(m_stagingDir, 0755));
        QStringList names;
        for (const Staging::Leftover &file : stale) {
            names << file.name;
            QVERIFY2(!file.reason.isEmpty(), qPrintable(file.name));
        }
        QCOMPARE(names, (QStringList{"a.img", "c.img", "board.xml"}));
        QCOMPARE(readFile(m_stagingDir + QStringLiteral("/a.img")), QByteArray("A.IMG"));
        // A folder of an image's name cannot be removed as a file either.
        QVERIFY(QFile::remove(m_stagingDir + QStringLiteral("/a.img")) &&
                QDir().mkpath(m_stagingDir + QStringLiteral("/a.img/x")));
        stale = stage(sink, rows);
        QCOMPARE(stale.size(), 1);
        QCOMPARE(stale.first().name, QStringLiteral("a.img"));
    }

    void slowerCopyWays()
    {
        // The kernel's copy serves the staging above; these ways take over where it is refused.
        QByteArray bytes((9 << 20) + 333, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + i / 4099);
        QVERIFY(writeFile(QStringLiteral("src"), bytes));
        for (const auto method : {FileCopy::Method::SendFile, FileCopy::Method::Buffer}) {
            QString error, dst = QStringLiteral("dst%1").arg(int(method));
            QVERIFY2(FileCopy::copyFileUsing(method, QStringLiteral("src"), dst, &error,
                                             Staging::kStagedPermissions),
                     qPrintable(error));
            QVERIFY(readFile(dst) == bytes && fileMode(dst) == 0666);
            QVERIFY(!FileCopy::copyFileUsing(method, QStringLiteral("src"), dst, &error,
                                             Staging::kStagedPermissions));
        }
    }
};

QTEST_APPLESS_MAIN(tst_Staging)
#include "tst_staging.moc"
