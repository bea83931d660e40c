#include "records/databasesetting.h"

#include <QStringList>

namespace Records {

namespace {

bool isUri(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

bool isSqliteName(const QString &text)
{
    return text.endsWith(QLatin1String(".sqlite"), Qt::CaseInsensitive) ||
           text.endsWith(QLatin1String(".db"), Qt::CaseInsensitive);
}

} // namespace

DatabaseSetting parseDatabaseSetting(const QString &raw)
{
    DatabaseSetting setting;
    const QString text = raw.trimmed();
    if (text.isEmpty())
        return setting;
    if (isUri(text) || text.contains(QLatin1Char('='))) {
        QString error;
        if (parseConninfo(text, &setting.params, &error)) {
            setting.kind = DatabaseSetting::Kind::Postgres;
            return setting;
        }
        if (!isUri(text) && isSqliteName(text)) { // a file name that happens to hold "="
            setting.params.clear();
            setting.kind = DatabaseSetting::Kind::SqliteFile;
            setting.path = text;
            return setting;
        }
        setting.kind = DatabaseSetting::Kind::Invalid;
        setting.error = error;
        return setting;
    }
    if (isSqliteName(text)) {
        setting.kind = DatabaseSetting::Kind::SqliteFile;
        setting.path = text;
        return setting;
    }
    setting.kind = DatabaseSetting::Kind::Invalid;
    setting.error = QStringLiteral("the Database setting is neither a connection string (key=value ...), a "
                                   "postgresql:// URI nor an SQLite file ending in .sqlite or .db");
    return setting;
}

QString rawIniValue(const QString &iniText, const QString &section, const QString &key)
{
    bool inSection = false;
    const QStringList lines = iniText.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('['))) {
            inSection =
                trimmed.compare(QLatin1Char('[') + section + QLatin1Char(']'), Qt::CaseInsensitive) == 0;
            continue;
        }
        const int equals = trimmed.indexOf(QLatin1Char('='));
        if (!inSection || equals <= 0 ||
            trimmed.left(equals).trimmed().compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QString value = trimmed.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

bool isLoginRefusal(const QString &errorText)
{
    static const char *const kSigns[] = {"authentication failed", "password authentication",
                                         "no password supplied",  "no pg_hba.conf entry",
                                         "does not exist",        "certificate",
                                         "permission denied"};
    for (const char *sign : kSigns) {
        if (errorText.contains(QLatin1String(sign), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace Records
