#include "platform/processtree.h"

#include <QDebug>

#include <windows.h>

namespace ProcessTree {

void prepareChild() {}

qintptr adopt(qint64 pid)
{
    // Put in right after it started, before its first instruction is likely to
    // start anything. On Windows 7 a process already in a job (some launchers
    // start programs so) cannot join another; the tool then runs on its own.
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    HANDLE process = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    const bool ok =
        process &&
        ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        ::AssignProcessToJobObject(job, process);
    const DWORD error = ::GetLastError();
    if (process)
        ::CloseHandle(process);
    if (!ok) {
        qDebug() << "The tool's helpers will not end with it: no job object, error" << error;
        ::CloseHandle(job);
        return 0;
    }
    return reinterpret_cast<qintptr>(job);
}

void end(qintptr tree)
{
    if (tree == 0)
        return;
    HANDLE job = reinterpret_cast<HANDLE>(tree);
    ::TerminateJobObject(job, 1);
    ::CloseHandle(job); // kill-on-close ends anything that joined meanwhile
}

} // namespace ProcessTree
