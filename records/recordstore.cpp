#include "records/recordstore.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>

namespace {

QAtomicInt connectionCounter;

const char kColumns[] = "id, bench, window_name, slot, port, serial, source, sha256, chip, os, start_utc, "
                        "end_utc, duration_ms, result, exit_code, last_line";
// From schema version 3 on; NULL in the rows written before.
const char kSignedByColumn[] = ", signed_by";

// Splits "key=value key='quoted value'" into pairs, as libpq reads them.
QVector<QPair<QString, QString>> parseConnectionString(const QString &text)
{
    QVector<QPair<QString, QString>> pairs;
    int i = 0;
    const int n = text.size();
    while (i < n) {
        while (i < n && text.at(i).isSpace())
            ++i;
        const int keyStart = i;
        while (i < n && text.at(i) != QLatin1Char('=') && !text.at(i).isSpace())
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        while (i < n && text.at(i).isSpace())
            ++i;
        if (i >= n || text.at(i) != QLatin1Char('='))
            break;
        ++i;
        while (i < n && text.at(i).isSpace())
            ++i;
        QString value;
        if (i < n && text.at(i) == QLatin1Char('\'')) {
            for (++i; i < n && text.at(i) != QLatin1Char('\''); ++i) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n)
                    ++i;
                value += text.at(i);
            }
            ++i;
        } else {
            while (i < n && !text.at(i).isSpace())
                value += text.at(i++);
        }
        if (!key.isEmpty())
            pairs.append({key, value});
    }
    return pairs;
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
    return location.contains(QLatin1Char('='));
}

bool RecordStore::fail(const QString &what, const QString &detail)
{
    m_error = what + QStringLiteral(": ") + detail;
    return false;
}

bool RecordStore::open(int targetVersion)
{
    close();
    QSqlDatabase db = QSqlDatabase::addDatabase(
        m_remote ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid())
        return fail(QStringLiteral("no Qt SQL driver"), db.lastError().text());
    if (m_remote) {
        QStringList options;
        for (const auto &pair : parseConnectionString(m_location)) {
            if (pair.first == QLatin1String("host"))
                db.setHostName(pair.second);
            else if (pair.first == QLatin1String("port"))
                db.setPort(pair.second.toInt());
            else if (pair.first == QLatin1String("dbname"))
                db.setDatabaseName(pair.second);
            else if (pair.first == QLatin1String("user"))
                db.setUserName(pair.second);
            else if (pair.first == QLatin1String("password"))
                db.setPassword(pair.second);
            else
                options.append(pair.first + QLatin1Char('=') + pair.second);
        }
        // An unreachable server must not hold a write for long.
        if (!m_location.contains(QLatin1String("connect_timeout")))
            options.append(QStringLiteral("connect_timeout=5"));
        db.setConnectOptions(options.join(QLatin1Char(';')));
    } else {
        db.setDatabaseName(m_location);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    }
    if (!db.open())
        return fail(QStringLiteral("cannot open %1")
                        .arg(m_remote ? QStringLiteral("the fleet database") : m_location),
                    db.lastError().text());
    if (!m_remote) {
        // WAL: a commit is one append, a process killed at any point leaves the
        // committed records and a consistent file. NORMAL syncs at checkpoints,
        // which is safe against a killed process.
        QSqlQuery pragma(db);
        if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
            !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
            return fail(QStringLiteral("cannot set WAL mode"), pragma.lastError().text());
    }
    const int version = schemaVersion();
    if (version < 0)
        return false;
    if (version < targetVersion && !migrate(version, targetVersion))
        return false;
    m_columns = QLatin1String(kColumns);
    if (std::max(version, targetVersion) >= 3)
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

bool RecordStore::insert(const Records::BoardRecord &record)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen())
        return fail(QStringLiteral("cannot write record %1").arg(record.id), QStringLiteral("not open"));
    if (m_remote) {
        // PostgreSQL prepares no BEGIN: the driver's transaction calls.
        if (!db.transaction())
            return fail(QStringLiteral("cannot begin a transaction"), db.lastError().text());
        if (!insertRow(record) || !db.commit()) {
            if (m_error.isEmpty())
                m_error = db.lastError().text();
            db.rollback();
            return false;
        }
        return true;
    }
    // SQLite: the same statements the driver would send, prepared once.
    if (!m_begin) {
        m_begin = std::make_unique<QSqlQuery>(db);
        m_commit = std::make_unique<QSqlQuery>(db);
        if (!m_begin->prepare(QStringLiteral("BEGIN")) || !m_commit->prepare(QStringLiteral("COMMIT"))) {
            m_begin.reset();
            m_commit.reset();
            return fail(QStringLiteral("cannot prepare a transaction"), db.lastError().text());
        }
    }
    if (!m_begin->exec())
        return fail(QStringLiteral("cannot begin a transaction"), m_begin->lastError().text());
    if (!insertRow(record) || !m_commit->exec()) {
        if (m_error.isEmpty())
            m_error = m_commit->lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

bool RecordStore::insertQueued(const Records::BoardRecord &record)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return fail(QStringLiteral("cannot begin a transaction"), db.lastError().text());
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO outbox (id) VALUES (?) ON CONFLICT (id) DO NOTHING"));
    q.addBindValue(record.id);
    if (!insertRow(record) || !q.exec() || !db.commit()) {
        fail(QStringLiteral("cannot queue record %1").arg(record.id), q.lastError().text());
        db.rollback();
        return false;
    }
    return true;
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
