#pragma once

#include "common/signing.h"
#include "package/packagestamp.h"

#include <QString>
#include <QStringList>

#include <atomic>

// Unpacking of an image package (a zip archive) into a folder.
//
// Entries are streamed with a bounded buffer, so memory stays small whatever
// the size of an entry (zip64 included). Every entry is written below the
// destination only: unsafe paths and symbolic links are skipped, folders and
// files are created relative to opened folder descriptors without following
// links. The package is unpacked into a hidden folder beside the destination
// and moved into place only when every entry was written intact, so a failed
// unpack leaves no destination folder behind, and an existing destination
// folder exactly as it was. An existing destination is replaced as a whole
// (never merged with the new files). Independent entries are written by two
// workers, each with its own reader on the same opened file, while a third
// thread hashes the file for the stamp (see packagestamp.h), written last.

// Progress shared with another thread (the GUI polls it).
struct UnpackProgress
{
    std::atomic<qint64> bytesDone{0};
    std::atomic<qint64> bytesTotal{0}; // sum of the entries' uncompressed sizes
    std::atomic<bool> cancel{false};   // set to stop the unpack early (it then fails)
};

struct UnpackResult
{
    bool ok = false;
    QStringList messages; // short operator texts, one per problem
    qint64 bytesWritten = 0;
    int entriesWritten = 0;      // files and folders created
    PackageIdentity package;     // the package unpacked, when ok (no hash without hashPackage)
    Signing::Decision signature; // the options' decision, finished when it was pending
};

struct UnpackOptions
{
    int workers = 0; // 0: choose from the core count and the package size
    // SHA-256 of the package and the stamp file; off only to measure their cost
    // (the folder then has no stamp).
    bool hashPackage = true;
    // A pending signature check (Signing::check): the hasher computes the
    // package's BLAKE2b-512 beside its SHA-256, and the folder is moved into
    // place only when the signature matches; the stamp then names the key.
    // Needs hashPackage. A mismatch fails the unpack with no message: the
    // result's signature says why.
    Signing::Decision signature;
};

// Unpacks zipPath into destFolder (created if missing, replaced if present).
// Writes the developer diagnostics to the debug log and returns what happened.
UnpackResult unpackPackage(const QString &zipPath, const QString &destFolder,
                           UnpackProgress *progress = nullptr,
                           const UnpackOptions &options = UnpackOptions());
