#include "common/toolcontract.h"
#include "common/toollaunch.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_ToolLaunch : public QObject
{
    Q_OBJECT
private slots:
    void splitMatchesQProcess_data();
    void splitMatchesQProcess();
    void programIsOneArgument();
    void startsFromFolderWithBlank();
};

void tst_ToolLaunch::splitMatchesQProcess_data()
{
    QTest::addColumn<QString>("args");
    QTest::newRow("multi") << R"( -c CH -s OS -i "/a b/QuorBurnImage/" -p 1,3)";
    QTest::newRow("empty chip and os") << R"( -c  -s  -i "/x/downloadImageFile")";
    QTest::newRow("chip with blank") << " -c A B -s C";
    QTest::newRow("tripled quote") << R"( -i """quoted""" -c x)";
    QTest::newRow("listing") << " -r";
    QTest::newRow("trailing newline") << " -c a -s b -i \"/p/\"\n";
    QTest::newRow("unbalanced") << R"( -i "/open ended)";
    QTest::newRow("empty quotes") << R"( -c "" -s x)";
}

void tst_ToolLaunch::splitMatchesQProcess()
{
    QFETCH(QString, args);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QCOMPARE(ToolLaunch::splitArguments(args), QProcess::splitCommand(args));
#else
    QSKIP("QProcess::splitCommand needs Qt 5.15");
#endif
}

void tst_ToolLaunch::programIsOneArgument()
{
    const auto cmd = ToolLaunch::command(QStringLiteral("/opt/Program Files/q/config/"),
                                         QStringLiteral(" -c A -s B -i \"/p q/\" -p 1,3"));
    QCOMPARE(cmd.program, QStringLiteral("/opt/Program Files/q/config/usb_dl.exe"));
    QCOMPARE(cmd.arguments, (QStringList{QStringLiteral("-c"), QStringLiteral("A"), QStringLiteral("-s"),
                                         QStringLiteral("B"), QStringLiteral("-i"), QStringLiteral("/p q/"),
                                         QStringLiteral("-p"), QStringLiteral("1,3")}));
}

void tst_ToolLaunch::startsFromFolderWithBlank()
{
    // A stand-in tool in a folder whose path has a blank: it must start and see
    // its arguments exactly as split.
#ifndef Q_OS_UNIX
    QSKIP("the stand-in tool is a shell script");
#endif
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/with blank XXXXXX"));
    QVERIFY(dir.isValid());
    const QString toolDir = dir.path() + QStringLiteral("/config/");
    QVERIFY(QDir().mkpath(toolDir));
    QFile script(toolDir + QLatin1String(ToolContract::kExecutable));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\nprintf '\\r\\n'\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);

    QProcess process;
    process.setWorkingDirectory(toolDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    ToolLaunch::start(&process, ToolLaunch::command(toolDir, QStringLiteral(" -c  -s S -i \"/a b/\"\n")));
    QVERIFY2(process.waitForStarted(30000), qPrintable(process.errorString()));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.readAll(), QByteArray("[-c][-s][S][-i][/a b/]\r\n"));
}

QTEST_APPLESS_MAIN(tst_ToolLaunch)
#include "tst_toollaunch.moc"
