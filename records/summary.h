#pragma once

#include "records/record.h"

#include <QByteArray>
#include <QDate>
#include <QVector>

// What quor_records computes from records: the per-day, per-bench summary and
// the CSV and JSON exports.
namespace Records {

struct SummaryRow
{
    QDate day; // UTC day of the start
    QString bench;
    int boards = 0;
    int passed = 0;
    int failed = 0;
    double yieldPercent = 0.0;    // passed / boards
    double medianDurationS = 0.0; // of all boards of the row
};

// Middle value; the mean of the two middle values for an even count; 0 for none.
double median(QVector<double> values);

// One row per day and bench, ordered by day, then bench.
QVector<SummaryRow> summarize(const QVector<BoardRecord> &records);

// The rows as a text table with a header line.
QString summaryTable(const QVector<SummaryRow> &rows);

// A header line, then one line per record; fields with a comma, quote or
// line break are quoted (RFC 4180); a text field beginning with =, +, -, @, a
// tab or a carriage return gets a leading ' so no spreadsheet runs it.
QByteArray exportCsv(const QVector<BoardRecord> &records);
// An array of objects with the same field names as the CSV header.
QByteArray exportJson(const QVector<BoardRecord> &records);

} // namespace Records
