// Below both windows: the tool's output as lines, starting it, Board_config.ini, start-up.
#include "app/startup.h"
#include "common/boardconfig.h"
#include "common/lineassembler.h"
#include "common/toolcontract.h"
#include "common/toollaunch.h"
#include "platform/fileops.h"

#include <QOperatingSystemVersion>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sstream>

class tst_App : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;

private slots:
    void init()
    {
        // Every case runs in a folder of its own, where config/ is the tool folder.
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/with blank XXXXXX"));
        m_oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
    }
    void cleanup() { QDir::setCurrent(m_oldCwd); }

    void everySplitGivesTheSameLines_data()
    {
        QTest::addColumn<QByteArray>("lineEnd");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("crlf") << QByteArray("\r\n") << QByteArray("one\r\ntwo\rstill two\r\n\r\nlast");
        QTest::newRow("lf keeps cr") << QByteArray("\n") << QByteArray("a\r\nb\n\nc\r");
        QTest::newRow("nul and half characters")
            << QByteArray("\r\n") << QByteArray("x\0y\r\n\xc3\xa9\r\n\xe2\x82\xac tail", 17);
    }

    void everySplitGivesTheSameLines()
    {
        // Cut at every position: what comes out, finished by the tail, is the
        // input, and every piece handed out ends on a line end.
        QFETCH(QByteArray, lineEnd);
        QFETCH(QByteArray, output);
        const QByteArray complete = output.left(output.lastIndexOf(lineEnd) + lineEnd.size());
        for (int cut = 0; cut <= output.size(); ++cut) {
            LineAssembler lines(lineEnd);
            QByteArray out;
            for (const QByteArray &piece : {output.left(cut), output.mid(cut)}) {
                out += lines.feed(piece);
                QVERIFY(out.isEmpty() || out.endsWith(lineEnd));
            }
            QCOMPARE(out, complete);
            QCOMPARE(out + lines.finish(), output);
            QVERIFY(!lines.hasPending());
        }
    }

    void toolSeesArguments_data()
    {
        QTest::addColumn<QStringList>("values"); // chip, os, image folder, port
        QTest::newRow("port, blank, quotes")
            << QStringList{"\"x", "y\"\"\"", "/a b/\"q\" \"\"\"/", "\"1,3\""};
        QTest::newRow("empty chip and os, newline") << QStringList{"", "", "/x/downloadImageFile\n", ""};
    }

    void toolSeesArguments()
    {
        // A stand-in tool in the tool folder, whose path has a blank, must start
        // and see every value as one argument, unchanged.
        QFETCH(QStringList, values);
        const QString toolDir = ToolLaunch::toolDir();
        QCOMPARE(toolDir, m_dir->path() + QStringLiteral("/config/"));
        const QStringList args = ToolLaunch::downloadArguments(values[0], values[1], values[2], values[3]);
        QCOMPARE(args.size(), values[3].isEmpty() ? 6 : 8);
#ifdef Q_OS_UNIX // the stand-in is a shell script
        QFile script(toolDir + QLatin1String(ToolContract::kExecutable));
        QVERIFY(QDir().mkpath(toolDir) && script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QProcess process;
        ToolLaunch::start(&process, {toolDir + QLatin1String(ToolContract::kExecutable), args});
        QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
        QCOMPARE(QString::fromUtf8(process.readAll()),
                 QStringLiteral("[%1]").arg(args.join(QStringLiteral("]["))));
#endif
    }

    // What a console tool reading the ANSI code page (1252 under wine) gets as its image folder: one it can
    // spell as it is, another by its short name, which opens the same folder. One without a short name
    // (under wine: a missing one) is refused, naming the first folder on the way to rename.
    void toolGetsImageFolder_data()
    {
        QTest::addColumn<QString>("made");   // made below the test folder, with boot.img
        QTest::addColumn<QString>("folder"); // given to the tool
        QTest::addColumn<QString>("rename"); // empty: the tool can open it
        const auto row = [](const char *name, const char *made, const char *folder, const char *rename) {
            QTest::newRow(name) << QString(made) << QString(folder) << QString(rename);
        };
        row("Western", "caf\u00e9/QuorBurnImage", "caf\u00e9/QuorBurnImage/", "");
        row("Cyrillic", "\u041f\u0430\u043a\u0435\u0442/QuorBurnImage",
            "\u041f\u0430\u043a\u0435\u0442/QuorBurnImage/", "");
        row("Chinese, missing", "", "\u56fa\u4ef6/downloadImageFile", "\u56fa\u4ef6");
        row("missing below Cyrillic", "\u041f\u0430\u043a\u0435\u0442",
            "\u041f\u0430\u043a\u0435\u0442/\u56fa/QuorBurnImage/", "\u041f\u0430\u043a\u0435\u0442/\u56fa");
    }

    void toolGetsImageFolder()
    {
        if (FileOps::fitsAnsiCodePage(QStringLiteral("\u041f\u56fa")))
            QSKIP("this system passes Cyrillic and Chinese to a tool");
        QFETCH(QString, made);
        QFETCH(QString, folder);
        QFETCH(QString, rename);
        const QString base = m_dir->path() + QLatin1Char('/'), path = base + folder;
        QVERIFY(made.isEmpty() ||
                (QDir().mkpath(base + made) &&
                 QFile(base + made + QStringLiteral("/boot.img")).open(QIODevice::WriteOnly)));
        const QString tool = ToolLaunch::toolImageFolder(path);
        QString refusal;
        QCOMPARE(ToolLaunch::toolCanOpen(path, &refusal), rename.isEmpty());
        if (rename.isEmpty()) {
            QCOMPARE(tool == path, FileOps::fitsAnsiCodePage(path));
            QVERIFY2(FileOps::fitsAnsiCodePage(tool) && QFile::exists(tool + QStringLiteral("boot.img")),
                     qPrintable(tool));
        } else {
            QCOMPARE(tool, path);
            QVERIFY2(
                refusal.contains(
                    QStringLiteral("Rename the folder %1 ").arg(QDir::toNativeSeparators(base + rename))),
                qPrintable(refusal));
        }
    }

    // "Burn_Type|Burn_Page_Feature|chip_type|OS_type" as read, and the first window the burn type opens.
    void boardConfig_data()
    {
        QTest::addColumn<QByteArray>("ini"); // null: no config folder at all
        QTest::addColumn<QString>("values");
        QTest::newRow("no folder") << QByteArray() << "||||Selection";
        QTest::newRow("verbatim") << QByteArray(
                                         "[Burn_Type]\nBurn_Type=Single\nBurn_Page_Feature=Only_Burn_USB\n"
                                         "[chip]\nchip_type=QX 9000\n; a comment\n[OS]\nOS_type=linux\n")
                                  << "Single|Only_Burn_USB|QX 9000|linux|Single";
        QTest::newRow("multiple") << QByteArray("[Burn_Type]\nBurn_Type=Multiple\n")
                                  << "Multiple||||Multiple";
        QTest::newRow("lower case") << QByteArray("[Burn_Type]\nBurn_Type=single\n") << "single||||Selection";
        // A key in the wrong section is not seen; the page feature without a burn type is.
        QTest::newRow("sections apart")
            << QByteArray("[chip]\nBurn_Type=Single\n[Burn_Type]\nBurn_Page_Feature=X\n"
                          "[OS]\nchip_type=wrong\n")
            << "|X|||Selection";
    }

    void boardConfig()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, values);
        const QString file = QStringLiteral("config/Board_config.ini");
        QFile f(file);
        QVERIFY(ini.isNull() || (QDir().mkpath(QStringLiteral("config")) && f.open(QIODevice::WriteOnly) &&
                                 f.write(ini) == ini.size()));
        f.close();
        QCOMPARE(BoardConfig::path(), QDir::currentPath() + QLatin1Char('/') + file);
        const auto v = BoardConfig::readChipAndOs();
        const QString burnType =
            BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type"));
        const char *windows[] = {"Selection", "Single", "Multiple"};
        QCOMPARE(
            QStringList(
                {burnType,
                 BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Page_Feature")),
                 v.chipType, v.osType, QLatin1String(windows[int(Startup::firstWindowFor(burnType))])})
                .join(QLatin1Char('|')),
            values);
        // Only ever read: nothing created, nothing written.
        QCOMPARE(QDir(QStringLiteral("config")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 ini.isNull() ? QStringList() : QStringList{QStringLiteral("Board_config.ini")});
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), ini);
    }

    // Said: what the step prints on that version of Windows, empty where no layer is needed. Writing fails
    // for 8.1.
    void compatLayer_data()
    {
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("Windows 7") << 6 << 1 << QByteArray("Compatibility mode set successfully.\n");
        QTest::newRow("Windows 8.1") << 6 << 3 << QByteArray("Failed to set compatibility mode.\n");
        QTest::newRow("Windows 10") << 10 << -1 << QByteArray(); // as the library names it
    }

    void compatLayer()
    {
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(QByteArray, said);
        const QOperatingSystemVersion v(QOperatingSystemVersion::Windows, major, minor);
        QCOMPARE(Startup::needsCompatLayer(v), !said.isEmpty());
        // The step writes the tool's Windows path (UTF-8) and tells how that went.
        const bool writes = said.startsWith("Compat");
        std::ostringstream out, err;
        QByteArray written;
        const auto writer = [&](const char *name, const char *data) {
            written = QByteArray(name) + '=' + data;
            return writes;
        };
        QCOMPARE(Startup::runCompatStep(v, QStringLiteral("C:/Prüf stand"), writer, out, err),
                 !said.isEmpty());
        QCOMPARE(written, said.isEmpty()
                              ? QByteArray()
                              : QStringLiteral("C:\\Prüf stand\\config\\usb_dl.exe=~ WIN7RTM").toUtf8());
        QCOMPARE(QByteArray::fromStdString((writes ? out : err).str()), said);
        QVERIFY((writes ? err : out).str().empty());
    }
};

QTEST_APPLESS_MAIN(tst_App)
#include "tst_app.moc"
