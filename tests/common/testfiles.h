#pragma once

// Small file and process helpers shared by the test programs.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/stat.h>

namespace TestFiles {

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The whole file, or `whenUnreadable` if it cannot be opened.
inline QByteArray readFile(const QString &path, const QByteArray &whenUnreadable = QByteArray())
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : whenUnreadable;
}

// Permission bits of the path itself (a link is not followed).
inline mode_t fileMode(const QString &path)
{
    struct stat st
    {
    };
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

// True while the process exists and is not a zombie (Linux /proc).
inline bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

} // namespace TestFiles
