// The fleet database on a real PostgreSQL server: records sent in order and
// exactly once, also when the server stops and comes back in the middle of a
// batch, and quor_records reading the server.
#include "records/recordstore.h"
#include "records/recordwriter.h"
#include "tests/records/pgcluster.h"
#include "tests/records/recordtestdata.h"

#include <QSignalSpy>
#include <QtTest>

class tst_RecordsFleet : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void serverRestartMidBatch();

private:
    PgCluster cluster;
    QTemporaryDir dir;
};

void tst_RecordsFleet::initTestCase()
{
    const QString why = cluster.start();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for this test: ") + why));
}

void tst_RecordsFleet::serverRestartMidBatch()
{
    const QString local = dir.filePath(QStringLiteral("records.sqlite"));
    RecordWriter writer(
        {local, cluster.connectionString(), 200, QStringLiteral("bench-a"), QStringLiteral("multi")},
        nullptr);
    QStringList sentIds;
    QList<int> queued;
    connect(&writer, &RecordWriter::queueChanged, this, [&queued](int n) { queued.append(n); });
    auto submit = [&](int n) {
        const Records::BoardRecord record = sampleRecord(n);
        sentIds.append(record.id);
        writer.submit(record);
    };
    for (int n = 0; n < 3; ++n)
        submit(n);
    writer.drain();
    QCOMPARE(cluster.psql(QStringLiteral("SELECT COUNT(*) FROM records")), QStringLiteral("3"));

    QVERIFY(cluster.serverDown());
    for (int n = 3; n < 7; ++n)
        submit(n);
    writer.drain();
    QTRY_VERIFY(!queued.isEmpty() && queued.last() == 4);
    {
        RecordStore store(local); // the outbox holds them, in order
        QVERIFY(store.open());
        QCOMPARE(store.queuedCount(), 4);
        QCOMPARE(store.records().size(), 7);
    }

    QVERIFY(cluster.serverUp());
    submit(7);
    QTRY_COMPARE_WITH_TIMEOUT(queued.last(), 0, 15000);
    writer.drain();
    // Exactly once, in the order written.
    QCOMPARE(cluster.psql(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT id) FROM records")),
             QStringLiteral("8|8"));
    QCOMPARE(cluster.psql(QStringLiteral("SELECT string_agg(id, ',' ORDER BY seq) FROM records")),
             sentIds.join(QLatin1Char(',')));

    RecordStore fleet(cluster.connectionString());
    QVERIFY2(fleet.open(), qPrintable(fleet.error()));
    QCOMPARE(fleet.schemaVersion(), RecordStore::kSchemaVersion);
    const QVector<Records::BoardRecord> back = fleet.records();
    QCOMPARE(back.size(), 8);
    RecordStore again(local);
    QVERIFY(again.open());
    for (int i = 0; i < back.size(); ++i)
        QVERIFY(sameRecord(back.at(i), again.records().at(i)));
    // A record sent twice (its acknowledgement lost) is still there once.
    QVERIFY(fleet.insert(back.at(2)));
    QCOMPARE(cluster.psql(QStringLiteral("SELECT COUNT(*) FROM records")), QStringLiteral("8"));

    // quor_records reads the server. sampleRecord: n % 3 == 0 fails, so 0, 3, 6 of 0..7.
    QProcess cli;
    cli.start(QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR")) + QStringLiteral("/quor_records"),
              {QStringLiteral("--database"), cluster.connectionString(), QStringLiteral("summary")});
    QVERIFY(cli.waitForFinished(20000));
    const QString out = QString::fromUtf8(cli.readAllStandardOutput());
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY2(out.contains(QStringLiteral("bench-a       8       5       3   62.5%       2.5")),
             qPrintable(out));
}

QTEST_GUILESS_MAIN(tst_RecordsFleet)
#include "tst_records_fleet.moc"
