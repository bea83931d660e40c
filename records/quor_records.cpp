// quor_records: reads production records from the local SQLite file or the
// fleet database and prints the per-day summary or exports them. It never
// writes to a database.
#include "records/porthealth.h"
#include "records/recordstore.h"
#include "records/summary.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace {

int usage()
{
    std::fputs("usage: quor_records [--database PATH|CONNSTRING] summary [--since DATE] [--bench NAME]\n"
               "       quor_records [--database PATH|CONNSTRING] export --format csv|json [--since DATE] "
               "[--bench NAME]\n"
               "       quor_records [--database PATH|CONNSTRING] ports [--since DATE] [--bench NAME]\n"
               "PATH is an SQLite file (default records.sqlite); CONNSTRING a PostgreSQL connection string\n"
               "(\"host=... dbname=... user=...\"). DATE is YYYY-MM-DD (UTC) or an ISO 8601 time.\n",
               stderr);
    return 2;
}

struct Request
{
    QString database = QStringLiteral("records.sqlite");
    QString command;
    QString format;
    QString bench;
    QDateTime since;
};

// Reads the command line into *request. Returns an exit status when it is
// refused, -1 when it parsed.
int parseRequest(const QStringList &args, Request *request)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--database") && hasValue) {
            request->database = args.at(++i);
        } else if (arg == QLatin1String("--format") && hasValue) {
            request->format = args.at(++i);
        } else if (arg == QLatin1String("--bench") && hasValue) {
            request->bench = args.at(++i);
        } else if (arg == QLatin1String("--since") && hasValue) {
            const QString text = args.at(++i);
            const QDate day = QDate::fromString(text, Qt::ISODate);
            request->since = day.isValid() ? QDateTime(day, QTime(0, 0), Qt::UTC) : Records::fromIsoUtc(text);
            if (!request->since.isValid()) {
                std::fprintf(stderr, "quor_records: not a date: %s\n", qPrintable(text));
                return 2;
            }
        } else if (request->command.isEmpty() &&
                   (arg == QLatin1String("summary") || arg == QLatin1String("export") ||
                    arg == QLatin1String("ports"))) {
            request->command = arg;
        } else {
            return usage();
        }
    }
    if (request->command.isEmpty() ||
        (request->command == QLatin1String("export") && request->format != QLatin1String("csv") &&
         request->format != QLatin1String("json")))
        return usage();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Request request;
    if (const int refused = parseRequest(app.arguments().mid(1), &request); refused >= 0)
        return refused;
    const QString &database = request.database;
    if (!RecordStore::isConnectionString(database) && !QFileInfo(database).isSymLink() &&
        !QFileInfo::exists(database)) {
        std::fprintf(stderr, "quor_records: no such database: %s\n", qPrintable(database));
        return 1;
    }

    // Read-only: nothing is created, upgraded or written, also on read-only media.
    RecordStore store(database);
    if (!store.open(RecordStore::kSchemaVersion, RecordStore::Access::ReadOnly)) {
        std::fprintf(stderr, "quor_records: %s\n", qPrintable(store.error()));
        return 1;
    }
    const QVector<Records::BoardRecord> records = store.records(request.since, request.bench);
    if (!store.error().isEmpty()) {
        std::fprintf(stderr, "quor_records: %s\n", qPrintable(store.error()));
        return 1;
    }
    QByteArray out;
    if (request.command == QLatin1String("summary"))
        out = Records::summaryTable(Records::summarize(records)).toUtf8();
    else if (request.command == QLatin1String("ports"))
        out = Records::portHealthTable(Records::portHealth(Records::countPorts(records))).toUtf8();
    else if (request.format == QLatin1String("csv"))
        out = Records::exportCsv(records);
    else
        out = Records::exportJson(records);
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    return 0;
}
