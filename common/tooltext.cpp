#include "common/tooltext.h"

#include <QLatin1String>

namespace ToolText {

bool has(const QString &line, const char *text)
{
    return line.contains(QLatin1String(text), Qt::CaseSensitive);
}

QString withSlash(const QString &line)
{
    QString counted = line;
    const int backslash = counted.indexOf(QLatin1Char('\\'));
    if (backslash >= 0)
        counted[backslash] = QLatin1Char('/');
    return counted;
}

std::optional<int> updatedSizePercent(const QString &line)
{
    const int colon = line.lastIndexOf(QLatin1Char(':'));
    const int slash = line.lastIndexOf(QLatin1Char('/'));
    const int paren = line.lastIndexOf(QLatin1Char('('));
    if (colon < 0 || slash < colon || paren < slash)
        return std::nullopt;
    bool totalOk = false;
    const int total = line.mid(slash + 1, paren - slash - 1).toInt(&totalOk);
    if (!totalOk || total < 100)
        return std::nullopt;
    const int done = line.mid(colon + 1, slash - colon - 1).toInt(); // 0 when not a number
    return done / (total / 100);
}

} // namespace ToolText
