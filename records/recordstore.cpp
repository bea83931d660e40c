#include "records/recordstore.h"

#include "records/databasesetting.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <functional>

namespace {

QAtomicInt connectionCounter;

const char kColumns[] = "id, bench, window_name, slot, port, serial, source, sha256, chip, os, start_utc, "
                        "end_utc, duration_ms, result, exit_code, last_line";
// From schema version 3 on; NULL in the rows written before.
const char kSignedByColumn[] = ", signed_by";

// A conninfo value as Qt's PostgreSQL driver passes it on: in single quotes,
// a quote or backslash escaped.
QString quoted(QString value)
{
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

bool hasParam(const Records::ConnParams &params, const char *key)
{
    for (const auto &pair : params) {
        if (pair.first == QLatin1String(key))
            return true;
    }
    return false;
}

// Steps from version n-1 to n, per kind of database.
QStringList migrationStep(int version, bool sqlite)
{
    switch (version) {
    case 1:
        return {
            QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS records (") +
                (sqlite ? QStringLiteral("seq INTEGER PRIMARY KEY AUTOINCREMENT")
                        : QStringLiteral("seq BIGSERIAL PRIMARY KEY")) +
                QStringLiteral(", id TEXT NOT NULL UNIQUE, bench TEXT NOT NULL, window_name TEXT NOT NULL, "
                               "slot INTEGER NOT NULL, port TEXT NOT NULL, serial TEXT NOT NULL, "
                               "source TEXT NOT NULL, sha256 TEXT NOT NULL, chip TEXT NOT NULL, "
                               "os TEXT NOT NULL, start_utc TEXT NOT NULL, end_utc TEXT NOT NULL, "
                               "duration_ms BIGINT NOT NULL, result TEXT NOT NULL, "
                               "exit_code INTEGER NOT NULL, last_line TEXT NOT NULL)"),
        };
    case 2:
        return {
            QStringLiteral("CREATE INDEX IF NOT EXISTS records_start ON records (start_utc)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS outbox (") +
                (sqlite ? QStringLiteral("seq INTEGER PRIMARY KEY AUTOINCREMENT")
                        : QStringLiteral("seq BIGSERIAL PRIMARY KEY")) +
                QStringLiteral(", id TEXT NOT NULL UNIQUE)"),
        };
    case 3:
        return {QStringLiteral("ALTER TABLE records ADD COLUMN signed_by TEXT")};
    default:
        return {};
    }
}

Records::BoardRecord fromRow(const QSqlQuery &q)
{
    Records::BoardRecord r;
    r.id = q.value(0).toString();
    r.bench = q.value(1).toString();
    r.window = q.value(2).toString();
    r.slot = q.value(3).toInt();
    r.port = q.value(4).toString();
    r.serial = q.value(5).toString();
    r.source = q.value(6).toString();
    r.sha256 = q.value(7).toString();
    r.chip = q.value(8).toString();
    r.os = q.value(9).toString();
    r.start = Records::fromIsoUtc(q.value(10).toString());
    r.end = Records::fromIsoUtc(q.value(11).toString());
    r.durationMs = q.value(12).toLongLong();
    r.result = Records::resultFromName(q.value(13).toString()).value_or(Records::Result::DownloadFailed);
    r.exitCode = q.value(14).toInt();
    r.lastLine = q.value(15).toString();
    r.signedBy = q.value(16).toString(); // invalid, so empty, before version 3
    return r;
}

} // namespace

RecordStore::RecordStore(QString location)
    : m_location(std::move(location)),
      m_connection(QStringLiteral("quor_records_%1").arg(connectionCounter.fetchAndAddRelaxed(1))),
      m_remote(isConnectionString(m_location))
{
}

RecordStore::~RecordStore()
{
    close();
}

bool RecordStore::isConnectionString(const QString &location)
{
    return location.contains(QLatin1Char('=')) || location.startsWith(QLatin1String("postgresql://")) ||
           location.startsWith(QLatin1String("postgres://"));
}

bool RecordStore::fail(const QString &what, const QString &detail)
{
    m_error = what + QStringLiteral(": ") + detail;
    return false;
}

QString RecordStore::refusedPath(const QString &path, Access access)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    // A link is refused for writing even when it dangles: following it would
    // create the database wherever it points. A reader follows it.
    if (info.isSymLink() && access != Access::ReadOnly)
        return QStringLiteral("%1 is a link").arg(name);
    if (!info.exists())
        return access == Access::Write ? QString() : QStringLiteral("%1 does not exist").arg(name);
    if (!info.isFile())
        return QStringLiteral("%1 is not a regular file").arg(name);
    if (access == Access::ReadOnly && info.size() == 0)
        return QStringLiteral("%1 is empty, not a records database").arg(name);
    return QString();
}

bool RecordStore::openRemote(QSqlDatabase &db, Access access)
{
    Records::ConnParams params;
    QString error;
    if (!Records::parseConninfo(m_location, &params, &error))
        return fail(QStringLiteral("cannot use the fleet database"), error);
    QStringList options;
    QString serverOptions;
    for (const auto &pair : qAsConst(params)) {
        if (pair.first == QLatin1String("password")) {
            db.setPassword(pair.second); // quoted by the driver; may hold anything
        } else if (pair.first == QLatin1String("options")) {
            serverOptions = pair.second;
        } else {
            // The driver turns every ";" of the options into a blank.
            if (pair.second.contains(QLatin1Char(';')))
                return fail(QStringLiteral("cannot use the fleet database"),
                            QStringLiteral("the value of %1 holds a \";\"").arg(pair.first));
            options.append(pair.first + QLatin1Char('=') + quoted(pair.second));
        }
    }
    // Limits on every fleet operation: an unreachable server, a dead link and a
    // statement that does not end are given up and tried again later.
    const struct
    {
        const char *key;
        int value;
    } defaults[] = {{"connect_timeout", kConnectTimeoutS},
                    {"keepalives", 1},
                    {"keepalives_idle", 10},
                    {"keepalives_interval", 5},
                    {"keepalives_count", 3},
                    {"tcp_user_timeout", 20000}};
    for (const auto &d : defaults) {
        if (!hasParam(params, d.key))
            options.append(QLatin1String(d.key) + QLatin1Char('=') + QString::number(d.value));
    }
    serverOptions += QStringLiteral(" -c statement_timeout=%1").arg(kStatementTimeoutMs);
    if (access == Access::ReadOnly)
        serverOptions += QStringLiteral(" -c default_transaction_read_only=on");
    if (serverOptions.contains(QLatin1Char(';')))
        return fail(QStringLiteral("cannot use the fleet database"),
                    QStringLiteral("the value of options holds a \";\""));
    options.append(QStringLiteral("options=") + quoted(serverOptions.trimmed()));
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open()) {
        const QString detail = db.lastError().text();
        m_loginRefused = Records::isLoginRefusal(detail);
        return fail(m_loginRefused ? QStringLiteral("login refused by the fleet database")
                                   : QStringLiteral("the fleet database is not reachable"),
                    detail);
    }
    return true;
}

bool RecordStore::openLocal(QSqlDatabase &db, Access access)
{
    const QString refused = refusedPath(m_location, access);
    if (!refused.isEmpty())
        return fail(QStringLiteral("cannot open %1").arg(m_location), refused);
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs);
    if (access == Access::Write) {
        db.setDatabaseName(m_location);
    } else {
        // A URI: "mode" opens without ever creating the file.
        options += QStringLiteral(";QSQLITE_OPEN_URI");
        if (access == Access::ReadOnly)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        // Read-only without a log beside the file (no writer has it open, and
        // a writer that closed put everything into the file): immutable, so
        // SQLite creates no log or index files either, and read-only media work.
        QString query = access == Access::ReadOnly ? QStringLiteral("?mode=ro") : QStringLiteral("?mode=rw");
        if (access == Access::ReadOnly && !QFileInfo::exists(m_location + QStringLiteral("-wal")))
            query += QStringLiteral("&immutable=1");
        db.setDatabaseName(
            QUrl::fromLocalFile(QFileInfo(m_location).absoluteFilePath()).toString(QUrl::FullyEncoded) +
            query);
    }
    db.setConnectOptions(options);
    if (!db.open())
        return fail(QStringLiteral("cannot open %1").arg(m_location), db.lastError().text());
    QSqlQuery pragma(db);
    // Reads the header: a file that is no database fails here, not later.
    if (!pragma.exec(QStringLiteral("PRAGMA schema_version")))
        return fail(QStringLiteral("cannot open %1").arg(m_location), pragma.lastError().text());
    if (access == Access::ReadOnly)
        return true;
    // WAL: a commit is one append, a process killed at any point leaves the
    // committed records and a consistent file. NORMAL syncs at checkpoints,
    // which is safe against a killed process.
    if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return fail(QStringLiteral("cannot set WAL mode"), pragma.lastError().text());
    return true;
}

bool RecordStore::open(int targetVersion, Access access)
{
    close();
    m_error.clear();
    m_loginRefused = false;
    bool opened = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(
            m_remote ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_connection);
        if (!db.isValid())
            fail(QStringLiteral("no Qt SQL driver"), db.lastError().text());
        else
            opened = m_remote ? openRemote(db, access) : openLocal(db, access);
    } // no handle left when the connection is removed
    if (!opened) {
        close();
        return false;
    }
    const int version = schemaVersion();
    bool ok = version >= 0;
    if (ok && version > kSchemaVersion)
        ok = fail(
            QStringLiteral("cannot use %1").arg(m_remote ? QStringLiteral("the fleet database") : m_location),
            QStringLiteral("written by a newer program (schema version %1; this one knows up to %2)")
                .arg(version)
                .arg(kSchemaVersion));
    else if (ok && access != Access::Write && version == 0)
        ok = fail(
            QStringLiteral("cannot use %1").arg(m_remote ? QStringLiteral("the fleet database") : m_location),
            QStringLiteral("not a records database (no records table)"));
    else if (ok && access == Access::Write && version < targetVersion)
        ok = migrate(version, targetVersion);
    if (!ok) {
        close();
        return false;
    }
    // A reader sees the columns the file has; a writer has upgraded it.
    m_columns = QLatin1String(kColumns);
    if ((access == Access::Write ? std::max(version, targetVersion) : version) >= 3)
        m_columns += QLatin1String(kSignedByColumn);
    return true;
}

void RecordStore::close()
{
    m_insert.reset(); // before their connection goes
    m_begin.reset();
    m_commit.reset();
    if (!QSqlDatabase::contains(m_connection))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool RecordStore::isOpen() const
{
    return QSqlDatabase::contains(m_connection) && QSqlDatabase::database(m_connection, false).isOpen();
}

int RecordStore::schemaVersion()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.tables().contains(QStringLiteral("schema_version")))
        return 0;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version"))) {
        fail(QStringLiteral("cannot read the schema version"), q.lastError().text());
        return -1;
    }
    return q.next() ? q.value(0).toInt() : 0;
}

bool RecordStore::migrate(int from, int to)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    for (int version = from + 1; version <= to; ++version) {
        if (!db.transaction())
            return fail(QStringLiteral("cannot begin the schema upgrade"), db.lastError().text());
        QSqlQuery q(db);
        QStringList statements = migrationStep(version, !m_remote);
        statements.append(QStringLiteral("DELETE FROM schema_version"));
        statements.append(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(version));
        for (const QString &statement : qAsConst(statements)) {
            if (!q.exec(statement)) {
                const QString detail = q.lastError().text();
                db.rollback();
                // Two benches creating one fleet schema at once: the other one won.
                if (m_remote && schemaVersion() >= version)
                    break;
                return fail(QStringLiteral("schema upgrade to version %1 failed").arg(version), detail);
            }
        }
        if (!db.commit())
            return fail(QStringLiteral("schema upgrade to version %1 failed").arg(version),
                        db.lastError().text());
    }
    return true;
}

bool RecordStore::insertRow(const Records::BoardRecord &r)
{
    if (!m_insert) {
        m_insert = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
        const QString extra =
            m_columns.endsWith(QLatin1String(kSignedByColumn)) ? QStringLiteral(", ?") : QString();
        if (!m_insert->prepare(QStringLiteral("INSERT INTO records (") + m_columns +
                               QStringLiteral(") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?") +
                               extra + QStringLiteral(") ON CONFLICT (id) DO NOTHING"))) {
            const QString detail = m_insert->lastError().text();
            m_insert.reset();
            return fail(QStringLiteral("cannot prepare the record insert"), detail);
        }
    }
    QSqlQuery &q = *m_insert;
    const QVariantList values = {r.id,
                                 r.bench,
                                 r.window,
                                 r.slot,
                                 r.port,
                                 r.serial,
                                 r.source,
                                 r.sha256,
                                 r.chip,
                                 r.os,
                                 Records::isoUtc(r.start),
                                 Records::isoUtc(r.end),
                                 r.durationMs,
                                 Records::resultName(r.result),
                                 r.exitCode,
                                 r.lastLine};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i).isNull() ? QVariant(QString(QLatin1String(""))) : values.at(i));
    if (m_columns.endsWith(QLatin1String(kSignedByColumn)))
        q.bindValue(values.size(), r.signedBy.isNull() ? QString(QLatin1String("")) : r.signedBy);
    if (!q.exec())
        return fail(QStringLiteral("cannot write record %1").arg(r.id), q.lastError().text());
    return true;
}

bool RecordStore::transaction(const QString &what, const std::function<bool()> &body)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen())
        return fail(what, QStringLiteral("not open"));
    m_error.clear();
    if (m_remote) {
        // PostgreSQL prepares no BEGIN: the driver's transaction calls.
        if (!db.transaction())
            return fail(what, db.lastError().text());
        if (!body() || !db.commit()) {
            if (m_error.isEmpty())
                fail(what, db.lastError().text());
            db.rollback();
            return false;
        }
        return true;
    }
    // SQLite: prepared once. IMMEDIATE takes the write lock at the start, so a
    // lock held elsewhere is waited for (busy timeout) before anything is done.
    if (!m_begin) {
        m_begin = std::make_unique<QSqlQuery>(db);
        m_commit = std::make_unique<QSqlQuery>(db);
        if (!m_begin->prepare(QStringLiteral("BEGIN IMMEDIATE")) ||
            !m_commit->prepare(QStringLiteral("COMMIT"))) {
            const QString detail = m_begin->lastError().text() + m_commit->lastError().text();
            m_begin.reset();
            m_commit.reset();
            return fail(what, detail);
        }
    }
    if (!m_begin->exec())
        return fail(what, m_begin->lastError().text());
    if (!body() || !m_commit->exec()) {
        if (m_error.isEmpty())
            fail(what, m_commit->lastError().text());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool RecordStore::insert(const Records::BoardRecord &record)
{
    return transaction(QStringLiteral("cannot write record %1").arg(record.id),
                       [&] { return insertRow(record); });
}

bool RecordStore::insertQueued(const Records::BoardRecord &record)
{
    return transaction(QStringLiteral("cannot queue record %1").arg(record.id), [&] {
        if (!insertRow(record))
            return false;
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.prepare(QStringLiteral("INSERT INTO outbox (id) VALUES (?) ON CONFLICT (id) DO NOTHING"));
        q.addBindValue(record.id);
        return q.exec() ||
               fail(QStringLiteral("cannot queue record %1").arg(record.id), q.lastError().text());
    });
}

QVector<Records::BoardRecord> RecordStore::queued(int limit)
{
    QString columns = QStringLiteral("r.") + m_columns;
    columns.replace(QStringLiteral(", "), QStringLiteral(", r."));
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT ") + columns +
              QStringLiteral(" FROM outbox o JOIN records r ON r.id = o.id ORDER BY o.seq LIMIT ?"));
    q.addBindValue(limit);
    return readRecords(q, QStringLiteral("cannot read the outbox"));
}

bool RecordStore::markSent(const QString &id)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("DELETE FROM outbox WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec())
        return fail(QStringLiteral("cannot update the outbox"), q.lastError().text());
    return true;
}

void RecordStore::checkpoint()
{
    if (!m_remote)
        QSqlQuery(QSqlDatabase::database(m_connection, false))
            .exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
}

int RecordStore::queuedCount()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM outbox")) || !q.next())
        return -1;
    return q.value(0).toInt();
}

QVector<Records::BoardRecord> RecordStore::records(const QDateTime &since, const QString &bench)
{
    QString sql = QStringLiteral("SELECT ") + m_columns + QStringLiteral(" FROM records WHERE 1=1");
    if (since.isValid())
        sql += QStringLiteral(" AND start_utc >= ?");
    if (!bench.isEmpty())
        sql += QStringLiteral(" AND bench = ?");
    sql += QStringLiteral(" ORDER BY seq");
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(sql);
    if (since.isValid())
        q.addBindValue(Records::isoUtc(since));
    if (!bench.isEmpty())
        q.addBindValue(bench);
    return readRecords(q, QStringLiteral("cannot read the records"));
}

QVector<Records::BoardRecord> RecordStore::readRecords(QSqlQuery &q, const QString &what)
{
    QVector<Records::BoardRecord> out;
    if (!q.exec()) {
        fail(what, q.lastError().text());
        return out;
    }
    while (q.next())
        out.append(fromRow(q));
    return out;
}

int RecordStore::countSince(const QString &bench, const QString &window, const QDateTime &since)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral(
        "SELECT COUNT(*) FROM records WHERE bench = ? AND window_name = ? AND start_utc >= ?"));
    q.addBindValue(bench);
    q.addBindValue(window);
    q.addBindValue(Records::isoUtc(since));
    if (!q.exec() || !q.next())
        return -1;
    return q.value(0).toInt();
}
