#include "common/toollaunch.h"

#include "common/toolcontract.h"

#include <QDir>
#include <QProcess>

namespace ToolLaunch {

QStringList splitArguments(const QString &argumentString)
{
    // Same rules as QProcess::splitCommand (Qt 5.15), kept here because 5.12
    // lacks that function and because the rules are the contract.
    QStringList args;
    QString tmp;
    int quoteCount = 0;
    bool inQuote = false;
    for (int i = 0; i < argumentString.size(); ++i) {
        const QChar c = argumentString.at(i);
        if (c == QLatin1Char('"')) {
            ++quoteCount;
            if (quoteCount == 3) {
                // Third consecutive quote: a literal quote character.
                quoteCount = 0;
                tmp += c;
            }
            continue;
        }
        if (quoteCount) {
            if (quoteCount == 1)
                inQuote = !inQuote;
            quoteCount = 0;
        }
        if (!inQuote && c.isSpace()) {
            if (!tmp.isEmpty()) {
                args += tmp;
                tmp.clear();
            }
        } else {
            tmp += c;
        }
    }
    if (!tmp.isEmpty())
        args += tmp;
    return args;
}

Command command(const QString &toolDir, const QString &argumentString)
{
    return Command{toolDir + QLatin1String(ToolContract::kExecutable), splitArguments(argumentString)};
}

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
