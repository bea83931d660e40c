// The local SQLite store: round trip, idempotent inserts, schema upgrade, the
// background writer, a writer killed mid-batch, and quor_records on the file.
#include "records/recordstore.h"
#include "records/recordwriter.h"
#include "tests/records/recordtestdata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstring>

namespace {

// One query's first value on a fresh connection to the file.
QVariant scalar(const QString &path, const QString &sql)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next())
                value = q.value(0);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return value;
}

// The child of killedWriterLosesNothing: writes records one transaction each
// and prints every id once it is committed, until killed.
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
    void roundTripAndIdempotence();
    void schemaUpgradeKeepsRecords();
    void writerStoresInOrderWithDayCount();
    void killedWriterLosesNothing();
    void cli_data();
    void cli();

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
};

void tst_RecordsStore::roundTripAndIdempotence()
{
    RecordStore store(path(QStringLiteral("a.sqlite")));
    QVERIFY2(store.open(), qPrintable(store.error()));
    QCOMPARE(store.schemaVersion(), RecordStore::kSchemaVersion);
    const Records::BoardRecord first = sampleRecord(1);
    const Records::BoardRecord second = sampleRecord(2, QStringLiteral("bench-b"));
    QVERIFY(store.insert(first));
    QVERIFY(store.insert(second));
    QVERIFY(store.insert(first)); // again: no second row
    const QVector<Records::BoardRecord> all = store.records();
    QCOMPARE(all.size(), 2);
    QVERIFY(sameRecord(all.at(0), first));
    QVERIFY(sameRecord(all.at(1), second));
    QCOMPARE(store.records(QDateTime(), QStringLiteral("bench-b")).size(), 1);
    QCOMPARE(store.records(second.start, QString()).size(), 1);
    QCOMPARE(scalar(path(QStringLiteral("a.sqlite")), QStringLiteral("PRAGMA journal_mode")).toString(),
             QStringLiteral("wal"));
}

void tst_RecordsStore::schemaUpgradeKeepsRecords()
{
    const QString file = path(QStringLiteral("old.sqlite"));
    const Records::BoardRecord record = sampleRecord(4);
    {
        RecordStore old(file);
        QVERIFY(old.open(1));
        QCOMPARE(old.schemaVersion(), 1);
        QVERIFY(old.insert(record));
        QVERIFY(!old.insertQueued(sampleRecord(5))); // no outbox before version 2
    }
    RecordStore store(file);
    QVERIFY2(store.open(), qPrintable(store.error()));
    QCOMPARE(store.schemaVersion(), 2);
    QCOMPARE(store.records().size(), 1);
    QVERIFY(sameRecord(store.records().at(0), record));
    QVERIFY(store.insertQueued(sampleRecord(6)));
    QCOMPARE(store.queuedCount(), 1);
    QCOMPARE(scalar(file, QStringLiteral("SELECT COUNT(*) FROM schema_version")).toInt(), 1);
}

void tst_RecordsStore::writerStoresInOrderWithDayCount()
{
    const QString file = path(QStringLiteral("writer.sqlite"));
    QVector<Records::BoardRecord> sent;
    QList<int> counts;
    {
        RecordWriter writer({file, QString(), 5000, QStringLiteral("bench-a"), QStringLiteral("multi")},
                            nullptr);
        connect(&writer, &RecordWriter::stored, this, [&counts](int count) { counts.append(count); });
        for (int n = 1; n <= 5; ++n) {
            sent.append(sampleRecord(n));
            writer.submit(sent.last());
        }
        writer.drain();
        QTRY_COMPARE(counts.size(), 5);
    } // the destructor ends the thread
    QCOMPARE(counts, (QList<int>{1, 2, 3, 4, 5}));
    RecordStore store(file);
    QVERIFY(store.open());
    const QVector<Records::BoardRecord> back = store.records();
    QCOMPARE(back.size(), 5);
    for (int i = 0; i < 5; ++i)
        QVERIFY(sameRecord(back.at(i), sent.at(i)));
}

void tst_RecordsStore::killedWriterLosesNothing()
{
    const QString file = path(QStringLiteral("killed.sqlite"));
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
    RecordStore store(file);
    QVERIFY(store.open());
    QSet<QString> stored;
    for (const Records::BoardRecord &r : store.records())
        stored.insert(r.id);
    // Every id reported as committed is there; the last piece may be one cut by the kill.
    for (int i = 0; i + 1 < ids.size(); ++i)
        QVERIFY2(stored.contains(QString::fromUtf8(ids.at(i))), ids.at(i).constData());
    QVERIFY(stored.size() >= ids.size() - 2);
}

void tst_RecordsStore::cli_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // a fragment of standard output
    QTest::newRow("summary") << QStringList{QStringLiteral("summary")} << 0
                             << QStringLiteral(" bench-a       3       2       1   66.7%       2.5");
    QTest::newRow("csv") << QStringList{QStringLiteral("export"), QStringLiteral("--format"),
                                        QStringLiteral("csv")}
                         << 0
                         << QStringLiteral(",comm_failed,1,\"line 3, with 'quotes' and \"\"more\"\"\"\n");
    QTest::newRow("json since") << QStringList{QStringLiteral("export"), QStringLiteral("--format"),
                                               QStringLiteral("json"), QStringLiteral("--since"),
                                               QStringLiteral("2000-01-01")}
                                << 0 << QStringLiteral("\"result\": \"comm_failed\"");
    QTest::newRow("bad format") << QStringList{QStringLiteral("export"), QStringLiteral("--format"),
                                               QStringLiteral("xml")}
                                << 2 << QString();
    QTest::newRow("missing file") << QStringList{QStringLiteral("--database"), QStringLiteral("none.sqlite"),
                                                 QStringLiteral("summary")}
                                  << 1 << QString();
}

void tst_RecordsStore::cli()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    const QString file = path(QStringLiteral("cli.sqlite"));
    if (!QFile::exists(file)) {
        RecordStore store(file);
        QVERIFY(store.open());
        for (int n = 1; n <= 3; ++n)
            QVERIFY(store.insert(sampleRecord(n)));
    }
    QProcess cli;
    cli.setWorkingDirectory(dir.path());
    cli.start(QString::fromLocal8Bit(qgetenv("QUOR_BIN_DIR")) + QStringLiteral("/quor_records"),
              QStringList{QStringLiteral("--database"), file} + args);
    QVERIFY(cli.waitForFinished(20000));
    const QString out = QString::fromUtf8(cli.readAllStandardOutput());
    QCOMPARE(cli.exitCode(), exitCode);
    QVERIFY2(out.contains(expected), qPrintable(out));
    if (args.contains(QStringLiteral("json")))
        QCOMPARE(QJsonDocument::fromJson(out.toUtf8()).array().size(), 3);
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
