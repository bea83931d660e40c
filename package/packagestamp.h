#pragma once

#include <QByteArray>
#include <QString>

namespace FileOps {
class Handle;
}

// Which package an unpacked image folder holds.
//
// Unpacking writes a small stamp file into the folder, last, with the
// package's size, modification time, file identity, change time and SHA-256.
// Before Start reuses an existing folder it compares the package's current
// size, times, identity and name with the stamp (a stat, no hashing), so a
// package replaced by another of the same name, even by a copy that keeps
// size and modification time, or another package in the same folder, is
// unpacked again.

struct PackageIdentity
{
    qint64 size = -1;      // bytes
    qint64 modifiedMs = 0; // modification time, ms since the epoch (UTC)
    QByteArray fileId;     // the file system's identity of the file (device and file number)
    qint64 changedNs = 0;  // status change time, which no copy or rename keeps
    QByteArray sha256Hex;  // 64 lowercase hex digits; empty when not hashed
    QString fileName;      // the package's file name, without its folder
    QString signedBy;      // the key id whose signature was verified; empty when not checked
    QByteArray blake2bHex; // 128 lowercase hex digits the signature was verified with, or empty

    // The first 12 hex digits of the SHA-256, enough to tell packages apart on screen.
    QString shortHash() const;
};

// Name of the stamp file inside the unpacked folder: hidden, and never taken
// from a package (such an entry is skipped when unpacking).
extern const char kPackageStampName[];

enum class StampCheck {
    Matches,  // the folder was unpacked from this package as it is now
    Missing,  // no stamp (no folder, or unpacked by an earlier version)
    Different // another package, a changed one, or a stamp that cannot be read
};

// Compares zipPath's current size, times, identity and file name with the
// stamp in imageFolder. The stamp is read only when it is a small regular
// file (never through a link, never blocking on a FIFO). *stamped (when given)
// receives what the stamp says, or a default identity when it says nothing
// readable.
StampCheck checkStamp(const QString &zipPath, const QString &imageFolder, PackageIdentity *stamped = nullptr);

// The stamp file's text, and back. parseStamp is false for anything but a
// complete stamp of the current format (an older stamp lacks the identity,
// so its folder is unpacked again).
QByteArray stampText(const PackageIdentity &identity);
bool parseStamp(const QByteArray &text, PackageIdentity *identity);

// Whether the package file is still the one described (its hash aside).
bool sameFile(const PackageIdentity &a, const PackageIdentity &b);

// Size, times, identity and file name of the opened package file (zipPath
// gives the name), without hashing. False when it is not a regular file.
bool readPackageIdentity(const FileOps::Handle &file, const QString &zipPath, PackageIdentity *identity);

// Writes the stamp into the opened folder (no link followed, nothing
// replaced). False with *error set when it could not be written completely.
bool writeStamp(const FileOps::Handle &folder, const PackageIdentity &identity, QString *error);
