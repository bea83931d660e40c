#include "platform/win/winfs_win.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace WinFs {

namespace {

// Retries of file operations go to the debug log.
void debugLine(const std::wstring &line)
{
    qDebug().noquote() << QString::fromStdWString(line);
}

const bool debugSinkSet = (setDebugSink(&debugLine), true);

} // namespace

std::wstring longPath(const QString &path)
{
    QString p = path;
    p.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (p.startsWith(QLatin1String("\\\\?\\")) || p.startsWith(QLatin1String("\\\\.\\")))
        return p.toStdWString();
    QString absolute = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.startsWith(QLatin1String("\\\\"))) // \\server\share
        return QString(QStringLiteral("\\\\?\\UNC\\") + absolute.mid(2)).toStdWString();
    return QString(QStringLiteral("\\\\?\\") + absolute).toStdWString();
}

std::wstring join(const std::wstring &folder, const std::wstring &name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L'\\' + name;
}

bool validComponent(const std::wstring &name)
{
    if (name.empty() || name == L"." || name == L".." || name.back() == L'.' || name.back() == L' ')
        return false; // other programs drop a trailing dot or space and would reach another name
    for (const wchar_t c : name) {
        if (c < 32 || std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos)
            return false;
    }
    // Device names, with any extension, are devices for most programs: a file
    // of such a name could be neither opened nor removed by them.
    const QString stem = QString::fromStdWString(name.substr(0, name.find(L'.'))).trimmed().toUpper();
    static const QStringList devices{QStringLiteral("CON"),    QStringLiteral("PRN"),
                                     QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                     QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (devices.contains(stem))
        return false;
    const bool numbered =
        stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")));
    return !(numbered && stem.at(3) >= QLatin1Char('0') && stem.at(3) <= QLatin1Char('9'));
}

QString errorText(DWORD code, DWORD language)
{
    wchar_t *text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, language, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result = n > 0 ? QString::fromWCharArray(text, static_cast<int>(n)).trimmed()
                           : QStringLiteral("error %1").arg(code);
    if (text)
        ::LocalFree(text);
    return result;
}

} // namespace WinFs
