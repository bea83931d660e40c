#pragma once

#include "records/record.h"

#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QSqlDatabase;
class QSqlQuery;

// A record database: an SQLite file or a PostgreSQL server, the same table in
// both. The schema is created and upgraded on open (table schema_version).
// Inserts are idempotent on the record id, one transaction per record.
// A store belongs to the thread that opened it (a Qt SQL connection does).
class RecordStore final
{
public:
    // An SQLite file path, or a PostgreSQL connection string or URI
    // ("host=... port=... dbname=... user=... password=..." and libpq options,
    // read by libpq's rules).
    explicit RecordStore(QString location);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    static bool isConnectionString(const QString &location);
    // Schema upgrades: migrationStep() in recordstore.cpp holds one step per version.
    static constexpr int kSchemaVersion = 3;
    static constexpr int kBusyTimeoutMs = 1000;       // SQLite waits this long for another program's lock
    static constexpr int kConnectTimeoutS = 5;        // fleet: unless the setting gives connect_timeout
    static constexpr int kStatementTimeoutMs = 15000; // fleet: the server ends a longer statement

    enum class Access {
        Write,         // SQLite: creates the file; the schema is created and upgraded
        WriteExisting, // SQLite: the file must exist; nothing is created or upgraded
        ReadOnly,      // never writes: no file, schema or upgrade is made; read-only media work
    };
    // A link, dangling or not, in place of an SQLite file is refused for
    // writing; anything but a regular file always, an empty one when reading. Empty when the
    // path may be opened.
    static QString refusedPath(const QString &path, Access access);

    // Opens (SQLite for writing: creates the file, WAL mode) and, for writing,
    // brings the schema up to `targetVersion`. A schema newer than this
    // program's is refused; so is one without records when not writing. False
    // with error() set when that fails.
    bool open(int targetVersion = kSchemaVersion, Access access = Access::Write);
    // The last open failed because the server refused the login.
    bool loginRefused() const { return m_loginRefused; }
    void close();
    bool isOpen() const;
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
    // SQLite: copies the committed log into the file itself, so the file alone
    // holds every record (also when it is moved away). Never blocks.
    void checkpoint();
    int queuedCount();

    // Records started at or after `since` (all when invalid) on `bench` (all
    // when empty), in the order they were written.
    QVector<Records::BoardRecord> records(const QDateTime &since = QDateTime(),
                                          const QString &bench = QString());
    // Records of this bench and window started at or after `since`.
    int countSince(const QString &bench, const QString &window, const QDateTime &since);

private:
    bool openRemote(QSqlDatabase &db, Access access);
    bool openLocal(QSqlDatabase &db, Access access);
    bool fail(const QString &what, const QString &detail);
    // Runs a prepared SELECT of the record columns; on failure `what` goes to error().
    QVector<Records::BoardRecord> readRecords(QSqlQuery &q, const QString &what);
    bool migrate(int from, int to);
    // One transaction around body; `what` heads the error when it fails.
    bool transaction(const QString &what, const std::function<bool()> &body);
    bool insertRow(const Records::BoardRecord &record);

    std::unique_ptr<QSqlQuery> m_insert; // prepared once per connection
    std::unique_ptr<QSqlQuery> m_begin;  // SQLite: BEGIN and COMMIT prepared once too
    std::unique_ptr<QSqlQuery> m_commit;
    QString m_location;
    QString m_connection;
    bool m_remote;
    QString m_error;
    QString m_columns; // the records' columns this schema version has
    bool m_loginRefused = false;
};
