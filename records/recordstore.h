#pragma once

#include "records/record.h"

#include <QString>
#include <QVector>

#include <memory>

class QSqlQuery;

// A record database: an SQLite file or a PostgreSQL server, the same table in
// both. The schema is created and upgraded on open (table schema_version).
// Inserts are idempotent on the record id, one transaction per record.
// A store belongs to the thread that opened it (a Qt SQL connection does).
class RecordStore final
{
public:
    // An SQLite file path, or a PostgreSQL connection string
    // ("host=... port=... dbname=... user=... password=..." and libpq options).
    explicit RecordStore(QString location);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    static bool isConnectionString(const QString &location);
    static constexpr int kSchemaVersion = 3;

    // Opens (SQLite: creates the file, WAL mode) and brings the schema up to
    // `targetVersion`. False with error() set when that fails.
    bool open(int targetVersion = kSchemaVersion);
    void close();
    bool isOpen() const;
    bool isSqlite() const { return !m_remote; }
    QString error() const { return m_error; }
    int schemaVersion();

    // Adds the record unless one with its id exists; true when it is there afterwards.
    bool insert(const Records::BoardRecord &record);
    // The same, and the id goes to the outbox (records waiting for the fleet
    // database), both in one transaction.
    bool insertQueued(const Records::BoardRecord &record);
    // The oldest `limit` records in the outbox, oldest first.
    QVector<Records::BoardRecord> queued(int limit);
    bool markSent(const QString &id);
    int queuedCount();

    // Records started at or after `since` (all when invalid) on `bench` (all
    // when empty), in the order they were written.
    QVector<Records::BoardRecord> records(const QDateTime &since = QDateTime(),
                                          const QString &bench = QString());
    // Records of this bench and window started at or after `since`.
    int countSince(const QString &bench, const QString &window, const QDateTime &since);

private:
    bool fail(const QString &what, const QString &detail);
    // Runs a prepared SELECT of the record columns; on failure `what` goes to error().
    QVector<Records::BoardRecord> readRecords(QSqlQuery &q, const QString &what);
    bool migrate(int from, int to);
    bool insertRow(const Records::BoardRecord &record);

    std::unique_ptr<QSqlQuery> m_insert; // prepared once per connection
    std::unique_ptr<QSqlQuery> m_begin;  // SQLite: BEGIN and COMMIT prepared once too
    std::unique_ptr<QSqlQuery> m_commit;
    QString m_location;
    QString m_connection;
    bool m_remote;
    QString m_error;
    QString m_columns; // the records' columns this schema version has
};
