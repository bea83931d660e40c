#pragma once

#include "windowtestenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

// Probes of the fault-injection tests: children, descriptors, the log a tool's
// output must leave, the event loop's liveness and a full disk.
namespace Faults {

// Process ids whose parent is this process, zombies included.
inline QList<qint64> childProcesses()
{
    QList<qint64> children;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat("/proc/" + entry + "/stat");
        if (entry.toLongLong() <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...: comm may hold blanks and parentheses.
        const QByteArray text = stat.readAll();
        if (text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong() == ::getpid())
            children.append(entry.toLongLong());
    }
    return children;
}

inline int openFdCount()
{
    return int(QDir("/proc/self/fd", QString(), QDir::NoSort, QDir::AllEntries | QDir::System).count());
}

// The run-log records a tool's output must leave: each "\r\n"-ended line and a
// last unfinished one, prefixed, decoded as UTF-8 (NULs included) and encoded again.
inline QByteArray expectedLogRecords(const QByteArray &toolOutput, const QByteArray &prefix)
{
    QByteArrayList records; // joined once: a flood has 100,000 lines
    for (int from = 0; from < toolOutput.size();) {
        int end = toolOutput.indexOf("\r\n", from);
        if (end < 0)
            end = toolOutput.size();
        const QByteArray line = toolOutput.mid(from, end - from);
        records.append(prefix + QString::fromUtf8(line.constData(), line.size()).toUtf8() + '\n');
        from = end + 2;
    }
    return records.join();
}

// Runs a tool with arguments and returns its merged output.
inline QByteArray replay(const QString &program, const QStringList &args, const QString &workDir)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setWorkingDirectory(workDir);
    tool.start(program, args);
    tool.waitForFinished(120000);
    tool.kill(); // when it hangs
    tool.waitForFinished(5000);
    return tool.readAll();
}

// The longest gap between turns of the event loop, seen by a 20 ms timer.
class LatencyProbe final : public QObject
{
public:
    LatencyProbe()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            longest = qMax(longest, clock.restart());
            ++ticks;
        });
        clock.start();
        timer.start();
    }
    qint64 longest = 0;
    int ticks = 0;

private:
    QTimer timer;
    QElapsedTimer clock;
};

// Limits the size of any file this process writes, as a full disk would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the process
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limit{bytes, saved.rlim_max};
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
    bool active = false;

private:
    rlimit saved{};
};

} // namespace Faults
