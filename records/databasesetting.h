#pragma once

#include <QPair>
#include <QString>
#include <QVector>

namespace Records {

using ConnParams = QVector<QPair<QString, QString>>;

// The [Records] Database= value as the program takes it: nothing, an SQLite
// file, or a PostgreSQL server given as a libpq connection string or URI.
struct DatabaseSetting
{
    enum class Kind { None, SqliteFile, Postgres, Invalid };
    Kind kind = Kind::None;
    QString path;      // SqliteFile
    ConnParams params; // Postgres: keyword and value, as libpq reads them
    QString error;     // Invalid: what is wrong, never the value itself (it may hold a password)
};

// A value with "=" or a postgresql:// (postgres://) URI is parsed by libpq's
// rules (quoted values, escapes, URI percent-encoding); a path ending in
// .sqlite or .db is an SQLite file; anything else is refused.
DatabaseSetting parseDatabaseSetting(const QString &text);

// Parses a libpq connection string or URI into its keywords and values. The
// Linux build asks libpq itself (PQconninfoParse); a build without libpq uses
// a parser of the keyword/value form only and refuses URIs.
bool parseConninfo(const QString &text, ConnParams *params, QString *error);

// The value of `key` in [section] of an INI file's text as written: what
// follows the first "=" up to the line's end, blanks around it removed, and a
// value wholly in double quotes without them. (QSettings would split it at
// commas and drop the blanks around them, changing a password.)
QString rawIniValue(const QString &iniText, const QString &section, const QString &key);

// True when the text (a connection error) says the server refused the login
// rather than could not be reached.
bool isLoginRefusal(const QString &errorText);

} // namespace Records
