#pragma once

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QList>
#include <QMap>
#include <QString>

// Builds zip packages for the tests: with libarchive's writer, or byte by byte
// when a test needs fields that writers do not produce (DOS attributes, hostile
// names, wrong checksums, sizes that lie).
namespace ZipMaker {

enum class Kind { File, Folder, Link };

struct Item
{
    QByteArray name; // UTF-8
    QByteArray data; // file content or link target
    Kind kind = Kind::File;
};

inline Item zipFile(const QByteArray &name, const QByteArray &data)
{
    return {name, data, Kind::File};
}
inline Item zipFolder(const QByteArray &name)
{
    return {name, QByteArray(), Kind::Folder};
}
inline Item zipLink(const QByteArray &name, const QByteArray &target)
{
    return {name, target, Kind::Link};
}

// libarchive writer; options such as "zip:zip64" or "zip:compression=store".
bool writeZip(const QString &path, const QList<Item> &items, const char *options = nullptr);
// The same archive's bytes (empty when it could not be written).
QByteArray zipBytes(const QList<Item> &items, const char *options = nullptr);

struct RawItem
{
    QByteArray name;
    QByteArray data; // stored uncompressed
    quint8 host = 0; // "version made by" host: 0 DOS/Windows, 3 Unix
    quint32 externalAttributes = 0;
    bool utf8Flag = false;
    bool badCrc = false;
    quint64 zip64Size = 0; // when set, the uncompressed size a zip64 field claims
};

// A stored Unix file entry (mode 0644), optionally with a wrong checksum.
inline RawItem rawFile(const QByteArray &name, const QByteArray &data, bool badCrc = false)
{
    return {name, data, 3, 0100644u << 16, false, badCrc};
}

// Hand-made archive with stored entries.
QByteArray raw(const QList<RawItem> &items);

// Deterministic content: compressible text or incompressible noise.
QByteArray text(int size, int seed);
QByteArray noise(int size, int seed);

// The whole file, or "<missing>"; and a file written whole.
inline QByteArray fileContent(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
inline bool saveFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Everything below folder (hidden too, links not followed): relative path -> content, "folder" or "link".
inline QMap<QString, QByteArray> tree(const QString &folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(folder.size() + 1), it.fileInfo().isSymLink() ? "link"
                                                    : it.fileInfo().isDir()   ? "folder"
                                                                              : fileContent(path));
    }
    return entries;
}

} // namespace ZipMaker
