// The staging folder: creation, emptying, which files are collected and in
// which order, the report lines with their exact texts, and the run log.
#include "quorDownload/runlog.h"
#include "quorDownload/staging.h"
#include "tests/common/testfiles.h"
#include "tests/single_logic/nodacoverride.h"

#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    return TestFiles::readFile(path, "<unreadable>");
}

using TestFiles::writeFile;

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

PartitionRowChoice row(const char *name, bool checked, bool hasBox = true)
{
    PartitionRowChoice r;
    r.fileName = QString::fromLatin1(name);
    r.hasCheckBox = hasBox;
    r.checked = checked;
    return r;
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// Captures what is written to standard output while it lives.
class StdoutCapture final
{
public:
    explicit StdoutCapture(const QString &file)
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutCapture()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

private:
    int m_saved;
};

} // namespace

class tst_Staging : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void createTmpFolderFindsCreatesOrRefuses();
    void deleteOldFilesReportsEachEntry();
    void collectTakesUnnamedFilesThenCheckedRows();
    void copyStagesExactlyTheChosenFiles();
    void secondRunShowsNoFalseFailures();
    void badRowsGiveFailureLinesAndTheRestGoesOn();
    void caseDifferentNamesDoNotMatch();
    void descriptionFileFailureUsesBothSpellings();
    void appendLogWritesOneRecordPerCall();
    void linkedStagingFolderIsReplacedNotWorkedThrough();
    void hardLinkedFileKeepsItsMode();
    void specialFileIsRefusedWithoutWaiting();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_configDir; // ends with '/'
    QString m_stagingDir;
    QString m_configFile;
    QString m_oldCwd;

    void makeDescriptionFolder();
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
    QVERIFY(QDir(m_tmp->path()).mkdir(QStringLiteral("img")));
    m_configDir = m_tmp->path() + QStringLiteral("/img/");
    m_configFile = m_configDir + QStringLiteral("board.xml");
    m_stagingDir = m_configDir + QStringLiteral("downloadImageFile");
}

void tst_Staging::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    // Make whatever a test locked down removable again.
    QDirIterator it(m_tmp->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    ::chmod(QFile::encodeName(m_tmp->path()).constData(), 0755);
    while (it.hasNext()) {
        const QString p = it.next();
        if (!QFileInfo(p).isSymLink())
            ::chmod(QFile::encodeName(p).constData(), QFileInfo(p).isDir() ? 0755 : 0644);
    }
    m_tmp.reset();
}

void tst_Staging::makeDescriptionFolder()
{
    QVERIFY(writeFile(m_configFile, "<partitions/>"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("a.img"), "AAAA"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("b.img"), "BBBB"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("c.img"), "CCCC"));
}

void tst_Staging::createTmpFolderFindsCreatesOrRefuses()
{
    RecordingSink sink;
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
    QVERIFY(QFileInfo(m_stagingDir).isDir());
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
    QCOMPARE(sink.debugs, (QStringList{QStringLiteral("Folder created successfully."),
                                       QStringLiteral("Folder already exists.")}));

    // A plain file of that name in the way.
    const QString blocked = m_tmp->path() + QStringLiteral("/other/downloadImageFile");
    QVERIFY(QDir(m_tmp->path()).mkdir(QStringLiteral("other")));
    QVERIFY(writeFile(blocked, "not a folder"));
    RecordingSink blockedSink;
    const QString out = m_tmp->path() + QStringLiteral("/stdout.txt");
    int result = 0;
    {
        StdoutCapture capture(out);
        result = Staging::createTmpFolder(blocked, blockedSink);
    }
    QCOMPARE(result, -1);
    QCOMPARE(readFile(out), QByteArray("Failed to create folder.\n"));
    QVERIFY(blockedSink.debugs.isEmpty());
    QCOMPARE(readFile(blocked), QByteArray("not a folder"));

    // A read-only description folder.
    QVERIFY(QDir(m_tmp->path()).mkdir(QStringLiteral("ro")));
    QVERIFY(::chmod(QFile::encodeName(m_tmp->path() + QStringLiteral("/ro")).constData(), 0555) == 0);
    {
        NoDacOverride asUser;
        StdoutCapture capture(out);
        result =
            Staging::createTmpFolder(m_tmp->path() + QStringLiteral("/ro/downloadImageFile"), blockedSink);
    }
    QCOMPARE(result, -1);
    QVERIFY(!QFileInfo::exists(m_tmp->path() + QStringLiteral("/ro/downloadImageFile")));
}

void tst_Staging::deleteOldFilesReportsEachEntry()
{
    QVERIFY(QDir().mkpath(m_stagingDir + QStringLiteral("/sub")));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/sub/inner.bin"), "inner"));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/a.bin"), "a"));
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/B.bin"), "b"));
    QVERIFY(::chmod(QFile::encodeName(m_stagingDir + QStringLiteral("/B.bin")).constData(), 0444) == 0);
    // A link to a file outside: removed as a link, its target left as it was.
    const QString outside = m_tmp->path() + QStringLiteral("/operator.bin");
    QVERIFY(writeFile(outside, "mine"));
    QVERIFY(::chmod(QFile::encodeName(outside).constData(), 0640) == 0);
    QVERIFY(QFile::link(outside, m_stagingDir + QStringLiteral("/link.bin")));

    RecordingSink sink;
    Staging::deleteOldFiles(m_stagingDir, sink);

    QCOMPARE(sink.events.mid(0, 2),
             (QStringList{QStringLiteral("insert:Delete the file that already exit before: "),
                          QStringLiteral("append: ")}));
    QCOMPARE(sink.status.size(), 5);
    QCOMPARE(sink.status.mid(1, 3),
             (QStringList{QStringLiteral("a.bin deleted!"), QStringLiteral("B.bin deleted!"),
                          QStringLiteral("link.bin deleted!")}));
    QVERIFY2(sink.status.at(4).startsWith(QStringLiteral("sub deleted  failed! Because ")),
             qPrintable(sink.status.at(4)));
    QVERIFY(sink.status.at(4).size() > QStringLiteral("sub deleted  failed! Because ").size());
    QCOMPARE(sink.logs, sink.status.mid(1));
    QVERIFY(sink.debugs.contains(QStringLiteral("fileName：a.bin")));
    QVERIFY(sink.debugs.contains(QStringLiteral("isDir：true")));
    QVERIFY(sink.debugs.contains(QString(25, QLatin1Char('-'))));
    QVERIFY(std::any_of(sink.debugs.cbegin(), sink.debugs.cend(), [](const QString &d) {
        return d.startsWith(QStringLiteral("sub delete failed! Becasue "));
    }));

    QCOMPARE(entriesOf(m_stagingDir), QStringList{QStringLiteral("sub")});
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/sub/inner.bin")), QByteArray("inner"));
    QCOMPARE(TestFiles::fileMode(m_stagingDir + QStringLiteral("/sub")), mode_t(0755)); // still traversable
    QCOMPARE(readFile(outside), QByteArray("mine"));
    QCOMPARE(TestFiles::fileMode(outside), mode_t(0640));
}

void tst_Staging::collectTakesUnnamedFilesThenCheckedRows()
{
    makeDescriptionFolder();
    QVERIFY(writeFile(m_configDir + QStringLiteral("Notes.txt"), "n"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("extra.bin"), "e"));
    QVERIFY(QDir(m_configDir).mkdir(QStringLiteral("folder")));
    const QVector<PartitionRowChoice> rows{row("c.img", true), row("b.img", false), row("a.img", true),
                                           row("d.img", true, false), row("", true)};
    RecordingSink sink;
    const QStringList files = Staging::collectNewFiles(m_configFile, QStringLiteral("board.xml"), rows, sink);
    // Folder files no row names, by name without case; then checked rows in row order.
    QCOMPARE(files, (QStringList{QStringLiteral("extra.bin"), QStringLiteral("Notes.txt"),
                                 QStringLiteral("c.img"), QStringLiteral("a.img"), QString()}));
    QCOMPARE(sink.debugs.first(), QStringLiteral("file: extra.bin"));
    QCOMPARE(sink.debugs.size(), files.size());
}

void tst_Staging::copyStagesExactlyTheChosenFiles()
{
    makeDescriptionFolder();
    QVERIFY(::chmod(QFile::encodeName(m_configDir + QStringLiteral("a.img")).constData(), 0640) == 0);
    const QVector<PartitionRowChoice> rows{row("a.img", true), row("b.img", false), row("c.img", true)};
    RecordingSink sink;
    stage(sink, rows);

    QCOMPARE(entriesOf(m_stagingDir),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/c.img")), QByteArray("CCCC"));
    QCOMPARE(sink.status, (QStringList{QStringLiteral(" "), QStringLiteral(" "),
                                       QStringLiteral("copy new file to temporary folder: "),
                                       QStringLiteral(" "), QStringLiteral("a.img is copied successfully"),
                                       QStringLiteral("c.img is copied successfully"),
                                       QStringLiteral("board.xml is copied successfully")}));
    QCOMPARE(sink.logs, sink.status.mid(4));
    // The operator's file keeps its permissions; the staged copy is removable by anyone.
    QCOMPARE(TestFiles::fileMode(m_configDir + QStringLiteral("a.img")), mode_t(0640));
    QCOMPARE(TestFiles::fileMode(m_stagingDir + QStringLiteral("/a.img")), mode_t(0666));
}

void tst_Staging::secondRunShowsNoFalseFailures()
{
    makeDescriptionFolder();
    const QVector<PartitionRowChoice> rows{row("a.img", true), row("b.img", true), row("c.img", false)};
    RecordingSink first;
    stage(first, rows);
    QVERIFY(QFile::setPermissions(m_stagingDir + QStringLiteral("/a.img"), QFileDevice::ReadOwner));
    RecordingSink second;
    {
        NoDacOverride asUser; // removal must work on a read-only staged file without root powers
        stage(second, rows);
    }
    QCOMPARE(second.logs, (QStringList{QStringLiteral("a.img deleted!"), QStringLiteral("b.img deleted!"),
                                       QStringLiteral("board.xml deleted!"),
                                       QStringLiteral("a.img is copied successfully"),
                                       QStringLiteral("b.img is copied successfully"),
                                       QStringLiteral("board.xml is copied successfully")}));
    QCOMPARE(entriesOf(m_stagingDir),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("b.img"), QStringLiteral("board.xml")}));
}

void tst_Staging::badRowsGiveFailureLinesAndTheRestGoesOn()
{
    makeDescriptionFolder();
    QVERIFY(QFile::setPermissions(m_configDir + QStringLiteral("b.img"), QFileDevice::Permissions()));
    QVERIFY(writeFile(m_tmp->path() + QStringLiteral("/evil.img"), "outside"));
    const QVector<PartitionRowChoice> rows{row("a.img", true), row("missing.img", true), row("b.img", true),
                                           row("a.img", true), row("../evil.img", true), row("", true),
                                           row("c.img", true)};
    RecordingSink sink;
    {
        NoDacOverride asUser;
        stage(sink, rows);
    }
    const QString fail = QStringLiteral(" failed to copy, Becasue ");
    QCOMPARE(sink.logs.size(), 8);
    QCOMPARE(sink.logs.at(0), QStringLiteral("a.img is copied successfully"));
    QVERIFY2(sink.logs.at(1).startsWith(QStringLiteral("missing.img") + fail) &&
                 sink.logs.at(1).contains(QStringLiteral("No such file")),
             qPrintable(sink.logs.at(1)));
    QVERIFY2(sink.logs.at(2).startsWith(QStringLiteral("b.img") + fail) &&
                 sink.logs.at(2).contains(QStringLiteral("Permission denied")),
             qPrintable(sink.logs.at(2)));
    QCOMPARE(sink.logs.at(3), QStringLiteral("a.img") + fail + QStringLiteral("Destination file exists"));
    QVERIFY2(sink.logs.at(4).startsWith(QStringLiteral("../evil.img") + fail), qPrintable(sink.logs.at(4)));
    QVERIFY2(sink.logs.at(5).startsWith(fail), qPrintable(sink.logs.at(5)));
    QCOMPARE(sink.logs.at(6), QStringLiteral("c.img is copied successfully"));
    // The description file still follows the rows.
    QCOMPARE(sink.logs.at(7), QStringLiteral("board.xml is copied successfully"));
    // Nothing was written outside the staging folder.
    QVERIFY(!QFileInfo::exists(m_configDir + QStringLiteral("evil.img")));
    QCOMPARE(entriesOf(m_stagingDir),
             (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml"), QStringLiteral("c.img")}));
}

void tst_Staging::caseDifferentNamesDoNotMatch()
{
    QVERIFY(writeFile(m_configFile, "<partitions/>"));
    QVERIFY(writeFile(m_configDir + QStringLiteral("Boot.img"), "boot"));
    RecordingSink unchecked;
    stage(unchecked, {row("boot.img", false)});
    QCOMPARE(unchecked.logs.mid(0, 1), QStringList{QStringLiteral("Boot.img is copied successfully")});

    RecordingSink checked;
    stage(checked, {row("boot.img", true)});
    QCOMPARE(checked.logs.at(1), QStringLiteral("Boot.img deleted!"));
    QCOMPARE(checked.logs.at(2), QStringLiteral("Boot.img is copied successfully"));
    QVERIFY2(checked.logs.at(3).startsWith(QStringLiteral("boot.img failed to copy, Becasue ")),
             qPrintable(checked.logs.at(3)));
}

void tst_Staging::descriptionFileFailureUsesBothSpellings()
{
    makeDescriptionFolder();
    RecordingSink sink;
    QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
    QVERIFY(writeFile(m_stagingDir + QStringLiteral("/board.xml"), "stale"));
    Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir, {}, sink);
    const QString expected = QStringLiteral("board.xml failed to copy, Because Destination file exists");
    QCOMPARE(sink.status.last(), expected);
    QCOMPARE(sink.logs.last(), expected);
    QCOMPARE(sink.debugs.last(), QStringLiteral("board.xml failed to copy, Becasue Destination file exists"));
    QCOMPARE(readFile(m_stagingDir + QStringLiteral("/board.xml")), QByteArray("stale"));
}

void tst_Staging::appendLogWritesOneRecordPerCall()
{
    RunLog::appendLog(QStringLiteral("first"));
    RunLog::appendLog(QStringLiteral("with cr\r"));
    RunLog::appendLog(QString());
    RunLog::appendLog(QStringLiteral("last"));
    QCOMPARE(readFile(QStringLiteral("log_singel.txt")), QByteArray("first\nwith cr\r\n\nlast\n"));

    // A log that cannot be opened loses the line and nothing else happens.
    QVERIFY(QFile::remove(QStringLiteral("log_singel.txt")));
    QVERIFY(QDir().mkdir(QStringLiteral("log_singel.txt")));
    RunLog::appendLog(QStringLiteral("lost"));
    QVERIFY(QFileInfo(QStringLiteral("log_singel.txt")).isDir());
}

void tst_Staging::linkedStagingFolderIsReplacedNotWorkedThrough()
{
    // downloadImageFile planted as a link to the operator's own folder.
    makeDescriptionFolder();
    const QString precious = m_tmp->path() + QStringLiteral("/precious");
    QVERIFY(QDir().mkpath(precious));
    QVERIFY(writeFile(precious + QStringLiteral("/keep.txt"), "keep"));
    QVERIFY(QFile::link(precious, m_stagingDir));

    RecordingSink sink;
    stage(sink, {row("a.img", true), row("b.img", false), row("c.img", false)});

    QCOMPARE(entriesOf(precious), QStringList{QStringLiteral("keep.txt")});
    QCOMPARE(readFile(precious + QStringLiteral("/keep.txt")), QByteArray("keep"));
    QVERIFY(!QFileInfo(m_stagingDir).isSymLink());
    QVERIFY(QFileInfo(m_stagingDir).isDir());
    QCOMPARE(entriesOf(m_stagingDir), (QStringList{QStringLiteral("a.img"), QStringLiteral("board.xml")}));
    QCOMPARE(sink.debugs.first(), QStringLiteral("Folder created successfully."));

    // A link to a file, or one that points nowhere, goes the same way.
    for (const QString &target : QStringList{m_configFile, m_tmp->path() + QStringLiteral("/nowhere")}) {
        QVERIFY(QDir(m_stagingDir).removeRecursively());
        QVERIFY(QFile::link(target, m_stagingDir));
        RecordingSink again;
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, again), 0);
        QVERIFY(QFileInfo(m_stagingDir).isDir() && !QFileInfo(m_stagingDir).isSymLink());
    }
    QCOMPARE(readFile(m_configFile), QByteArray("<partitions/>"));
}

void tst_Staging::hardLinkedFileKeepsItsMode()
{
    // A hard link in the staging folder to a read-only file elsewhere: emptying
    // the folder removes the link and must not make the other file writable.
    const QString outside = m_tmp->path() + QStringLiteral("/readonly.bin");
    QVERIFY(writeFile(outside, "original"));
    QVERIFY(::chmod(QFile::encodeName(outside).constData(), 0444) == 0);
    QVERIFY(QDir().mkpath(m_stagingDir));
    QVERIFY(::link(QFile::encodeName(outside).constData(),
                   QFile::encodeName(m_stagingDir + QStringLiteral("/hard.bin")).constData()) == 0);

    RecordingSink sink;
    Staging::deleteOldFiles(m_stagingDir, sink);

    QCOMPARE(sink.logs, QStringList{QStringLiteral("hard.bin deleted!")});
    QVERIFY(entriesOf(m_stagingDir).isEmpty());
    QCOMPARE(TestFiles::fileMode(outside), mode_t(0444));
    QCOMPARE(readFile(outside), QByteArray("original"));
}

void tst_Staging::specialFileIsRefusedWithoutWaiting()
{
    // A FIFO named by a checked row would block the copy until something writes to it.
    makeDescriptionFolder();
    const QString fifo = m_configDir + QStringLiteral("pipe.img");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
    RecordingSink sink;
    QVERIFY(TestFiles::returnsWithoutFifoWriter(fifo, [&] {
        stage(sink, {row("pipe.img", true), row("a.img", true)});
    }));
    const QString failed = QStringLiteral("pipe.img failed to copy, Becasue ");
    QVERIFY(std::any_of(sink.logs.cbegin(), sink.logs.cend(),
                        [&](const QString &l) { return l.startsWith(failed); }));
    QVERIFY(sink.logs.contains(QStringLiteral("a.img is copied successfully")));
    QVERIFY(!QFileInfo::exists(m_stagingDir + QStringLiteral("/pipe.img")));
}

QTEST_APPLESS_MAIN(tst_Staging)
#include "tst_staging.moc"
