#pragma once

#include <QString>
#include <QStringList>

// What the simulated tool and its bench driver need from the system.
namespace ToolSupport {

// An exclusive lock on a lock file that stays in place. The system drops it
// when its holder exits, so a holder that died never blocks the others.
class FileLock final
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Creates path when missing and waits up to waitMs for the lock.
    bool acquire(const QString &path, int waitMs, QString *error);

private:
    qintptr m_handle = -1;
};

// Waits up to waitMs and says whether the reading end of standard output is
// gone (a closed pipe). Output to a terminal or a file is never gone.
bool outputReaderGone(int waitMs);

// Makes standard output write bytes as given. Windows' C runtime would
// otherwise turn every "\n" into "\r\n", so a CRLF line would end in "\r\r\n".
void useBinaryOutput();

// Starts this program again with arguments, as a helper that runs on beside
// this process (and past its end): same output, same process group or job.
// Its process id, or -1.
qint64 startSelf(const QStringList &arguments);

// Ends this process at once, as an external kill would: no clean-up, no
// buffered output written.
[[noreturn]] void killSelf();

} // namespace ToolSupport
