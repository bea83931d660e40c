#include "platform/processtree.h"

#include <csignal>
#include <unistd.h>

namespace ProcessTree {

void prepareChild()
{
    ::setpgid(0, 0);
}

qintptr adopt(qint64 pid)
{
    return static_cast<qintptr>(pid); // the group prepareChild made
}

void end(qintptr tree)
{
    // The group outlives its leader while any member runs; once all are gone
    // the call finds nothing (ESRCH).
    if (tree > 0)
        ::kill(-static_cast<pid_t>(tree), SIGKILL);
}

} // namespace ProcessTree
