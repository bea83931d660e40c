#include "benchmarks/common/benchwork.h"

#include "common/toolcontract.h"

#include <QProcess>

bool prepareReplay(const WindowTestFolder &folder)
{
    return folder.isValid() && folder.writeBoardConfig() &&
           folder.installTool(siblingProgram(QStringLiteral("bench_replay_tool")));
}

QByteArray recordSimulatedRun(const WindowTestFolder &folder)
{
    const QString simBench = folder.file(QStringLiteral("simbench"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USB_DL_BENCH"), simBench);
    env.insert(QStringLiteral("USB_DL_SIM_DELAY_MS"), QStringLiteral("0"));

    QProcess plug;
    plug.setProcessEnvironment(env);
    plug.start(siblingProgram(QStringLiteral("usb_dl_bench")),
               {QStringLiteral("plug"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("ok"),
                QStringLiteral("--no-event")});
    if (!plug.waitForFinished(10000) || plug.exitCode() != 0)
        return QByteArray();

    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(siblingProgram(QStringLiteral("usb_dl")),
               {QLatin1String(ToolContract::kOptChip), QStringLiteral("CHIP"),
                QLatin1String(ToolContract::kOptOs), QStringLiteral("OS"),
                QLatin1String(ToolContract::kOptImages), folder.path(), QLatin1String(ToolContract::kOptPort),
                QStringLiteral("1,1")});
    if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
        return QByteArray();
    return tool.readAllStandardOutput();
}

int countLines(const WindowTestFolder &folder, const QString &relative, const QByteArray &prefix)
{
    QList<QByteArray> lines = folder.readFile(relative).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // what follows the last line feed is no line
    int count = 0;
    for (const QByteArray &line : lines)
        count += line.startsWith(prefix);
    return count;
}
