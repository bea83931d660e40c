#pragma once

#include <QByteArray>
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

// The image folder as the tool receives it. A console tool on Windows reads
// its arguments in the ANSI code page: a folder that page cannot spell is
// given by its short (8.3) name. folder itself when it has none, which
// toolCanOpen refuses before a start.
QString toolImageFolder(const QString &folder);

// arguments with the value after -i given as toolImageFolder gives it.
QStringList withToolImageFolder(QStringList arguments);

// False when the tool could not receive folder in either form; *refusal then
// names the folder the operator must rename.
bool toolCanOpen(const QString &folder, QString *refusal);

// Starts the tool in read-write mode. Does not wait.
void start(QProcess *process, const Command &command);

// The folder holding the tool and Board_config.ini: current directory + "/config/".
QString toolDir();

// The output the process holds on its read channel, read at its size. Called
// for every line: readAll() would allocate 16 KiB each time, and again to find
// nothing left.
QByteArray readHeld(QProcess *process);

} // namespace ToolLaunch
