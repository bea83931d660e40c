#pragma once

#include "../multi/windowtestenv.h" // runBench

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

// Probes and drivers shared by the fault-injection tests: the built tools,
// the bench driver (runBench, in windowtestenv.h), this process's
// children and open descriptors, the tool's output replayed and turned into
// the run-log records it must produce, and an event-loop latency probe.
namespace Faults {

// Peak resident memory of this process in MiB since the last reset.
inline qint64 peakResidentMiB()
{
    for (const QByteArray &line : QFileInfo::exists(QStringLiteral("/proc/self/status"))
                                      ? [] {
                                            QFile f(QStringLiteral("/proc/self/status"));
                                            return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n')
                                                                               : QList<QByteArray>();
                                        }()
                                      : QList<QByteArray>()) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024;
    }
    return -1;
}

// Starts a new peak: the kernel resets VmHWM to the current size.
inline void resetPeakResident()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// Sanitizers reserve and touch memory of their own: no memory bounds there.
inline constexpr bool kMemoryIsMeasurable =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    false;
#else
    true;
#endif

inline QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR"));
}

// Installs the simulated tool as <dir>/usb_dl.exe (and, for script tools,
// as <dir>/usb_dl.real).
inline bool installTool(const QString &dir, const QString &name = QStringLiteral("usb_dl.exe"))
{
    const QString target = dir + QLatin1Char('/') + name;
    QFile::remove(target);
    if (!QFile::copy(binDir() + QStringLiteral("/usb_dl"), target))
        return false;
    return QFile::setPermissions(target,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Writes an executable shell script.
inline bool installScript(const QString &path, const QByteArray &body)
{
    QFile::remove(path);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write("#!/bin/sh\n" + body) != body.size() + 10)
        return false;
    out.close();
    return QFile::setPermissions(path,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Process ids whose parent is this process, zombies included.
inline QList<qint64> childProcesses()
{
    QList<qint64> children;
    const qint64 self = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // pid (comm) state ppid ...: comm may hold blanks and parentheses.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == self)
            children.append(pid);
    }
    return children;
}

inline int openFdCount()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

// Cuts raw output at "\r\n", keeping empty parts.
inline QList<QByteArray> splitCrLf(const QByteArray &bytes)
{
    QList<QByteArray> parts;
    int from = 0;
    for (;;) {
        const int at = bytes.indexOf("\r\n", from);
        if (at < 0)
            break;
        parts.append(bytes.mid(from, at - from));
        from = at + 2;
    }
    parts.append(bytes.mid(from));
    return parts;
}

// The run-log records that the given tool output must leave: every line with
// its prefix, decoded as UTF-8 (every byte, NULs included) and written back as
// UTF-8. An unfinished last line counts as a line; an empty one does not.
inline QByteArray expectedLogRecords(const QByteArray &toolOutput, const QByteArray &prefix)
{
    QList<QByteArray> parts = splitCrLf(toolOutput);
    if (parts.last().isEmpty())
        parts.removeLast();
    // Joined once at the end: appending record by record reallocates the whole
    // text each time (quadratic for a flood's 100,000 lines).
    QByteArrayList records;
    records.reserve(parts.size());
    for (const QByteArray &part : parts)
        records.append(prefix + QString::fromUtf8(part.constData(), part.size()).toUtf8() + '\n');
    return records.join();
}

// Runs a tool with arguments and returns its merged output.
inline QByteArray replay(const QString &program, const QStringList &args, const QString &workDir)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setWorkingDirectory(workDir);
    tool.start(program, args);
    if (!tool.waitForFinished(120000)) {
        tool.kill();
        tool.waitForFinished(5000);
    }
    return tool.readAll();
}

// Measures the longest gap between turns of the event loop, with a timer of
// short period: a liveness check, not a benchmark.
class LatencyProbe final : public QObject
{
public:
    explicit LatencyProbe(int periodMs = 20)
    {
        timer.setInterval(periodMs);
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            const qint64 now = clock.elapsed();
            longest = qMax(longest, now - last);
            last = now;
            ++ticks;
        });
        clock.start();
        timer.start();
    }
    qint64 longestGapMs() const { return longest; }
    int tickCount() const { return ticks; }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    int ticks = 0;
};

// Limits the size of any file this process writes, as a full disk would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, saved.rlim_max};
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool isActive() const { return active; }

private:
    rlimit saved{};
    void (*previous)(int) = nullptr;
    bool active = false;
};

} // namespace Faults
