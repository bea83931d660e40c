#include "platform/toolsupport.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <string>
#include <thread>

namespace ToolSupport {

namespace {

HANDLE handleOf(qintptr value)
{
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

FileLock::~FileLock()
{
    if (m_handle != -1)
        ::CloseHandle(handleOf(m_handle)); // the lock goes with the handle
}

bool FileLock::acquire(const QString &path, int waitMs, QString *error)
{
    const std::wstring name = path.toStdWString();
    HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD err = ::GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        for (int waited = 0;; waited += 5) {
            OVERLAPPED whole{};
            if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                             &whole)) {
                m_handle = reinterpret_cast<qintptr>(file);
                return true;
            }
            err = ::GetLastError();
            if (err != ERROR_LOCK_VIOLATION || waited >= waitMs)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::CloseHandle(file);
    }
    if (error)
        *error = qt_error_string(static_cast<int>(err));
    return false;
}

bool outputReaderGone(int waitMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || ::GetFileType(out) != FILE_TYPE_PIPE)
        return false;
    DWORD available = 0;
    // On the writing end this fails once the reader has closed its end.
    return !::PeekNamedPipe(out, nullptr, 0, nullptr, &available, nullptr) &&
           ::GetLastError() == ERROR_BROKEN_PIPE;
}

void useBinaryOutput()
{
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

qint64 startSelf(const QStringList &arguments)
{
    wchar_t self[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, 32768);
    if (n == 0 || n >= 32768)
        return -1;
    // Quoted as the C runtime splits a command line; the arguments here hold no quotes.
    std::wstring line = L"\"" + std::wstring(self, n) + L"\"";
    for (const QString &a : arguments)
        line += L" \"" + a.toStdWString() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return info.dwProcessId;
}

void killSelf()
{
    ::TerminateProcess(::GetCurrentProcess(), 1);
    for (;;)
        ::Sleep(INFINITE);
}

} // namespace ToolSupport
