#include "zipmaker.h"

#include <QDataStream>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace ZipMaker {

QByteArray zipBytes(const QList<Item> &items, const char *options)
{
    QByteArray out;
    std::unique_ptr<archive, int (*)(archive *)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_set_bytes_in_last_block(a.get(), 1);
    const auto append = [](archive *, void *to, const void *data, size_t size) -> la_ssize_t {
        static_cast<QByteArray *>(to)->append(static_cast<const char *>(data), static_cast<int>(size));
        return static_cast<la_ssize_t>(size);
    };
    if (archive_write_set_options(a.get(), "zip:hdrcharset=UTF-8") != ARCHIVE_OK ||
        (options && archive_write_set_options(a.get(), options) != ARCHIVE_OK) ||
        archive_write_open(a.get(), &out, nullptr, append, nullptr) != ARCHIVE_OK)
        return QByteArray();
    for (const Item &item : items) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), item.name.constData());
        archive_entry_set_mtime(e.get(), 1700000000, 0);
        const bool file = item.kind == Kind::File;
        archive_entry_set_filetype(e.get(), file                        ? AE_IFREG
                                            : item.kind == Kind::Folder ? AE_IFDIR
                                                                        : AE_IFLNK);
        archive_entry_set_perm(e.get(), file ? 0644 : 0755);
        if (item.kind == Kind::Link)
            archive_entry_set_symlink_utf8(e.get(), item.data.constData());
        if (file)
            archive_entry_set_size(e.get(), item.data.size());
        if (archive_write_header(a.get(), e.get()) < ARCHIVE_WARN ||
            (file && archive_write_data(a.get(), item.data.constData(), size_t(item.data.size())) !=
                         item.data.size()))
            return QByteArray();
    }
    return archive_write_close(a.get()) == ARCHIVE_OK ? out : QByteArray();
}

bool writeZip(const QString &path, const QList<Item> &items, const char *options)
{
    const QByteArray bytes = zipBytes(items, options);
    return !bytes.isEmpty() && saveFile(path, bytes);
}

QByteArray raw(const QList<RawItem> &items)
{
    QByteArray body, central;
    QDataStream b(&body, QIODevice::WriteOnly), c(&central, QIODevice::WriteOnly);
    b.setByteOrder(QDataStream::LittleEndian);
    c.setByteOrder(QDataStream::LittleEndian);
    for (const RawItem &item : items) {
        quint32 crc = 0xFFFFFFFFu;
        for (char ch : item.data) {
            crc ^= static_cast<quint8>(ch);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        crc = ~crc ^ (item.badCrc ? 0x5A5A5A5Au : 0u);
        const auto size = quint32(item.data.size());
        const quint16 extra = item.zip64Size ? 12 : 0; // zip64: tag 1, the uncompressed size
        const auto common = [&](QDataStream &s) {
            s << quint16(extra ? 45 : 20) << quint16(item.utf8Flag ? 0x0800 : 0) << quint16(0) << quint16(0)
              << quint16(0x5821) << crc << size << (extra ? 0xFFFFFFFFu : size) << quint16(item.name.size())
              << extra;
        };
        const auto nameAndExtra = [&](QDataStream &s) {
            s.writeRawData(item.name.constData(), item.name.size());
            if (extra)
                s << quint16(1) << quint16(8) << item.zip64Size;
        };
        const auto offset = quint32(body.size());
        b << quint32(0x04034b50);
        common(b);
        nameAndExtra(b);
        b.writeRawData(item.data.constData(), item.data.size());
        c << quint32(0x02014b50) << quint16(item.host << 8 | 20);
        common(c);
        c << quint16(0) << quint16(0) << quint16(0) << item.externalAttributes << offset;
        nameAndExtra(c);
    }
    const auto centralOffset = quint32(body.size());
    b.writeRawData(central.constData(), central.size());
    b << quint32(0x06054b50) << quint32(0) << quint16(items.size()) << quint16(items.size())
      << quint32(central.size()) << centralOffset << quint16(0);
    return body;
}

QByteArray text(int size, int seed)
{
    const QByteArray line = QByteArray::number(seed) + " boot kernel rootfs partition image 0x7352\n";
    return line.repeated(size / line.size() + 1).left(size);
}

QByteArray noise(int size, int seed)
{
    QRandomGenerator rng(static_cast<quint32>(seed) + 1000u);
    QByteArray out(size + 3, Qt::Uninitialized);
    rng.fillRange(reinterpret_cast<quint32 *>(out.data()), (size + 3) / 4);
    out.truncate(size);
    return out;
}

} // namespace ZipMaker
