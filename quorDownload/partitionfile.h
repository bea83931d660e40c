#pragma once

#include <QString>
#include <QVector>

class QIODevice;

// One partition of a partition description file. A fresh record holds a
// single blank in every field; the reader overwrites all five from the
// element's attributes, so an absent attribute ends up empty.
struct PartitionEntry
{
    QString label = QStringLiteral(" ");
    QString size_in_kb = QStringLiteral(" ");
    QString file = QStringLiteral(" ");
    QString mountpoint = QStringLiteral(" ");
    QString type = QStringLiteral(" ");
};

// Outcome of reading a description file. On ParseError the entries read
// before the error have already been appended.
struct PartitionReadResult
{
    enum Status { Ok, OpenFailed, ParseError };
    Status status = Ok;
    QString errorString; // the file's or the XML reader's own message
};

// Reader of the partition description format: any well-formed XML document in
// which every start element named exactly "partition", at any depth, yields one
// entry in document order. Values are kept verbatim; other elements, other
// attributes and text are ignored. Appends to `list`, never clears it.
namespace PartitionFile {

PartitionReadResult read(QIODevice *device, QVector<PartitionEntry> &list);

// Opens `path` read-only in text mode and reads it as above.
PartitionReadResult read(const QString &path, QVector<PartitionEntry> &list);

} // namespace PartitionFile
