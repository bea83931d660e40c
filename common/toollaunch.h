#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Starting the download tool. The command is described as one argument string
// (the way the operator-visible command line is written), but the program path
// is always passed as a single argument so that a tool folder with blanks in
// its path still starts. The argument string is split exactly as QProcess
// splits a command string: blanks separate, double quotes group, a tripled
// quote stands for a literal one, empty tokens vanish.
namespace ToolLaunch {

QStringList splitArguments(const QString &argumentString);

struct Command
{
    QString program;
    QStringList arguments;
};

// toolDir ends with '/'; argumentString holds everything after the file name.
Command command(const QString &toolDir, const QString &argumentString);

// The arguments of a download: -c chip -s os -i folder, and -p port when a
// port is given. Each value is one argument, whatever characters it holds.
QStringList downloadArguments(const QString &chipType, const QString &osType, const QString &imageFolder,
                              const QString &port = QString());

// Starts the tool in read-write mode. Does not wait.
void start(QProcess *process, const Command &command);

// The folder holding the tool and Board_config.ini: current directory + "/config/".
QString toolDir();

} // namespace ToolLaunch
