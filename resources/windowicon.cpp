#include "resources/windowicon.h"

#include <QFile>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QtEndian>

#include <memory>

namespace WindowIcon {

QVector<QSize> icoSizes(const QByteArray &data)
{
    constexpr int kHeader = 6;
    constexpr int kEntry = 16;
    if (data.size() < kHeader)
        return {};
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const quint16 reserved = qFromLittleEndian<quint16>(bytes);
    const quint16 type = qFromLittleEndian<quint16>(bytes + 2);
    const quint16 count = qFromLittleEndian<quint16>(bytes + 4);
    if (reserved != 0 || type != 1 || count == 0 || data.size() < kHeader + count * kEntry)
        return {};
    QVector<QSize> sizes;
    for (int i = 0; i < count; ++i) {
        const uchar *entry = bytes + kHeader + i * kEntry;
        sizes.append(QSize(entry[0] ? entry[0] : 256, entry[1] ? entry[1] : 256));
    }
    return sizes;
}

int bestEntry(const QVector<QSize> &sizes, const QSize &wanted)
{
    for (int i = 0; i < sizes.size(); ++i) {
        if (sizes.at(i) == wanted)
            return i;
    }
    const auto area = [](const QSize &s) { return qint64(s.width()) * s.height(); };
    const qint64 want = area(wanted);
    int best = -1;
    for (int i = 0; i < sizes.size(); ++i) {
        if (best < 0) {
            best = i;
            continue;
        }
        const qint64 a = area(sizes.at(best));
        const qint64 b = area(sizes.at(i));
        const qint64 pick = qMin(a, b) >= want ? qMin(a, b) : qMax(a, b);
        if (pick != a)
            best = i;
    }
    return best;
}

namespace {

// Reads the directory at once and each image when first asked for. Modes other
// than Normal go to a QIcon of the whole file, made when first needed.
class LazyIcoEngine final : public QIconEngine
{
public:
    explicit LazyIcoEngine(const QString &path) : m_path(path)
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            m_sizes = icoSizes(file.readAll());
        m_images.resize(m_sizes.size());
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        if (mode != QIcon::Normal || state != QIcon::Off)
            return whole().pixmap(size, mode, state);
        const int index = bestEntry(m_sizes, size);
        if (index < 0)
            return QPixmap();
        QPixmap &image = m_images[index];
        if (image.isNull()) {
            QImageReader reader(m_path, "ico");
            if (reader.jumpToImage(index))
                image = QPixmap::fromImage(reader.read());
        }
        const QSize actual = actualSize(size, mode, state);
        if (image.isNull() || image.size() == actual)
            return image;
        return image.scaled(actual, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }

    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        if (mode != QIcon::Normal || state != QIcon::Off)
            return whole().actualSize(size, mode, state);
        const int index = bestEntry(m_sizes, size);
        if (index < 0)
            return QSize();
        QSize actual = m_sizes.at(index);
        if (actual.width() > size.width() || actual.height() > size.height())
            actual.scale(size, Qt::KeepAspectRatio);
        return actual;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device()->devicePixelRatioF();
        painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
    }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
    {
        if (mode != QIcon::Normal || state != QIcon::Off)
            return {};
        return QList<QSize>(m_sizes.cbegin(), m_sizes.cend());
    }

    QIconEngine *clone() const override { return new LazyIcoEngine(*this); }
    QString key() const override { return QStringLiteral("LazyIcoEngine"); }

    void virtual_hook(int id, void *data) override
    {
        if (id == QIconEngine::IsNullHook)
            *static_cast<bool *>(data) = m_sizes.isEmpty();
        else
            QIconEngine::virtual_hook(id, data);
    }

private:
    LazyIcoEngine(const LazyIcoEngine &other) = default;

    QIcon &whole()
    {
        if (!m_whole)
            m_whole = std::make_shared<QIcon>(m_path);
        return *m_whole;
    }

    QString m_path;
    QVector<QSize> m_sizes;
    QVector<QPixmap> m_images;
    std::shared_ptr<QIcon> m_whole;
};

} // namespace

QIcon logo()
{
    return QIcon(new LazyIcoEngine(QStringLiteral(":/img/logo.ico")));
}

} // namespace WindowIcon
