#pragma once

// Small file and process helpers shared by the test programs.

#include "zipmaker.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace TestFiles {

// A file written whole.
inline constexpr auto &writeFile = ZipMaker::saveFile;

// The whole file, or nothing if it cannot be opened.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

// Runs fn on another thread. When it has not returned within ms because it
// waits on the FIFO at fifoPath, a writer opens and closes the FIFO so that it
// returns (and the test can go on), and the answer is false.
template <typename F> bool returnsWithoutFifoWriter(const QString &fifoPath, F fn, int ms = 3000)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    for (int waited = 0; waited < ms && !done; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool returned = done;
    while (!done) {
        const int fd = ::open(QFile::encodeName(fifoPath).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    return returned;
}

} // namespace TestFiles
