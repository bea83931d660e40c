#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Starting the download tool. The program path and every argument are passed
// as separate arguments, so a tool folder or an image folder with blanks or
// quotes in its path reaches the tool unchanged.
namespace ToolLaunch {

struct Command
{
    QString program;
    QStringList arguments;
};

// The arguments of a download: -c chip -s os -i folder, and -p port when a
// port is given. Each value is one argument, whatever characters it holds.
QStringList downloadArguments(const QString &chipType, const QString &osType, const QString &imageFolder,
                              const QString &port = QString());

// Starts the tool in read-write mode. Does not wait.
void start(QProcess *process, const Command &command);

// The folder holding the tool and Board_config.ini: current directory + "/config/".
QString toolDir();

} // namespace ToolLaunch
