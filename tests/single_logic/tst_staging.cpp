// The staging folder: creation, emptying, which files are collected and in
// which order, the report lines with their exact texts, and the image copy
// underneath (exact content, never over a file or through a link). The
// description file's reader and the paths derived from the chosen file;
// Board_config.ini's reader where a FIFO is in its place.
#include "common/boardconfig.h"
#include "platform/filecopy.h"
#include "quorDownload/descriptionpaths.h"
#include "quorDownload/partitionfile.h"
#include "quorDownload/staging.h"
#include "testfiles.h"
#include "tests/single_logic/nodacoverride.h"

#include <QBuffer>
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

    // A file in the staging folder's place is refused and left as it was; a link there is removed as a
    // link, what it points to left alone, and a real folder made, which is then found.
    void createTmpFolder()
    {
        QVERIFY(QDir().mkpath(path("precious")) && writeFile(path("precious/keep.txt"), "keep"));
        QVERIFY(writeFile(m_stagingDir, "not a folder"));
        RecordingSink sink;
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), -1);
        QCOMPARE(readFile(m_stagingDir), QByteArray("not a folder"));
        QVERIFY(QFile::remove(m_stagingDir) && QFile::link(path("precious"), m_stagingDir));
        QVERIFY(Staging::createTmpFolder(m_stagingDir, sink) == 0 &&
                Staging::createTmpFolder(m_stagingDir, sink) == 0);
        QCOMPARE(sink.debugs, (QStringList{"Folder created successfully.", "Folder already exists."}));
        QVERIFY(QFileInfo(m_stagingDir).isDir() && !QFileInfo(m_stagingDir).isSymLink());
        QCOMPARE(entriesOf(path("precious")), QStringList{QStringLiteral("keep.txt")});
    }

    // Every entry is reported. One that stays (a folder that is not empty) is named when its copy fails
    // too, as a row's file and as the description file: it would be burned in place of the chosen one.
    void deleteOldFilesReportsEachEntry()
    {
        QVERIFY(QDir().mkpath(m_stagingDir + QStringLiteral("/board.xml")));
        for (const char *name : {"/board.xml/inner.bin", "/a.bin", "/B.bin"})
            QVERIFY(writeFile(m_stagingDir + QLatin1String(name), name));
        QVERIFY(chmodPath(m_stagingDir + QStringLiteral("/B.bin"), 0444));
        // Links to a file outside, soft and hard: removed as links, the file left as it was.
        const QString outside = path("operator.bin");
        QVERIFY(writeFile(outside, "mine") && chmodPath(outside, 0440));
        QVERIFY(QFile::link(outside, m_stagingDir + QStringLiteral("/link.bin")));
        QVERIFY(::link(QFile::encodeName(outside).constData(),
                       QFile::encodeName(m_stagingDir + QStringLiteral("/hard.bin")).constData()) == 0);
        RecordingSink sink;
        QVector<Staging::Leftover> left;
        {
            NoDacOverride asUser; // removal must work on read-only files without root powers
            left = Staging::deleteOldFiles(m_stagingDir, sink);
        }
        const QString reason = left.value(0).reason;
        QVERIFY(left.size() == 1 && !reason.isEmpty());
        QCOMPARE(sink.inserts, QStringList{QStringLiteral("Delete the file that already exit before: ")});
        QCOMPARE(sink.status, (QStringList{" ", "a.bin deleted!", "B.bin deleted!",
                                           "board.xml deleted  failed! Because " + reason,
                                           "hard.bin deleted!", "link.bin deleted!"}));
        QCOMPARE(sink.logs, sink.status.mid(1));
        QCOMPARE(entriesOf(m_stagingDir), QStringList{QStringLiteral("board.xml")});
        QVERIFY(readFile(outside) == "mine" && fileMode(outside) == 0440);
        const QVector<Staging::Leftover> stale =
            Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir,
                                  {row("a.img"), row("missing.img"), row("board.xml")}, sink, left);
        QCOMPARE(stale.size(), 2); // a missing source alone is only reported
        for (const Staging::Leftover &file : stale)
            QVERIFY(file.name == QLatin1String("board.xml") && file.reason == reason);
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
        // A subfolder is not collected; a row's name with a folder part is refused.
        QVERIFY(writeFile(path("evil.img"), "outside") && QDir().mkpath(m_configDir + QStringLiteral("sub")));
        const QString fifo = m_configDir + QStringLiteral("pipe.img");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        const QVector<PartitionRowChoice> rows{row("a.img"),        row("missing.img"),       row("b.img"),
                                               row("a.img"),        row("../evil.img"),       row(""),
                                               row("pipe.img"),     row("board.xml"),         row("c.img"),
                                               row("d.img", false), row("e.img", true, false)};
        RecordingSink sink;
        QCOMPARE(Staging::createTmpFolder(m_stagingDir, sink), 0);
        // A FIFO named by a row would block the copy until something writes to it.
        QVERIFY(TestFiles::returnsWithoutFifoWriter(fifo, [&] {
            NoDacOverride asUser;
            Staging::copyNewFiles(m_configFile, QStringLiteral("board.xml"), m_configDir, m_stagingDir, rows,
                                  sink, Staging::deleteOldFiles(m_stagingDir, sink));
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
        QVERIFY(!QFileInfo::exists(m_configDir + QStringLiteral("evil.img")));
        QCOMPARE(entriesOf(m_stagingDir),
                 (QStringList{"C.img", "Notes.txt", "a.img", "board", "board.xml", "c.img"}));
        QCOMPARE(readFile(m_stagingDir + QStringLiteral("/c.img")), QByteArray("C.IMG"));
        // The operator's file keeps its permissions; the staged copy is removable by anyone.
        QCOMPARE(fileMode(m_configDir + QStringLiteral("a.img")), mode_t(0640));
        QCOMPARE(fileMode(m_stagingDir + QStringLiteral("/a.img")), mode_t(0666));
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

    void read_data()
    {
        // Entries as label:size:file:mountpoint:type (trailing colons cut), joined by ','.
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("entries");
        QTest::newRow("any depth, document order")
            << QByteArray("<?xml version=\"1.0\"?><any xmlns:p=\"urn:p\"><partition label=\"a\"/>"
                          "<g><d><partition label=\"b\">t<partition label=\"c\"/></partition></d></g>"
                          "<Partition label=\"up\"/><partitions label=\"pl\"/><!-- partition -->"
                          "<p:partition label=\"prefixed\"/><partition label=\"d\"/></any>")
            << true << "a,b,c,prefixed,d";
        QTest::newRow("attributes verbatim, missing ones empty")
            << QStringLiteral(
                   "<r><partition label=\" boot \" size_in_kb=\"0x400 KB\" file=\"sub/ä b.img\" "
                   "mountpoint=\"/\" type=\"emmc\" filename=\"no\"/><partition/><partition file=\"\"/></r>")
                   .toUtf8()
            << true << QStringLiteral(" boot :0x400 KB:sub/ä b.img:/:emmc,,");
        QTest::newRow("unclosed root")
            << QByteArray("<r><partition label=\"a\"/><partition label=\"b\"/>") << false << "a,b";
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe\x01partition\x7f", 14) << false << "";
    }

    void read()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, ok);
        QFETCH(QString, entries);
        QBuffer buffer(&xml);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QVector<PartitionEntry> list(1); // the reader appends to what is there
        const PartitionReadResult result = PartitionFile::read(&buffer, list);
        QCOMPARE(result.status, ok ? PartitionReadResult::Ok : PartitionReadResult::ParseError);
        QCOMPARE(result.errorString.isEmpty(), ok);
        QStringList read;
        for (const PartitionEntry &e : list.mid(1))
            read << QStringList{e.label, e.size_in_kb, e.file, e.mountpoint, e.type}.join(':').remove(
                QRegularExpression(QStringLiteral(":+$")));
        QCOMPARE(read.join(','), entries);
        QCOMPARE(list.first().label, QStringLiteral(" "));
    }

    // A FIFO in the place of a file the window reads (the remembered description file, Board_config.ini)
    // is refused or read as empty, never waited on.
    void unopenableFile()
    {
        const QString fifo = path("fifo.xml"), ini = path("config/Board_config.ini");
        QVERIFY(QDir().mkpath(path("config")) && ::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0 &&
                ::mkfifo(QFile::encodeName(ini).constData(), 0644) == 0);
        for (const QString &file : {QString(), path("missing.xml"), m_tmp->path(), fifo}) {
            QVector<PartitionEntry> list;
            PartitionReadResult result;
            QVERIFY(
                TestFiles::returnsWithoutFifoWriter(fifo, [&] { result = PartitionFile::read(file, list); }));
            QVERIFY2(result.status == PartitionReadResult::OpenFailed && !result.errorString.isEmpty() &&
                         list.isEmpty(),
                     qPrintable(file));
        }
        QString values = QStringLiteral("x");
        QVERIFY(TestFiles::returnsWithoutFifoWriter(ini, [&] {
            const auto v = BoardConfig::readChipAndOs();
            values = v.chipType + v.osType +
                     BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type"));
        }));
        QCOMPARE(values, QString());
    }

    void derivedPaths()
    {
        // The chosen path, its file name, its folder: only the last occurrence of the name is cut.
        for (QStringList paths : {QStringList{"D:/part.xml/part.xml", "part.xml", "D:/part.xml/"},
                                  QStringList{"", "", ""}}) { // cancelled
            const DescriptionPaths::Paths p = DescriptionPaths::derive(paths.at(0));
            QCOMPARE((QStringList{p.configFilePath, p.configFileName, p.configDir, p.stagingDir}),
                     paths << paths.at(2) + QStringLiteral("downloadImageFile"));
        }
    }
};

QTEST_APPLESS_MAIN(tst_Staging)
#include "tst_staging.moc"
