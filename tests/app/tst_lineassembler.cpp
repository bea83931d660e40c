// Cutting the tool's output into whole lines, whatever the reads look like.
#include "common/lineassembler.h"

#include <QtTest>

class tst_LineAssembler : public QObject
{
    Q_OBJECT
private slots:
    void everySplitGivesTheSameLines_data();
    void everySplitGivesTheSameLines();
    void longLineCostsLinearTime();
};

// NUL bytes, a two-byte and a three-byte character.
static const char kBinary[] = "x\0y\r\n\xc3\xa9\r\n\xe2\x82\xac tail";

void tst_LineAssembler::everySplitGivesTheSameLines_data()
{
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("crlf") << QByteArray("\r\n") << QByteArray("one\r\ntwo\rstill two\r\n\r\nlast");
    QTest::newRow("lf keeps cr") << QByteArray("\n") << QByteArray("a\r\nb\n\nc\r");
    QTest::newRow("nul and half characters") << QByteArray("\r\n") << QByteArray(kBinary, sizeof kBinary - 1);
    QTest::newRow("no line end at all") << QByteArray("\r\n") << QByteArray("just a tail");
}

void tst_LineAssembler::everySplitGivesTheSameLines()
{
    // Cut at every position, in two and in single bytes: what comes out,
    // finished by the tail, is the input, and every piece handed out ends on
    // a line end.
    QFETCH(QByteArray, lineEnd);
    QFETCH(QByteArray, output);
    const int lastEnd = output.lastIndexOf(lineEnd);
    const QByteArray complete = lastEnd < 0 ? QByteArray() : output.left(lastEnd + lineEnd.size());
    for (int cut = 0; cut <= output.size(); ++cut) {
        LineAssembler lines(lineEnd);
        QByteArray out;
        for (const QByteArray &piece : {output.left(cut), output.mid(cut)}) {
            const QByteArray got = lines.feed(piece);
            QVERIFY(got.isEmpty() || got.endsWith(lineEnd));
            out += got;
        }
        QCOMPARE(out, complete);
        QCOMPARE(lines.hasPending(), complete.size() < output.size());
        QCOMPARE(out + lines.finish(), output);
        QVERIFY(!lines.hasPending());
    }
    LineAssembler bytewise(lineEnd);
    QByteArray out;
    for (char c : output)
        out += bytewise.feed(QByteArray(1, c));
    QCOMPARE(out, complete);
    bytewise.clear();
    QVERIFY(bytewise.finish().isEmpty());
}

void tst_LineAssembler::longLineCostsLinearTime()
{
    // 64 MiB in 4 KiB reads without a line end: each byte is searched once.
    // A rescan of the whole tail per read would take minutes here.
    LineAssembler lines;
    const QByteArray piece(4096, 'x');
    for (int i = 0; i < 16384; ++i)
        QVERIFY(lines.feed(piece).isEmpty());
    const QByteArray got = lines.feed(QByteArray("\r\nnext"));
    QCOMPARE(got.size(), 64 * 1024 * 1024 + 2);
    QCOMPARE(lines.finish(), QByteArray("next"));
}

QTEST_APPLESS_MAIN(tst_LineAssembler)
#include "tst_lineassembler.moc"
