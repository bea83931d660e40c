#include "common/toollaunch.h"

#include "common/toolcontract.h"

#include <QDir>
#include <QProcess>

namespace ToolLaunch {

QStringList downloadArguments(const QString &chipType, const QString &osType, const QString &imageFolder,
                              const QString &port)
{
    QStringList args{QLatin1String(ToolContract::kOptChip),   chipType,
                     QLatin1String(ToolContract::kOptOs),     osType,
                     QLatin1String(ToolContract::kOptImages), imageFolder};
    if (!port.isEmpty())
        args << QLatin1String(ToolContract::kOptPort) << port;
    return args;
}

void start(QProcess *process, const Command &command)
{
    process->start(command.program, command.arguments, QIODevice::ReadWrite);
}

QString toolDir()
{
    return QDir::currentPath() + QLatin1Char('/') + QLatin1String(ToolContract::kConfigFolder) +
           QLatin1Char('/');
}

} // namespace ToolLaunch
