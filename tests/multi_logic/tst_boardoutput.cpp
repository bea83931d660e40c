#include "tst_multi_logic.h"

#include "multi/boardoutput.h"

#include <QtTest>

using Kind = BoardLineResult::Kind;
Q_DECLARE_METATYPE(BoardLineResult::Kind)

void tst_MultiLogic::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("empty chunk gives one empty line") << QString() << QStringList{QString()};
    QTest::newRow("trailing CRLF gives empty last line")
        << QStringLiteral("a\r\nb\r\n") << QStringList{QStringLiteral("a"), QStringLiteral("b"), QString()};
    QTest::newRow("bare LF does not cut")
        << QStringLiteral("a\nb\rc") << QStringList{QStringLiteral("a\nb\rc")};
    QTest::newRow("empty lines kept")
        << QStringLiteral("\r\n\r\nx") << QStringList{QString(), QString(), QStringLiteral("x")};
}

void tst_MultiLogic::split()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    QCOMPARE(splitBoardOutput(text), lines);
}

void tst_MultiLogic::decodeKeepsEveryByte()
{
    // A NUL or invalid byte must not cost the lines after it.
    const QStringList lines =
        splitBoardOutput(decodeToolOutput(QByteArray("a\0b\r\n\xff\r\nUSB download complete\r\n", 31)));
    QCOMPARE(lines, (QStringList{QStringLiteral("a") + QChar(0) + QStringLiteral("b"), QString(QChar(0xFFFD)),
                                 QStringLiteral("USB download complete"), QString()}));
    QCOMPARE(decodeToolOutput(QByteArray("\xe6\xb3\xa8")), QString(QChar(0x6CE8)));
}

void tst_MultiLogic::lineKinds_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<float>("progress"); // after the line, starting from 20
    QTest::addColumn<QString>("message");

    const QString none;
    QTest::newRow("empty line") << QString() << Kind::Plain << false << 20.0f << none;
    QTest::newRow("unknown text") << QStringLiteral("[INFO] erase flash") << Kind::Plain << false << 20.0f
                                  << none;
    QTest::newRow("not found") << QStringLiteral("[ERR] usb device not found") << Kind::NotFound << false
                               << 20.0f << QStringLiteral("Board 1 download failed! Please restart.\n");
    QTest::newRow("not found, tool's typo")
        << QStringLiteral("device not foundce") << Kind::NotFound << false << 20.0f
        << QStringLiteral("Board 1 download failed! Please restart.\n");
    QTest::newRow("not found ignores completion")
        << QStringLiteral("usb device not found; download complete") << Kind::NotFound << false << 20.0f
        << QStringLiteral("Board 1 download failed! Please restart.\n");
    QTest::newRow("waiting above ten")
        << QStringLiteral("Waiting for USB device connection") << Kind::Waiting << false << 20.0f << none;
    QTest::newRow("waiting with completion counts as waiting")
        << QStringLiteral("Waiting for USB device connection download complete") << Kind::Waiting << false
        << 20.0f << none;
    QTest::newRow("communication failure")
        << QStringLiteral("usb commuicate failed!!!") << Kind::CommFailed << false << 20.0f
        << QStringLiteral("Board 1 usb commuicate failed! Please check your usb and restart.\n");
    QTest::newRow("communication failure then completion")
        << QStringLiteral("usb commuicate failed!!! download complete") << Kind::CommFailed << true << 100.0f
        << QStringLiteral("Board 1 usb commuicate failed! Please check your usb and restart.\n");
    QTest::newRow("too large") << QStringLiteral("[ERR] updating file is too large") << Kind::TooLarge
                               << false << 20.0f << QStringLiteral("Board 1 updating file is too large!!!");
    QTest::newRow("too large without tag")
        << QStringLiteral("updating file is too large") << Kind::TooLarge << false << 20.0f
        << QStringLiteral("Board 1 updating file is too large!!!");
    QTest::newRow("too large wins over download failed")
        << QStringLiteral("USB download failed: updating file is too large") << Kind::TooLarge << false
        << 20.0f << QStringLiteral("Board 1 updating file is too large!!!");
    QTest::newRow("download failed") << QStringLiteral("USB download failed") << Kind::DownloadFailed << false
                                     << 20.0f << QStringLiteral("Board 1 USB download failed!!!");
    QTest::newRow("failure texts are case-sensitive")
        << QStringLiteral("usb download FAILED") << Kind::Plain << false << 20.0f << none;
    QTest::newRow("progress") << QStringLiteral("updated size: 512/1024(50%)") << Kind::Progress << false
                              << 51.0f << none;
    QTest::newRow("progress wins over break")
        << QStringLiteral("break updated size: 256/1024(25%)") << Kind::Progress << false << 25.0f << none;
    QTest::newRow("break") << QStringLiteral("break") << Kind::Break << false << 21.0f << none;
    QTest::newRow("completion") << QStringLiteral("USB download complete") << Kind::Plain << true << 100.0f
                                << none;
    QTest::newRow("progress and completion")
        << QStringLiteral("updated size: 1024/1024(100%) download complete") << Kind::Progress << true
        << 100.0f << none;
}

void tst_MultiLogic::lineKinds()
{
    QFETCH(QString, line);
    QFETCH(Kind, kind);
    QFETCH(bool, complete);
    QFETCH(float, progress);
    QFETCH(QString, message);

    const BoardLineResult result = interpretBoardLine(line, 1, 20.0f);
    QCOMPARE(result.kind, kind);
    QCOMPARE(result.complete, complete);
    QCOMPARE(result.progress, progress);
    QCOMPARE(result.statusMessage, message);
    QCOMPARE(result.completeMessage, complete ? QStringLiteral("Board 1 download complete!\n") : QString());
}

void tst_MultiLogic::updatedSize_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("after");

    QTest::newRow("half") << QStringLiteral("updated size: 512/1024(50%)") << 0.0f << 51.0f;
    QTest::newRow("smaller later percent unchanged")
        << QStringLiteral("updated size: 256/1024(25%)") << 51.0f << 51.0f;
    QTest::newRow("equal percent kept") << QStringLiteral("updated size: 512/1024(50%)") << 51.0f << 51.0f;
    QTest::newRow("fraction below the integer percent")
        << QStringLiteral("updated size: 512/1024(50%)") << 50.5f << 51.0f;
    QTest::newRow("truncating divisions") << QStringLiteral("updated size: 999/1999(49%)") << 0.0f << 52.0f;
    QTest::newRow("backslash read as slash")
        << QStringLiteral("updated size: 512\\1024(50%)") << 0.0f << 51.0f;
    QTest::newRow("only the first backslash replaced")
        << QStringLiteral("updated size: 512\\1024(50%)\\") << 0.0f << 51.0f;
    QTest::newRow("earlier backslash moves nothing")
        << QStringLiteral("C:\\img updated size: 512/1024(50%)") << 0.0f << 51.0f;
    QTest::newRow("last colon and slash count")
        << QStringLiteral("t 10:20/x updated size: 300/1000(30%)") << 0.0f << 30.0f;
    QTest::newRow("total exactly 100") << QStringLiteral("updated size: 37/100(37%)") << 0.0f << 37.0f;
    QTest::newRow("total below 100 keeps") << QStringLiteral("updated size: 5/99(5%)") << 7.0f << 7.0f;
    QTest::newRow("zero total keeps") << QStringLiteral("updated size: 0/0(0%)") << 7.0f << 7.0f;
    QTest::newRow("negative total keeps") << QStringLiteral("updated size: 5/-1000(0%)") << 7.0f << 7.0f;
    QTest::newRow("total not a number keeps") << QStringLiteral("updated size: 5/abc(0%)") << 7.0f << 7.0f;
    QTest::newRow("total overflows keeps")
        << QStringLiteral("updated size: 5/99999999999(0%)") << 7.0f << 7.0f;
    QTest::newRow("no parenthesis keeps") << QStringLiteral("updated size: 512/1024") << 7.0f << 7.0f;
    QTest::newRow("done not a number is zero") << QStringLiteral("updated size: x/1024(0%)") << 0.0f << 0.0f;
    QTest::newRow("largest counts") << QStringLiteral("updated size: 2147483647/2147483647(100%)") << 0.0f
                                    << 100.0f;
    QTest::newRow("total truncated to hundreds, not capped")
        << QStringLiteral("updated size: 2048/1024(200%)") << 0.0f << 204.0f;
}

void tst_MultiLogic::updatedSize()
{
    QFETCH(QString, line);
    QFETCH(float, before);
    QFETCH(float, after);
    const BoardLineResult result = interpretBoardLine(line, 4, before);
    QCOMPARE(result.kind, Kind::Progress);
    QCOMPARE(result.progress, after);
    QVERIFY(!result.complete);
}

void tst_MultiLogic::waitingStopsAtTen()
{
    const QString waiting = QStringLiteral("Waiting for USB device connection...");
    float value = 0.0f;
    float previous = value;
    int steps = 0;
    for (; steps < 1000; ++steps) {
        const float next = interpretBoardLine(waiting, 2, value).progress;
        if (next == value)
            break;
        // Each step adds 0.1 computed in double and stored as float.
        // Exact: QCOMPARE on floats would forgive the last bit.
        QVERIFY(next == static_cast<float>(static_cast<double>(value) + 0.1));
        previous = value;
        value = next;
    }
    QVERIFY(previous < 10.0f);
    QVERIFY(value >= 10.0f);
    QVERIFY(value < 10.1f);
    QVERIFY(steps >= 100 && steps <= 101);

    QCOMPARE(interpretBoardLine(waiting, 2, 9.95f).progress, static_cast<float>(9.95f + 0.1));
    // The sum is formed in double: from 0.02 that differs from a float sum in the last bit.
    QVERIFY(interpretBoardLine(waiting, 2, 0.02f).progress ==
            static_cast<float>(static_cast<double>(0.02f) + 0.1));
    QVERIFY(interpretBoardLine(waiting, 2, 0.02f).progress != 0.02f + 0.1f);
    QCOMPARE(interpretBoardLine(waiting, 2, 10.0f).progress, 10.0f);
    QCOMPARE(interpretBoardLine(waiting, 2, 100.0f).progress, 100.0f);
}

void tst_MultiLogic::breakAndSlotTexts()
{
    // "break" raises without an upper bound.
    QCOMPARE(interpretBoardLine(QStringLiteral("break"), 1, 0.0f).progress, 1.0f);
    QCOMPARE(interpretBoardLine(QStringLiteral("--break--"), 1, 150.0f).progress, 151.0f);
    QCOMPARE(interpretBoardLine(QStringLiteral("Break"), 1, 5.0f).kind, Kind::Plain);

    // Every text carries the slot's own number.
    for (int slot = 1; slot <= 8; ++slot) {
        const QString board = QStringLiteral("Board ") + QString::number(slot);
        QCOMPARE(boardLogPrefix(slot), QStringLiteral("[") + board + QStringLiteral("] "));
        QCOMPARE(interpretBoardLine(QStringLiteral("usb device not found"), slot, 0).statusMessage,
                 board + QStringLiteral(" download failed! Please restart.\n"));
        QCOMPARE(interpretBoardLine(QStringLiteral("usb commuicate failed!!!"), slot, 0).statusMessage,
                 board + QStringLiteral(" usb commuicate failed! Please check your usb and restart.\n"));
        QCOMPARE(interpretBoardLine(QStringLiteral("USB download failed"), slot, 0).statusMessage,
                 board + QStringLiteral(" USB download failed!!!"));
        QCOMPARE(interpretBoardLine(QStringLiteral("updating file is too large"), slot, 0).statusMessage,
                 board + QStringLiteral(" updating file is too large!!!"));
        QCOMPARE(interpretBoardLine(QStringLiteral("download complete"), slot, 0).completeMessage,
                 board + QStringLiteral(" download complete!\n"));
    }
}
