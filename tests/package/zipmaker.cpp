#include "zipmaker.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <memory>
#include <vector>

namespace ZipMaker {

bool writeZip(const QString &path, const QList<Item> &items, const char *options)
{
    std::unique_ptr<archive, int (*)(archive *)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    if (archive_write_set_options(a.get(), "zip:hdrcharset=UTF-8") != ARCHIVE_OK)
        return false;
    if (options && archive_write_set_options(a.get(), options) != ARCHIVE_OK)
        return false;
    if (archive_write_open_filename(a.get(), path.toLocal8Bit().constData()) != ARCHIVE_OK)
        return false;
    for (const Item &item : items) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), item.name.constData());
        archive_entry_set_mtime(e.get(), 1700000000, 0);
        if (item.kind == Kind::Folder) {
            archive_entry_set_filetype(e.get(), AE_IFDIR);
            archive_entry_set_perm(e.get(), 0755);
        } else if (item.kind == Kind::Link) {
            archive_entry_set_filetype(e.get(), AE_IFLNK);
            archive_entry_set_perm(e.get(), 0777);
            archive_entry_set_symlink_utf8(e.get(), item.data.constData());
        } else {
            archive_entry_set_filetype(e.get(), AE_IFREG);
            archive_entry_set_perm(e.get(), 0644);
            archive_entry_set_size(e.get(), item.data.size());
        }
        if (archive_write_header(a.get(), e.get()) < ARCHIVE_WARN)
            return false;
        if (item.kind == Kind::File && !item.data.isEmpty() &&
            archive_write_data(a.get(), item.data.constData(), static_cast<size_t>(item.data.size())) !=
                item.data.size())
            return false;
    }
    return archive_write_close(a.get()) == ARCHIVE_OK;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

namespace {

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

} // namespace

QByteArray raw(const QList<RawItem> &items)
{
    QByteArray out;
    QByteArray central;
    for (const RawItem &item : items) {
        const quint32 offset = static_cast<quint32>(out.size());
        const quint32 crc = crc32(item.data) ^ (item.badCrc ? 0x5A5A5A5Au : 0u);
        const quint16 flags = item.utf8Flag ? 0x0800 : 0;
        const auto size = item.declaredSize ? item.declaredSize : static_cast<quint32>(item.data.size());
        const auto nameSize = static_cast<quint16>(item.name.size());
        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, flags);
        put16(out, 0); // stored
        put16(out, 0);
        put16(out, 0x5821);
        put32(out, crc);
        put32(out, size);
        put32(out, size);
        put16(out, nameSize);
        put16(out, 0);
        out += item.name;
        out += item.data;

        put32(central, 0x02014b50);
        put16(central, static_cast<quint16>(item.host << 8 | 20));
        put16(central, 20);
        put16(central, flags);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0x5821);
        put32(central, crc);
        put32(central, size);
        put32(central, size);
        put16(central, nameSize);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, item.externalAttributes);
        put32(central, offset);
        central += item.name;
    }
    const auto centralOffset = static_cast<quint32>(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<quint16>(items.size()));
    put16(out, static_cast<quint16>(items.size()));
    put32(out, static_cast<quint32>(central.size()));
    put32(out, centralOffset);
    put16(out, 0);
    return out;
}

QByteArray text(int size, int seed)
{
    static const char *const words[] = {"boot ",  "kernel ", "rootfs ", "partition ",
                                        "image ", "\n",      "0x7352 "};
    QRandomGenerator rng(static_cast<quint32>(seed));
    QByteArray out;
    out.reserve(size);
    while (out.size() < size)
        out += words[rng.bounded(7)];
    out.truncate(size);
    return out;
}

QByteArray noise(int size, int seed)
{
    QRandomGenerator rng(static_cast<quint32>(seed) + 1000u);
    std::vector<quint32> words(static_cast<size_t>(size) / 4 + 1);
    rng.fillRange(words.data(), static_cast<qsizetype>(words.size()));
    QByteArray out(size, Qt::Uninitialized);
    std::memcpy(out.data(), words.data(), static_cast<size_t>(size));
    return out;
}

} // namespace ZipMaker
