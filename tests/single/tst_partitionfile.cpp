#include "quorDownload/descriptionpaths.h"
#include "quorDownload/partitionfile.h"
#include "tests/common/testfiles.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

// The description file reader and the paths and command line derived from the
// chosen file, without any window.
class tst_PartitionFile : public QObject
{
    Q_OBJECT
private slots:
    void readsPartitionsAtAnyDepthInDocumentOrder();
    void attributesVerbatimAndMissingOnesEmpty();
    void malformedKeepsEntriesBeforeTheError();
    void malformedKeepsEntriesBeforeTheError_data();
    void unopenableFile();
    void derivedPaths();
    void derivedPaths_data();

private:
    static PartitionReadResult readBytes(const QByteArray &xml, QVector<PartitionEntry> &list);
};

PartitionReadResult tst_PartitionFile::readBytes(const QByteArray &xml, QVector<PartitionEntry> &list)
{
    QBuffer buffer;
    buffer.setData(xml);
    buffer.open(QIODevice::ReadOnly);
    return PartitionFile::read(&buffer, list);
}

void tst_PartitionFile::readsPartitionsAtAnyDepthInDocumentOrder()
{
    const QByteArray xml = "<?xml version=\"1.0\"?>\n"
                           "<anything xmlns:p=\"urn:parts\">\n"
                           "  <partition label=\"a\"/>\n"
                           "  <group><deeper><partition label=\"b\">text<partition label=\"c\"/></partition>"
                           "</deeper></group>\n"
                           "  <Partition label=\"upper\"/><PARTITION label=\"caps\"/><partitions "
                           "label=\"plural\"/><!-- partition -->\n"
                           "  <p:partition label=\"prefixed\"/>\n"
                           "  <partition label=\"d\"/>\n"
                           "</anything>\n";
    QVector<PartitionEntry> list;
    const PartitionReadResult result = readBytes(xml, list);
    QCOMPARE(result.status, PartitionReadResult::Ok);
    QStringList labels;
    for (const PartitionEntry &e : list)
        labels << e.label;
    QCOMPARE(labels, (QStringList{"a", "b", "c", "prefixed", "d"}));

    // The reader appends: a second read adds to what is there.
    QCOMPARE(readBytes("<r><partition label=\"e\"/></r>", list).status, PartitionReadResult::Ok);
    QCOMPARE(list.size(), 6);
    QCOMPARE(list.last().label, QStringLiteral("e"));
}

void tst_PartitionFile::attributesVerbatimAndMissingOnesEmpty()
{
    const QByteArray xml =
        QStringLiteral("<r><partition label=\" boot \" size_in_kb=\"0x400 KB\" file=\"sub/ä b.img\" "
                       "mountpoint=\"/\" type=\"emmc\" extra=\"ignored\"/>"
                       "<partition/><partition file=\"\" label=\"\"/></r>")
            .toUtf8();
    QVector<PartitionEntry> list;
    QCOMPARE(readBytes(xml, list).status, PartitionReadResult::Ok);
    QCOMPARE(list.size(), 3);
    QCOMPARE(list[0].label, QStringLiteral(" boot "));
    QCOMPARE(list[0].size_in_kb, QStringLiteral("0x400 KB"));
    QCOMPARE(list[0].file, QStringLiteral("sub/ä b.img"));
    QCOMPARE(list[0].mountpoint, QStringLiteral("/"));
    QCOMPARE(list[0].type, QStringLiteral("emmc"));
    for (int i : {1, 2})
        QVERIFY(list[i].label.isEmpty() && list[i].size_in_kb.isEmpty() && list[i].file.isEmpty() &&
                list[i].mountpoint.isEmpty() && list[i].type.isEmpty());
}

void tst_PartitionFile::malformedKeepsEntriesBeforeTheError_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<int>("entriesBefore");
    QTest::newRow("unclosed root") << QByteArray("<r><partition label=\"a\"/><partition label=\"b\"/>") << 2;
    QTest::newRow("mismatched tag") << QByteArray(
                                           "<r><partition label=\"a\"/></x><partition label=\"b\"/></r>")
                                    << 1;
    QTest::newRow("broken attribute")
        << QByteArray("<r><partition label=\"a\"/><partition label=b/></r>") << 1;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe\x01partition\x7f", 14) << 0;
}

void tst_PartitionFile::malformedKeepsEntriesBeforeTheError()
{
    QFETCH(QByteArray, xml);
    QFETCH(int, entriesBefore);
    QVector<PartitionEntry> list(1); // something read earlier stays
    const PartitionReadResult result = readBytes(xml, list);
    QCOMPARE(result.status, PartitionReadResult::ParseError);
    QVERIFY(!result.errorString.isEmpty());
    QCOMPARE(list.size(), 1 + entriesBefore);
    if (entriesBefore > 0)
        QCOMPARE(list[1].label, QStringLiteral("a"));
}

void tst_PartitionFile::unopenableFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVector<PartitionEntry> list;
    // A FIFO (remembered as the description file) must be refused, not waited on.
    const QString fifo = dir.filePath(QStringLiteral("fifo.xml"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
    for (const QString &path : {QString(), dir.filePath(QStringLiteral("missing.xml")), dir.path(), fifo}) {
        PartitionReadResult result;
        QVERIFY2(TestFiles::returnsWithoutFifoWriter(fifo, [&] { result = PartitionFile::read(path, list); }),
                 qPrintable(path));
        QCOMPARE(result.status, PartitionReadResult::OpenFailed);
        QVERIFY2(!result.errorString.isEmpty(), qPrintable(path));
    }
    QVERIFY(list.isEmpty());
}

void tst_PartitionFile::derivedPaths_data()
{
    // The chosen path, its file name, and its folder.
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("plain") << QStringList{"D:/a/part.xml", "part.xml", "D:/a/"};
    QTest::newRow("name also a folder") << QStringList{"D:/part.xml/part.xml", "part.xml", "D:/part.xml/"};
    QTest::newRow("name in a folder name")
        << QStringList{"/s/xpart.xml.d/part.xml", "part.xml", "/s/xpart.xml.d/"};
    QTest::newRow("blanks, non-ASCII")
        << QStringList{"/my images/Ünï ボード/b 1.xml", "b 1.xml", "/my images/Ünï ボード/"};
    QTest::newRow("bare name") << QStringList{"part.xml", "part.xml", ""};
    QTest::newRow("folder only") << QStringList{"/x/y/", "", "/x/y/"};
    QTest::newRow("cancelled") << QStringList{"", "", ""};
}

void tst_PartitionFile::derivedPaths()
{
    QFETCH(QStringList, paths);
    const DescriptionPaths::Paths p = DescriptionPaths::derive(paths.at(0));
    QCOMPARE(p.configFilePath, paths.at(0));
    QCOMPARE(p.configFileName, paths.at(1));
    QCOMPARE(p.configDir, paths.at(2));
    QCOMPARE(p.stagingDir, paths.at(2) + QStringLiteral("downloadImageFile"));
}

QTEST_APPLESS_MAIN(tst_PartitionFile)
#include "tst_partitionfile.moc"
