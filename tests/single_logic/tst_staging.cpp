// The staging folder: creation, emptying, which files are collected and in
// which order, the report lines with their exact texts, and the run log.
#include "quorDownload/runlog.h"
#include "quorDownload/staging.h"
#include "tests/common/testfiles.h"
#include "tests/single_logic/nodacoverride.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using TestFiles::fileMode;
using TestFiles::writeFile;

QByteArray readFile(const QString &path)
{
    return TestFiles::readFile(path, "<unreadable>");
}

struct RecordingSink final : StagingSink
{
    QStringList debugs, status, logs, events;
    void debug(const QString &t) override { debugs << t; }
    void appendStatus(const QString &t) override
    {
        status << t;
        events << QStringLiteral("append:") + t;
    }
    void insertStatus(const QString &t) override { events << QStringLiteral("insert:") + t; }
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
private slots:
    void init();
    void cleanup();
    void createTmpFolderFindsCreatesOrReplacesALink();
    void deleteOldFilesReportsEachEntry();
    void collectTakesUnnamedFilesThenCheckedRows();
    void copyStagesExactlyTheChosenFilesTwice();
    void badRowsGiveFailureLinesAndTheRestGoesOn();
    void appendLogWritesOneRecordPerCall();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_configDir; // ends with '/'
    QString m_stagingDir;
    QString m_configFile;
    QString m_oldCwd;

    void stage(RecordingSink &sink, const QVector<PartitionRowChoice> &rows)
    {
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
        Staging::deleteOldFiles(m_stagingDir, sink);
        Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir, rows,
                              sink);
    }
};

void tst_Staging::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    m_configDir = m_tmp->path() + QStringLiteral("/img/");
    m_configFile = m_configDir + QStringLiteral("board.xml");
    m_stagingDir = m_configDir + QStringLiteral("downloadImageFile");
    QVERIFY(QDir().mkpath(m_configDir));
    QVERIFY(writeFile(m_configFile, "<partitions/>"));
    for (const char *name : {"a.img", "b.img", "c.img"})
        QVERIFY(writeFile(m_configDir + QLatin1String(name), QByteArray(name).toUpper()));
}

void tst_Staging::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    // Make whatever a test locked down removable again.
    QDirIterator it(m_tmp->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (!QFileInfo(p).isSymLink())
            chmodPath(p, QFileInfo(p).isDir() ? 0755 : 0644);
    }
    m_tmp.reset();
}

void tst_Staging::createTmpFolderFindsCreatesOrReplacesALink()
{
    RecordingSink sink;
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
    QVERIFY(QFileInfo(m_stagingDir).isDir());
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
    QCOMPARE(sink.debugs, (QStringList{QStringLiteral("Folder created successfully."),
                                       QStringLiteral("Folder already exists.")}));

    // A link in its place, to the operator's folder, to a file or to nothing,
    // is replaced by a real folder; what it pointed to is left alone.
    const QString precious = m_tmp->path() + QStringLiteral("/precious");
    QVERIFY(QDir().mkpath(precious));
    QVERIFY(writeFile(precious + QStringLiteral("/keep.txt"), "keep"));
    for (const QString &target :
         QStringList{precious, m_configFile, m_tmp->path() + QStringLiteral("/nowhere")}) {
        QVERIFY(QDir(m_stagingDir).removeRecursively());
        QVERIFY(QFile::link(target, m_stagingDir));
        RecordingSink again;
        stage(again, {row("a.img"), row("b.img", false), row("c.img", false)});
        QCOMPARE(again.debugs.first(), QStringLiteral("Folder created successfully."));
        QVERIFY(QFileInfo(m_stagingDir).isDir() && !QFileInfo(m_stagingDir).isSymLink());
        QCOMPARE(entriesOf(m_stagingDir),
                 (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml")}));
    }
    QCOMPARE(entriesOf(precious), QStringList{QStringLiteral("keep.txt")});
    QCOMPARE(readFile(m_configFile), QByteArray("<partitions/>"));

    // A plain file in the way: refused and left as it was.
    QVERIFY(QDir(m_stagingDir).removeRecursively());
    QVERIFY(writeFile(m_stagingDir, "not a folder"));
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), -1);
    QCOMPARE(readFile(m_stagingDir), QByteArray("not a folder"));
}

void tst_Staging::deleteOldFilesReportsEachEntry()
{
    QVERIFY(QDir().mkpath(m_stagingDir + QStringLiteral("/sub")));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/sub/inner.bin"), "inner"));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/a.bin"), "a"));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/B.bin"), "b"));
    QVERIFY(chmodPath(m_stagingDir + QStringLiteral("/B.bin"), 0444));
    // Links to a file outside, soft and hard: removed as links, the file left as it was.
    const QString outside = m_tmp->path() + QStringLiteral("/operator.bin");
    QVERIFY(writeFile(outside, "mine"));
    QVERIFY(chmodPath(outside, 0440));
    QVERIFY(QFile::link(outside, m_stagingDir + QStringLiteral("/link.bin")));
    QVERIFY(::link(QFile::encodeName(outside).constData(),
                   QFile::encodeName(m_stagingDir + QStringLiteral("/hard.bin")).constData()) == 0);

    RecordingSink sink;
    {
        NoDacOverride asUser; // removal must work on read-only files without root powers
        Staging::deleteOldFiles(m_stagingDir, sink);
    }
    QCOMPARE(sink.events.mid(0, 2),
             (QStringList{QStringLiteral("insert:Delete the file that already exit before: "),
                          QStringLiteral("append: ")}));
    QCOMPARE(
        sink.status.mid(0, 5),
        (QStringList{QStringLiteral(" "), QStringLiteral("a.bin deleted!"), QStringLiteral("B.bin deleted!"),
                     QStringLiteral("hard.bin deleted!"), QStringLiteral("link.bin deleted!")}));
    QVERIFY2(sink.status.at(5).startsWith(QStringLiteral("sub deleted  failed! Because ")) &&
                 sink.status.at(5).size() > 30,
             qPrintable(sink.status.at(5)));
    QCOMPARE(sink.logs, sink.status.mid(1));
    QVERIFY(sink.debugs.contains(QStringLiteral("fileName：a.bin")));
    QVERIFY(sink.debugs.contains(QStringLiteral("isDir：true")));
    QVERIFY(std::any_of(sink.debugs.cbegin(), sink.debugs.cend(), [](const QString &d) {
        return d.startsWith(QStringLiteral("sub delete failed! Becasue "));
    }));

    QCOMPARE(entriesOf(m_stagingDir), QStringList{QStringLiteral("sub")});
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/sub/inner.bin")), QByteArray("inner"));
    QCOMPARE(readFile(outside), QByteArray("mine"));
    QCOMPARE(fileMode(outside), mode_t(0440));
}

void tst_Staging::collectTakesUnnamedFilesThenCheckedRows()
{
    QVERIFY(writeFile(m_configDir + QStringLiteral("Notes.txt"), "n"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("board"),
                      "a file named like the description without its suffix"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("C.img"), "names differing in case do not match"));
    QVERIFY(QDir(m_configDir).mkdir(QStringLiteral("folder")));
    const QVector<PartitionRowChoice> rows{row("c.img"), row("b.img", false), row("a.img"),
                                           row("d.img", true, false), row("")};
    RecordingSink sink;
    const QStringList files = Staging::collectNewFiles(m_configFile, QStringLiteral("board.xml"), rows, sink);
    // Folder files no row names, by name without case (the description file
    // is copied on its own); then checked rows in row order.
    QCOMPARE(files,
             (QStringList{QStringLiteral("board"), QStringLiteral("C.img"), QStringLiteral("Notes.txt"),
                          QStringLiteral("c.img"), QStringLiteral("a.img"), QString()}));
    QCOMPARE(sink.debugs.first(), QStringLiteral("file: board"));
    QCOMPARE(sink.debugs.size(), files.size());
}

void tst_Staging::copyStagesExactlyTheChosenFilesTwice()
{
    QVERIFY(chmodPath(m_configDir + QStringLiteral("a.img"), 0640));
    const QVector<PartitionRowChoice> rows{row("a.img"), row("b.img", false), row("c.img")};
    RecordingSink sink;
    stage(sink, rows);
    QCOMPARE(entriesOf(m_stagingDir),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/c.img")), QByteArray("C.IMG"));
    QCOMPARE(sink.status, (QStringList{QStringLiteral(" "), QStringLiteral(" "),
                                       QStringLiteral("copy new file to temporary folder: "),
                                       QStringLiteral(" "), QStringLiteral("a.img is copied successfully"),
                                       QStringLiteral("c.img is copied successfully"),
                                       QStringLiteral("board.xml is copied successfully")}));
    QCOMPARE(sink.logs, sink.status.mid(4));
    // The operator's file keeps its permissions; the staged copy is removable by anyone.
    QCOMPARE(fileMode(m_configDir + QStringLiteral("a.img")), mode_t(0640));
    QCOMPARE(fileMode(m_stagingDir + QStringLiteral("/a.img")), mode_t(0666));

    // The second run empties the folder first: no false failures.
    QVERIFY(chmodPath(m_stagingDir + QStringLiteral("/a.img"), 0400));
    RecordingSink second;
    {
        NoDacOverride asUser;
        stage(second, rows);
    }
    QCOMPARE(second.logs, (QStringList{QStringLiteral("a.img deleted!"), QStringLiteral("board.xml deleted!"),
                                       QStringLiteral("c.img deleted!")}) +
                              sink.logs);
}

void tst_Staging::badRowsGiveFailureLinesAndTheRestGoesOn()
{
    QVERIFY(QFile::setPermissions(m_configDir + QStringLiteral("b.img"), QFileDevice::Permissions()));
    QVERIFY(writeFile(m_tmp->path() + QStringLiteral("/evil.img"), "outside"));
    QVERIFY(QDir().mkpath(m_configDir + QStringLiteral("sub")));
    QVERIFY(writeFile(m_configDir + QStringLiteral("sub/s.img"), "in a subfolder"));
    const QString fifo = m_configDir + QStringLiteral("pipe.img");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
    const QVector<PartitionRowChoice> rows{row("a.img"), row("missing.img"), row("b.img"),
                                           row("a.img"), row("../evil.img"), row("sub/s.img"),
                                           row(""),      row("pipe.img"),    row("c.img")};
    QVERIFY(QDir().mkpath(m_stagingDir));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/board.xml"), "stale")); // not emptied here
    RecordingSink sink;
    // A FIFO named by a row would block the copy until something writes to it.
    QVERIFY(TestFiles::returnsWithoutFifoWriter(fifo, [&] {
        NoDacOverride asUser;
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
        Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir, rows,
                              sink);
    }));
    const QString fail = QStringLiteral(" failed to copy, Becasue ");
    const QStringList expectedStarts{
        QStringLiteral("a.img is copied successfully"),
        QStringLiteral("missing.img") + fail + QStringLiteral("Cannot open"),
        QStringLiteral("b.img") + fail + QStringLiteral("Cannot open"),
        QStringLiteral("a.img") + fail + QStringLiteral("Destination file exists"),
        QStringLiteral("../evil.img") + fail + QStringLiteral("../evil.img is not a plain"),
        QStringLiteral("sub/s.img") + fail + QStringLiteral("sub/s.img is not a plain"),
        fail + QStringLiteral("Cannot open"),
        QStringLiteral("pipe.img") + fail,
        QStringLiteral("c.img is copied successfully"),
        QStringLiteral("board.xml failed to copy, Because Destination file exists")};
    QCOMPARE(sink.logs.size(), expectedStarts.size());
    for (int i = 0; i < expectedStarts.size(); ++i)
        QVERIFY2(sink.logs.at(i).startsWith(expectedStarts.at(i)), qPrintable(sink.logs.at(i)));
    QCOMPARE(sink.status.mid(3), sink.logs);
    // The description file's failure says "Becasue" in the debug log only.
    QCOMPARE(sink.debugs.last(), QStringLiteral("board.xml failed to copy, Becasue Destination file exists"));
    // Nothing was written outside the staging folder, nor through a row's folder part.
    QVERIFY(!QFileInfo::exists(m_configDir + QStringLiteral("evil.img")));
    QCOMPARE(entriesOf(m_stagingDir),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/board.xml")), QByteArray("stale"));
}

void tst_Staging::appendLogWritesOneRecordPerCall()
{
    for (const QString &line :
         {QStringLiteral("first"), QStringLiteral("with cr\r"), QString(), QStringLiteral("last")})
        RunLog::appendLog(line);
    QCOMPARE(readFile(QStringLiteral("log_singel.txt")), QByteArray("first\nwith cr\r\n\nlast\n"));

    // A log that cannot be opened loses the line and nothing else happens.
    QVERIFY(QFile::remove(QStringLiteral("log_singel.txt")));
    QVERIFY(QDir().mkdir(QStringLiteral("log_singel.txt")));
    RunLog::appendLog(QStringLiteral("lost"));
    QVERIFY(QFileInfo(QStringLiteral("log_singel.txt")).isDir());
}

QTEST_APPLESS_MAIN(tst_Staging)
#include "tst_staging.moc"
