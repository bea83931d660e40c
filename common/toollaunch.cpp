#include "common/toollaunch.h"

#include "common/toolcontract.h"
#include "platform/fileops.h"

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

QString toolImageFolder(const QString &folder)
{
    const QString openable = FileOps::ansiOpenablePath(folder);
    return openable.isEmpty() ? folder : openable;
}

QStringList withToolImageFolder(QStringList arguments)
{
    const int at = arguments.indexOf(QLatin1String(ToolContract::kOptImages)) + 1;
    if (at > 0 && at < arguments.size())
        arguments[at] = toolImageFolder(arguments.at(at));
    return arguments;
}

bool toolCanOpen(const QString &folder, QString *refusal)
{
    if (!FileOps::ansiOpenablePath(folder).isEmpty())
        return true;
    // The folder to rename is the first on the way whose own name does not
    // fit and that has no short name either.
    const QStringList parts = QDir::cleanPath(QDir::fromNativeSeparators(folder)).split(QLatin1Char('/'));
    int bad = parts.size() - 1;
    for (int i = 0; i < parts.size(); ++i) {
        if (!FileOps::fitsAnsiCodePage(parts.at(i)) &&
            FileOps::ansiOpenablePath(parts.mid(0, i + 1).join(QLatin1Char('/'))).isEmpty()) {
            bad = i;
            break;
        }
    }
    const QString rename = QDir::toNativeSeparators(parts.mid(0, bad + 1).join(QLatin1Char('/')));
    *refusal =
        QStringLiteral("The download tool cannot open the image folder %1: the name \"%2\" has characters "
                       "that this PC's code page cannot pass to the tool, and Windows keeps no short name "
                       "for it. Rename the folder %3 (Latin letters, digits, - and _ only), then try again.")
            .arg(QDir::toNativeSeparators(folder), parts.at(bad), rename);
    return false;
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

QByteArray readHeld(QProcess *process)
{
    const qint64 held = process->bytesAvailable();
    return held > 0 ? process->read(held) : QByteArray();
}

} // namespace ToolLaunch
