#include "records/summary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <map>
#include <utility>

namespace Records {

namespace {

const QStringList kFields = {
    QStringLiteral("id"),          QStringLiteral("bench"),    QStringLiteral("window"),
    QStringLiteral("slot"),        QStringLiteral("port"),     QStringLiteral("serial"),
    QStringLiteral("source"),      QStringLiteral("sha256"),   QStringLiteral("chip"),
    QStringLiteral("os"),          QStringLiteral("start"),    QStringLiteral("end"),
    QStringLiteral("duration_ms"), QStringLiteral("result"),   QStringLiteral("exit_code"),
    QStringLiteral("last_line"),   QStringLiteral("signed_by")};

QVariantList values(const BoardRecord &r)
{
    return {
        r.id,       r.bench,    r.window,  r.slot,          r.port,        r.serial,     r.source,
        r.sha256,   r.chip,     r.os,      isoUtc(r.start), isoUtc(r.end), r.durationMs, resultName(r.result),
        r.exitCode, r.lastLine, r.signedBy};
}

QString csvField(QString text, bool isText)
{
    // A text cell a spreadsheet would take for a formula gets a leading quote,
    // as spreadsheet makers advise (numbers such as exit code -1 stay numbers);
    // JSON keeps values exact.
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    if (isText && !text.isEmpty() && kFormulaStarts.contains(text.at(0)))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const int mid = values.size() / 2;
    return values.size() % 2 ? values.at(mid) : (values.at(mid - 1) + values.at(mid)) / 2.0;
}

QVector<SummaryRow> summarize(const QVector<BoardRecord> &records)
{
    std::map<std::pair<QDate, QString>, std::pair<SummaryRow, QVector<double>>> groups;
    for (const BoardRecord &r : records) {
        auto &group = groups[{r.start.toUTC().date(), r.bench}];
        group.first.day = r.start.toUTC().date();
        group.first.bench = r.bench;
        ++group.first.boards;
        if (r.result == Result::Success)
            ++group.first.passed;
        else
            ++group.first.failed;
        group.second.append(static_cast<double>(r.durationMs) / 1000.0);
    }
    QVector<SummaryRow> rows;
    for (auto &entry : groups) {
        SummaryRow row = entry.second.first;
        row.yieldPercent = 100.0 * row.passed / row.boards;
        row.medianDurationS = median(entry.second.second);
        rows.append(row);
    }
    return rows;
}

QString summaryTable(const QVector<SummaryRow> &rows)
{
    int benchWidth = 5;
    for (const SummaryRow &row : rows)
        benchWidth = qMax(benchWidth, row.bench.size());
    QString out = QStringLiteral("day         %1  boards  passed  failed   yield  median_s\n")
                      .arg(QStringLiteral("bench"), -benchWidth);
    for (const SummaryRow &row : rows)
        out += QStringLiteral("%1  %2  %3  %4  %5  %6%  %7\n")
                   .arg(row.day.toString(Qt::ISODate))
                   .arg(row.bench, -benchWidth)
                   .arg(row.boards, 6)
                   .arg(row.passed, 6)
                   .arg(row.failed, 6)
                   .arg(row.yieldPercent, 5, 'f', 1)
                   .arg(row.medianDurationS, 8, 'f', 1);
    return out;
}

QByteArray exportCsv(const QVector<BoardRecord> &records)
{
    QString out = kFields.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const BoardRecord &r : records) {
        QStringList fields;
        for (const QVariant &value : values(r))
            fields.append(csvField(value.toString(), value.type() == QVariant::String));
        out += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return out.toUtf8();
}

QByteArray exportJson(const QVector<BoardRecord> &records)
{
    QJsonArray array;
    for (const BoardRecord &r : records) {
        QJsonObject object;
        const QVariantList vals = values(r);
        for (int i = 0; i < kFields.size(); ++i)
            object.insert(kFields.at(i), QJsonValue::fromVariant(vals.at(i)));
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace Records
