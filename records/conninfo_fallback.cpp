// Connection strings for a build without libpq (the Windows build, whose SQL
// drivers have no PostgreSQL one): the keyword/value form by libpq's rules;
// URIs are refused.
#include "records/databasesetting.h"

namespace Records {

bool parseConninfo(const QString &text, ConnParams *params, QString *error)
{
    const QString invalid = QStringLiteral("the Database setting is not a valid connection string");
    if (text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"))) {
        *error = QStringLiteral("this build has no libpq: give the fleet database as key=value pairs");
        return false;
    }
    params->clear();
    int i = 0;
    const int n = text.size();
    for (;;) {
        while (i < n && text.at(i).isSpace())
            ++i;
        if (i >= n)
            return true;
        const int keyStart = i;
        while (i < n && text.at(i) != QLatin1Char('=') && !text.at(i).isSpace())
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        while (i < n && text.at(i).isSpace())
            ++i;
        if (key.isEmpty() || i >= n || text.at(i) != QLatin1Char('=')) {
            *error = invalid;
            return false;
        }
        ++i;
        while (i < n && text.at(i).isSpace())
            ++i;
        QString value;
        if (i < n && text.at(i) == QLatin1Char('\'')) {
            for (++i;; ++i) {
                if (i >= n) {
                    *error = invalid; // unterminated quote
                    return false;
                }
                if (text.at(i) == QLatin1Char('\''))
                    break;
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n)
                    ++i;
                value += text.at(i);
            }
            ++i;
        } else {
            while (i < n && !text.at(i).isSpace()) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n)
                    ++i;
                value += text.at(i++);
            }
        }
        params->append({key, value});
    }
}

} // namespace Records
