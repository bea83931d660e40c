// The stores and the writer: SQLite round trip, idempotent inserts, schema
// upgrade, a writer killed mid-batch, and the fleet database on a real
// PostgreSQL server that stops and comes back mid-batch.
#include "records/recordstore.h"
#include "records/recordwriter.h"
#include "records/summary.h"
#include "tests/records/pgcluster.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <cstdio>
#include <cstring>

namespace {

// A record with every field filled, distinct per n.
Records::BoardRecord sampleRecord(int n, const QString &bench = QStringLiteral("bench-a"))
{
    Records::BoardRecord r;
    r.id = Records::newRecordId(bench);
    r.bench = bench;
    r.window = QStringLiteral("multi");
    r.slot = n % 8 + 1;
    r.port = QStringLiteral("2,%1").arg(r.slot);
    r.serial = QStringLiteral("QB32%1").arg(n);
    r.source = QStringLiteral("/pkg/images.zip");
    r.sha256 = QString(64, QLatin1Char('a'));
    r.chip = QStringLiteral("CHIPX");
    r.os = QStringLiteral("OSY");
    r.start = QDateTime::currentDateTimeUtc().addSecs(-60 + n);
    r.durationMs = 2500 + n;
    r.end = r.start.addMSecs(r.durationMs);
    r.result = n % 3 ? Records::Result::Success : Records::Result::CommFailed;
    r.exitCode = n % 3 ? 0 : 1;
    r.lastLine = QStringLiteral("line %1, with 'quotes' and \"more\"").arg(n);
    return r;
}

// One query's first value on a fresh connection to the file.
QVariant scalar(const QString &path, const QString &sql)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(path);
        QSqlQuery q(db);
        if (db.open() && q.exec(sql) && q.next())
            value = q.value(0);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return value;
}

QVector<Records::BoardRecord> readAll(const QString &location)
{
    RecordStore store(location);
    return store.open() ? store.records() : QVector<Records::BoardRecord>();
}

// The child of killedWriterLosesNothing: one transaction per record, each id
// printed once committed, until killed.
int writeRecordsForever(const QString &path)
{
    RecordStore store(path);
    if (!store.open())
        return 3;
    for (int n = 0;; ++n) {
        const Records::BoardRecord record = sampleRecord(n);
        if (!store.insert(record))
            return 4;
        std::printf("%s\n", qPrintable(record.id));
        std::fflush(stdout);
    }
}

} // namespace

class tst_RecordsStore : public QObject
{
    Q_OBJECT
private slots:
    void roundTripIdempotenceAndUpgrade();
    void killedWriterLosesNothing();
    void fleetServerRestartMidBatch();

private:
    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }
};

void tst_RecordsStore::roundTripIdempotenceAndUpgrade()
{
    const QString file = path("a.sqlite");
    const Records::BoardRecord first = sampleRecord(1);
    const Records::BoardRecord second = sampleRecord(2, QStringLiteral("bench-b"));
    {
        RecordStore old(file);
        QVERIFY(old.open(1));
        QVERIFY(old.insert(first));
        QVERIFY(!old.insertQueued(second)); // no outbox before version 2
    }
    RecordStore store(file);
    QVERIFY2(store.open(), qPrintable(store.error()));
    QCOMPARE(store.schemaVersion(), 2);
    QVERIFY(store.insertQueued(second));
    QVERIFY(store.insert(first)); // again: no second row
    QVERIFY(store.insertQueued(second));
    QCOMPARE(store.queuedCount(), 1);
    QCOMPARE(Records::exportCsv(store.records()), Records::exportCsv({first, second})); // every field
    QCOMPARE(store.records(QDateTime(), QStringLiteral("bench-b")).size(), 1);
    QCOMPARE(store.records(second.start, QString()).size(), 1);
    QCOMPARE(scalar(file, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
}

void tst_RecordsStore::killedWriterLosesNothing()
{
    const QString file = path("killed.sqlite");
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--write-records"), file});
    QVERIFY(child.waitForStarted());
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (out.count('\n') < 200 && clock.elapsed() < 20000) {
        child.waitForReadyRead(100);
        out += child.readAllStandardOutput();
    }
    child.kill(); // SIGKILL, mid-transaction most likely
    QVERIFY(child.waitForFinished());
    out += child.readAllStandardOutput();
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QList<QByteArray> ids = out.split('\n');
    QVERIFY(ids.size() > 200);

    QCOMPARE(scalar(file, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    QSet<QString> stored;
    for (const Records::BoardRecord &r : readAll(file))
        stored.insert(r.id);
    // Every id reported as committed is there; the last piece may be one cut by the kill.
    for (int i = 0; i + 1 < ids.size(); ++i)
        QVERIFY2(stored.contains(QString::fromUtf8(ids.at(i))), ids.at(i).constData());
    QVERIFY(stored.size() >= ids.size() - 2);
}

void tst_RecordsStore::fleetServerRestartMidBatch()
{
    PgCluster cluster;
    const QString problem = cluster.start();
    if (!problem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for this test: ") + problem));
    const QString local = path("fleet-local.sqlite");
    RecordWriter writer(
        {local, cluster.connectionString(), 200, QStringLiteral("bench-a"), QStringLiteral("multi")},
        nullptr);
    QStringList sentIds;
    QList<int> queued;
    QList<int> counts;
    connect(&writer, &RecordWriter::queueChanged, this, [&queued](int n) { queued.append(n); });
    connect(&writer, &RecordWriter::stored, this, [&counts](int n) { counts.append(n); });
    auto submit = [&](int from, int to) {
        for (int n = from; n < to; ++n) {
            const Records::BoardRecord record = sampleRecord(n);
            sentIds.append(record.id);
            writer.submit(record);
        }
        writer.drain();
    };
    submit(0, 3);
    QCOMPARE(cluster.psql(QStringLiteral("SELECT COUNT(*) FROM records")), QStringLiteral("3"));

    QVERIFY(cluster.serverDown());
    submit(3, 7);
    QTRY_VERIFY(!queued.isEmpty() && queued.last() == 4);
    QCOMPARE(readAll(local).size(), 7);

    QVERIFY(cluster.serverUp());
    submit(7, 8);
    QTRY_COMPARE_WITH_TIMEOUT(queued.last(), 0, 15000);
    writer.drain();
    QTRY_COMPARE(counts, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8})); // the day's count after each
    // Exactly once, in the order written, every field as stored locally.
    QCOMPARE(cluster.psql(
                 QStringLiteral("SELECT COUNT(DISTINCT id), string_agg(id, ',' ORDER BY seq) FROM records")),
             QString(QStringLiteral("8|") + sentIds.join(',')));
    const QVector<Records::BoardRecord> back = readAll(cluster.connectionString());
    QCOMPARE(Records::exportCsv(back), Records::exportCsv(readAll(local)));
    // A record sent twice (its acknowledgement lost) is still there once.
    RecordStore fleet(cluster.connectionString());
    QVERIFY2(fleet.open(), qPrintable(fleet.error()));
    QVERIFY(fleet.insert(back.at(2)));
    QCOMPARE(cluster.psql(QStringLiteral("SELECT COUNT(*) FROM records")), QStringLiteral("8"));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--write-records") == 0)
        return writeRecordsForever(QString::fromLocal8Bit(argv[2]));
    tst_RecordsStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_records_store.moc"
