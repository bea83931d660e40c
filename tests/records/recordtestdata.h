#pragma once

#include "records/record.h"

// A record with every field filled, distinct per n.
inline Records::BoardRecord sampleRecord(int n, const QString &bench = QStringLiteral("bench-a"))
{
    Records::BoardRecord r;
    r.id = Records::newRecordId(bench);
    r.bench = bench;
    r.window = QStringLiteral("multi");
    r.slot = n % 8 + 1;
    r.port = QStringLiteral("2,%1").arg(n % 8 + 1);
    r.serial = QStringLiteral("QB32%1").arg(n % 8 + 31);
    r.source = QStringLiteral("/pkg/images.zip");
    r.sha256 = QString(64, QLatin1Char('a'));
    r.chip = QStringLiteral("CHIPX");
    r.os = QStringLiteral("OSY");
    r.start = QDateTime::currentDateTimeUtc().addSecs(-60 + n);
    r.end = r.start.addMSecs(2500 + n);
    r.durationMs = 2500 + n;
    r.result = n % 3 ? Records::Result::Success : Records::Result::CommFailed;
    r.exitCode = n % 3 ? 0 : 1;
    r.lastLine = QStringLiteral("line %1, with 'quotes' and \"more\"").arg(n);
    return r;
}

inline bool sameRecord(const Records::BoardRecord &a, const Records::BoardRecord &b)
{
    return a.id == b.id && a.bench == b.bench && a.window == b.window && a.slot == b.slot &&
           a.port == b.port && a.serial == b.serial && a.source == b.source && a.sha256 == b.sha256 &&
           a.chip == b.chip && a.os == b.os && Records::isoUtc(a.start) == Records::isoUtc(b.start) &&
           Records::isoUtc(a.end) == Records::isoUtc(b.end) && a.durationMs == b.durationMs &&
           a.result == b.result && a.exitCode == b.exitCode && a.lastLine == b.lastLine;
}
