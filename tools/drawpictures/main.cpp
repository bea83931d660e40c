// Draws the program's pictures (window icon, waiting animation, board status
// pictures) with QPainter and writes them into a folder, normally
// resources/img. Run by hand after changing a drawing:
//   drawpictures <output folder>
// Every file is read back and checked before the program reports success.

#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTextStream>
#include <QtEndian>

#include <cstdio>
#include <vector>

namespace {

QImage canvas(int side)
{
    QImage img(side, side, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void beginPainter(QPainter &p, int side, qreal design)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / design, side / design);
}

// A chip seen from above: dark body, silver pins on all four sides and the
// pin-1 dot, in a design box of 100 x 100 centred on (cx, cy).
void drawChip(QPainter &p, qreal cx, qreal cy, qreal body, bool fewPins)
{
    const qreal half = body / 2;
    const int pins = fewPins ? 3 : 5;
    const qreal pitch = body / (pins + 1);
    const qreal pinLen = body * 0.16;
    const qreal pinW = pitch * 0.45;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xb0, 0xbe, 0xc5));
    for (int i = 1; i <= pins; ++i) {
        const qreal off = -half + i * pitch - pinW / 2;
        p.drawRect(QRectF(cx + off, cy - half - pinLen, pinW, pinLen + 2)); // top
        p.drawRect(QRectF(cx + off, cy + half - 2, pinW, pinLen + 2));      // bottom
        p.drawRect(QRectF(cx - half - pinLen, cy + off, pinLen + 2, pinW)); // left
        p.drawRect(QRectF(cx + half - 2, cy + off, pinLen + 2, pinW));      // right
    }
    QLinearGradient g(cx - half, cy - half, cx + half, cy + half);
    g.setColorAt(0, QColor(0x45, 0x5a, 0x64));
    g.setColorAt(1, QColor(0x26, 0x32, 0x38));
    p.setBrush(g);
    p.setPen(QPen(QColor(0x1c, 0x24, 0x28), body * 0.03));
    p.drawRoundedRect(QRectF(cx - half, cy - half, body, body), body * 0.08, body * 0.08);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x90, 0xa4, 0xae));
    const qreal dot = body * 0.09;
    p.drawEllipse(QPointF(cx - half + body * 0.18, cy + half - body * 0.18), dot, dot);
}

// A thick arrow pointing down whose tip ends at tipY.
void drawDownArrow(QPainter &p, qreal cx, qreal topY, qreal tipY, qreal width, const QColor &fill)
{
    const qreal shaftW = width * 0.42;
    const qreal headH = (tipY - topY) * 0.48;
    QPolygonF arrow;
    arrow << QPointF(cx - shaftW / 2, topY) << QPointF(cx + shaftW / 2, topY)
          << QPointF(cx + shaftW / 2, tipY - headH) << QPointF(cx + width / 2, tipY - headH)
          << QPointF(cx, tipY) << QPointF(cx - width / 2, tipY - headH)
          << QPointF(cx - shaftW / 2, tipY - headH);
    p.setBrush(fill);
    p.setPen(QPen(fill.darker(150), width * 0.06, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolygon(arrow);
}

// Window icon: a chip with an orange arrow going into it.
QImage drawLogo(int side)
{
    QImage img = canvas(side);
    QPainter p(&img);
    beginPainter(p, side, 100);
    const bool tiny = side <= 16;
    drawChip(p, 50, 60, tiny ? 66 : 60, tiny);
    drawDownArrow(p, 50, 2, tiny ? 66 : 62, tiny ? 50 : 44, QColor(0xff, 0x8f, 0x00));
    return img;
}

// Waiting animation: a USB plug on its cable moves toward a socket on a
// green board; frame 4 shows it plugged in and a link light on.
QImage drawPlugFrame(int frame, int side)
{
    QImage img = canvas(side);
    QPainter p(&img);
    beginPainter(p, side, 100);

    // The board edge with the socket on the right.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2e, 0x7d, 0x32));
    p.drawRoundedRect(QRectF(74, 14, 30, 72), 4, 4);
    p.setBrush(QColor(0x9e, 0x9e, 0x9e));
    p.drawRect(QRectF(70, 36, 14, 28)); // socket shell
    p.setBrush(QColor(0x21, 0x21, 0x21));
    p.drawRect(QRectF(70, 39, 11, 22)); // socket opening

    // Link light: dim until the plug is in.
    const bool plugged = frame == 4;
    p.setBrush(plugged ? QColor(0x76, 0xff, 0x03) : QColor(0x33, 0x4d, 0x1f));
    p.drawEllipse(QPointF(90, 24), 4.5, 4.5);

    // The plug: metal tip, grip and cable; its tip front sits at x = tipX.
    const qreal travel[] = {46, 56, 66, 81};
    const qreal tipX = travel[frame - 1];
    const qreal tipLen = 16;
    const qreal gripLen = 24;
    p.setBrush(QColor(0xcf, 0xd8, 0xdc));
    p.setPen(QPen(QColor(0x78, 0x90, 0x9c), 1.2));
    p.drawRect(QRectF(tipX - tipLen, 41, tipLen, 18));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x60, 0x7d, 0x8b));
    p.drawRect(QRectF(tipX - tipLen + 4, 45, 4, 3));
    p.drawRect(QRectF(tipX - tipLen + 4, 52, 4, 3));
    p.setBrush(QColor(0x15, 0x65, 0xc0));
    p.drawRoundedRect(QRectF(tipX - tipLen - gripLen, 36, gripLen, 28), 5, 5);
    p.setPen(QPen(QColor(0x37, 0x47, 0x4f), 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(-4, 50), QPointF(tipX - tipLen - gripLen, 50));

    // Motion marks behind the plug while it travels.
    if (!plugged) {
        p.setPen(QPen(QColor(0x90, 0xa4, 0xae), 3, Qt::SolidLine, Qt::RoundCap));
        const qreal back = tipX - tipLen - gripLen;
        p.drawLine(QPointF(back - 2, 30), QPointF(back + 14, 30));
        p.drawLine(QPointF(back - 2, 70), QPointF(back + 14, 70));
    }
    return img;
}

// Transfer in progress: a blue arrow going down into a chip.
QImage drawDownload(int side)
{
    QImage img = canvas(side);
    QPainter p(&img);
    beginPainter(p, side, 100);
    drawChip(p, 50, 64, 50, false);
    drawDownArrow(p, 50, 4, 66, 40, QColor(0x1e, 0x88, 0xe5));
    return img;
}

void drawBadge(QPainter &p, const QColor &fill)
{
    QRadialGradient g(40, 36, 60);
    g.setColorAt(0, fill.lighter(125));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.setPen(QPen(fill.darker(140), 3));
    p.drawEllipse(QPointF(50, 50), 45, 45);
}

// Failed: a white cross on a red disc.
QImage drawFailed(int side)
{
    QImage img = canvas(side);
    QPainter p(&img);
    beginPainter(p, side, 100);
    drawBadge(p, QColor(0xd3, 0x2f, 0x2f));
    p.setPen(QPen(Qt::white, 13, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 32), QPointF(68, 68));
    p.drawLine(QPointF(68, 32), QPointF(32, 68));
    return img;
}

// Success: a white check mark on a green disc.
QImage drawSuccess(int side)
{
    QImage img = canvas(side);
    QPainter p(&img);
    beginPainter(p, side, 100);
    drawBadge(p, QColor(0x2e, 0x9d, 0x3a));
    p.setPen(QPen(Qt::white, 13, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath check;
    check.moveTo(28, 52);
    check.lineTo(44, 68);
    check.lineTo(73, 34);
    p.drawPath(check);
    return img;
}

QByteArray encode(const QImage &img, const char *format)
{
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    QImageWriter writer(&buf, format);
    if (!writer.write(img.convertToFormat(QImage::Format_ARGB32)))
        return {};
    return bytes;
}

quint16 le16(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

quint32 le32(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

void put16(QByteArray &b, quint16 v)
{
    char raw[2];
    qToLittleEndian(v, raw);
    b.append(raw, 2);
}

void put32(QByteArray &b, quint32 v)
{
    char raw[4];
    qToLittleEndian(v, raw);
    b.append(raw, 4);
}

struct IconEntry
{
    QByteArray dirEntry; // first 8 bytes of the directory entry
    QByteArray data;
};

// One entry of a multi-size icon. Qt's icon writer stores one image per file,
// so each small size is written on its own and its single entry taken over;
// the 256 px entry holds PNG data, as icon files usually do for that size.
bool iconEntry(const QImage &img, IconEntry &out)
{
    if (img.width() >= 256) {
        out.data = encode(img, "png");
        out.dirEntry = QByteArray("\0\0\0\0", 4);
        put16(out.dirEntry, 1);
        put16(out.dirEntry, 32);
        return !out.data.isEmpty();
    }
    const QByteArray one = encode(img, "ico");
    if (one.size() < 22 || le16(one, 2) != 1 || le16(one, 4) != 1)
        return false;
    const quint32 size = le32(one, 6 + 8);
    const quint32 offset = le32(one, 6 + 12);
    if (offset + size > quint32(one.size()))
        return false;
    out.dirEntry = one.mid(6, 8);
    out.data = one.mid(int(offset), int(size));
    return true;
}

bool writeIcon(const QString &path, const std::vector<int> &sides)
{
    std::vector<IconEntry> entries(sides.size());
    for (size_t i = 0; i < sides.size(); ++i) {
        if (!iconEntry(drawLogo(sides[i]), entries[i]))
            return false;
    }
    QByteArray file;
    put16(file, 0);
    put16(file, 1); // icon, not cursor
    put16(file, quint16(entries.size()));
    quint32 offset = quint32(6 + 16 * entries.size());
    for (const IconEntry &e : entries) {
        file.append(e.dirEntry);
        put32(file, quint32(e.data.size()));
        put32(file, offset);
        offset += quint32(e.data.size());
    }
    for (const IconEntry &e : entries)
        file.append(e.data);
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(file) == file.size();
}

bool writePng(const QString &path, const QImage &img)
{
    QImageWriter writer(path, "png");
    writer.setQuality(0); // best compression; the pictures are small and flat
    return writer.write(img.convertToFormat(QImage::Format_ARGB32));
}

// Reads a written file back and checks that it holds the expected sizes.
bool verify(const QString &path, const std::vector<int> &sides, QTextStream &err)
{
    QImageReader reader(path);
    const int count = reader.imageCount() > 0 ? reader.imageCount() : 1;
    if (count != int(sides.size())) {
        err << path << ": " << count << " images, expected " << sides.size() << "\n";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            reader.jumpToImage(i);
        const QImage img = reader.read();
        if (img.isNull() || img.width() != sides[size_t(i)] || img.height() != sides[size_t(i)]) {
            err << path << ": image " << i << " unreadable or of wrong size (" << reader.errorString()
                << ")\n";
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        err << "usage: drawpictures <output folder>\n";
        return 2;
    }
    if (!QImageWriter::supportedImageFormats().contains("ico")) {
        err << "this Qt has no icon writer (qt image plugin 'ico' missing)\n";
        return 1;
    }
    const QDir dir(args.at(1));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        err << "cannot create " << dir.path() << "\n";
        return 1;
    }

    struct Job
    {
        QString name;
        QImage image;
    };
    const int frameSide = 64;
    const int statusSide = 90;
    const std::vector<Job> jobs = {
        {QStringLiteral("1.png"), drawPlugFrame(1, frameSide)},
        {QStringLiteral("2.png"), drawPlugFrame(2, frameSide)},
        {QStringLiteral("3.png"), drawPlugFrame(3, frameSide)},
        {QStringLiteral("4.png"), drawPlugFrame(4, frameSide)},
        {QStringLiteral("download.png"), drawDownload(statusSide)},
        {QStringLiteral("failed.png"), drawFailed(statusSide)},
        {QStringLiteral("success.png"), drawSuccess(statusSide)},
    };
    bool ok = true;
    for (const Job &job : jobs) {
        const QString path = dir.filePath(job.name);
        if (!writePng(path, job.image)) {
            err << "cannot write " << path << "\n";
            ok = false;
        } else {
            ok = verify(path, {job.image.width()}, err) && ok;
        }
    }
    const std::vector<int> iconSides = {16, 32, 48, 256};
    const QString icon = dir.filePath(QStringLiteral("logo.ico"));
    if (!writeIcon(icon, iconSides)) {
        err << "cannot write " << icon << "\n";
        ok = false;
    } else {
        ok = verify(icon, iconSides, err) && ok;
    }
    err.flush();
    if (ok)
        std::printf("pictures written to %s\n", qPrintable(dir.absolutePath()));
    return ok ? 0 : 1;
}
