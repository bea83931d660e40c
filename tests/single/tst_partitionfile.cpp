// The description file reader and the paths derived from the chosen file.
#include "quorDownload/descriptionpaths.h"
#include "quorDownload/partitionfile.h"
#include "testfiles.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

class tst_PartitionFile : public QObject
{
    Q_OBJECT
private slots:
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
        QTest::newRow("broken attribute")
            << QByteArray("<r><partition label=\"a\"/><partition label=b/></r>") << false << "a";
        QTest::newRow("empty") << QByteArray() << false << "";
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

    void unopenableFile()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo.xml"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        // A FIFO (remembered as the description file) must be refused, not waited on.
        for (const QString &path :
             {QString(), dir.filePath(QStringLiteral("missing.xml")), dir.path(), fifo}) {
            QVector<PartitionEntry> list;
            PartitionReadResult result;
            QVERIFY(
                TestFiles::returnsWithoutFifoWriter(fifo, [&] { result = PartitionFile::read(path, list); }));
            QVERIFY2(result.status == PartitionReadResult::OpenFailed && !result.errorString.isEmpty() &&
                         list.isEmpty(),
                     qPrintable(path));
        }
    }

    void derivedPaths_data()
    {
        QTest::addColumn<QStringList>("paths"); // the chosen path, its file name, its folder
        QTest::newRow("name also a folder")
            << QStringList{"D:/part.xml/part.xml", "part.xml", "D:/part.xml/"};
        QTest::newRow("blanks, non-ASCII")
            << QStringList{"/my images/Ünï ボード/b 1.xml", "b 1.xml", "/my images/Ünï ボード/"};
        QTest::newRow("cancelled") << QStringList{"", "", ""};
    }

    void derivedPaths()
    {
        QFETCH(QStringList, paths);
        const DescriptionPaths::Paths p = DescriptionPaths::derive(paths.at(0));
        QCOMPARE((QStringList{p.configFilePath, p.configFileName, p.configDir, p.stagingDir}),
                 paths << paths.at(2) + QStringLiteral("downloadImageFile"));
    }
};

QTEST_APPLESS_MAIN(tst_PartitionFile)
#include "tst_partitionfile.moc"
