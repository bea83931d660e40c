// Cost of writing one record against a bare SQLite insert, in the same run.
//
// Ours: RecordStore::insert, as the record writer's thread calls it for every
// board run: a transaction, the idempotent INSERT of the sixteen fields through
// Qt SQL, the commit. Reference: the same row through the SQLite C API with a
// statement prepared once: BEGIN, bind, step, COMMIT. Both files in WAL mode
// with synchronous=NORMAL, in the same folder. Rounds alternate.
//
//   bench_records [--repeat N] [--records N]
#include "benchmarks/common/benchutil.h"

#include "records/recordstore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdio>
#include <vector>

namespace {

Records::BoardRecord record(int n)
{
    Records::BoardRecord r;
    r.id = Records::newRecordId(QStringLiteral("bench"));
    r.bench = QStringLiteral("bench");
    r.window = QStringLiteral("multi");
    r.slot = n % 8 + 1;
    r.port = QStringLiteral("2,%1").arg(n % 8 + 1);
    r.serial = QStringLiteral("QB3231");
    r.source = QStringLiteral("/data/packages/images.zip");
    r.sha256 = QString(64, QLatin1Char('c'));
    r.chip = QStringLiteral("QX9000");
    r.os = QStringLiteral("linux");
    r.start = QDateTime::currentDateTimeUtc();
    r.end = r.start.addSecs(40);
    r.durationMs = 40000;
    r.result = Records::Result::Success;
    r.exitCode = 0;
    r.lastLine = QStringLiteral("USB download complete");
    return r;
}

// Microseconds per record for `count` records through the store.
double ours(const QString &path, int count)
{
    RecordStore store(path);
    if (!store.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(store.error()));
        return -1;
    }
    std::vector<Records::BoardRecord> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back(record(i));
    const qint64 t0 = BenchUtil::monotonicNs();
    for (const Records::BoardRecord &r : rows)
        if (!store.insert(r))
            return -1;
    return double(BenchUtil::monotonicNs() - t0) / 1000.0 / count;
}

double bare(const QString &path, int count)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK)
        return -1;
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(
        db,
        "CREATE TABLE IF NOT EXISTS records (seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL "
        "UNIQUE, bench TEXT, window_name TEXT, slot INTEGER, port TEXT, serial TEXT, source TEXT, "
        "sha256 TEXT, chip TEXT, os TEXT, start_utc TEXT, end_utc TEXT, duration_ms BIGINT, result TEXT, "
        "exit_code INTEGER, last_line TEXT)",
        nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO records (id, bench, window_name, slot, port, serial, source, sha256, chip, os, "
        "start_utc, end_utc, duration_ms, result, exit_code, last_line) VALUES "
        "(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
        -1, &insert, nullptr);
    std::vector<std::vector<QByteArray>> rows;
    for (int i = 0; i < count; ++i) {
        const Records::BoardRecord r = record(i);
        rows.push_back({r.id.toUtf8(), r.bench.toUtf8(), r.window.toUtf8(), r.port.toUtf8(),
                        r.serial.toUtf8(), r.source.toUtf8(), r.sha256.toUtf8(), r.chip.toUtf8(),
                        r.os.toUtf8(), Records::isoUtc(r.start).toUtf8(), Records::isoUtc(r.end).toUtf8(),
                        Records::resultName(r.result).toUtf8(), r.lastLine.toUtf8()});
    }
    const qint64 t0 = BenchUtil::monotonicNs();
    for (const std::vector<QByteArray> &row : rows) {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        int column = 1;
        for (int i = 0; i < 13; ++i) {
            if (column == 4 || column == 13 || column == 15) {
                sqlite3_bind_int64(insert, column, column == 4 ? 1 : column == 13 ? 40000 : 0);
                ++column;
            }
            sqlite3_bind_text(insert, column++, row[size_t(i)].constData(), row[size_t(i)].size(),
                              SQLITE_STATIC);
        }
        if (sqlite3_step(insert) != SQLITE_DONE)
            return -1;
        sqlite3_reset(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    const double us = double(BenchUtil::monotonicNs() - t0) / 1000.0 / count;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return us;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int repeat = BenchUtil::intOption(args, QStringLiteral("--repeat"), 5);
    const int count = BenchUtil::intOption(args, QStringLiteral("--records"), 2000);
    QTemporaryDir dir;
    std::vector<double> oursUs, bareUs;
    for (int round = 0; round < repeat; ++round) {
        const double a = ours(dir.filePath(QStringLiteral("ours%1.sqlite").arg(round)), count);
        const double b = bare(dir.filePath(QStringLiteral("bare%1.sqlite").arg(round)), count);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        oursUs.push_back(a);
        bareUs.push_back(b);
        std::printf("round %d: ours %.1f us, bare sqlite %.1f us per record\n", round, a, b);
    }
    const BenchUtil::Summary o = BenchUtil::summarize(oursUs);
    const BenchUtil::Summary b = BenchUtil::summarize(bareUs);
    const double ratio = o.median / b.median;
    std::printf("ours %s us, bare %s us, ratio %.2f\n", qPrintable(BenchUtil::describe(o, 1)),
                qPrintable(BenchUtil::describe(b, 1)), ratio);
    BenchUtil::printTableRow(
        QStringLiteral("write one record (vs bare SQLite insert)"),
        QStringLiteral("%1 us (%2..%3)").arg(o.median, 0, 'f', 1).arg(o.min, 0, 'f', 1).arg(o.max, 0, 'f', 1),
        QStringLiteral("%1 us bare").arg(b.median, 0, 'f', 1), QStringLiteral("%1x").arg(ratio, 0, 'f', 2),
        QStringLiteral("<= 2.0x"), ratio <= 2.0);
    return 0;
}
