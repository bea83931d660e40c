#include "platform/toolsupport.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace ToolSupport {

FileLock::~FileLock()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

bool FileLock::acquire(const QString &path, int waitMs, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        for (int waited = 0;; waited += 5) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                m_handle = fd;
                return true;
            }
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMs)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (error)
        *error = qt_error_string(err);
    return false;
}

bool outputReaderGone(int waitMs)
{
    pollfd fd{STDOUT_FILENO, 0, 0};
    return ::poll(&fd, 1, waitMs) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

void useBinaryOutput() {}

qint64 startSelf(const QStringList &arguments)
{
    const QByteArray self = QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    std::vector<QByteArray> words{self};
    for (const QString &a : arguments)
        words.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawn(&pid, self.constData(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

void killSelf()
{
    std::raise(SIGKILL);
    std::_Exit(1);
}

} // namespace ToolSupport
