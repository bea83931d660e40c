// Checks the committed pictures in resources/img: every file decodes at its
// size and is a real drawing (not a flat placeholder), the icon carries its
// sizes, the four animation frames differ, and the three status pictures are
// told apart by colour at the size the window shows them.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QtTest>

namespace {

QString imgPath(const QString &name)
{
    return QDir(QStringLiteral(QUOR_IMG_DIR)).filePath(name);
}

QImage load(const QString &name)
{
    return QImage(imgPath(name)).convertToFormat(QImage::Format_ARGB32);
}

int distinctColours(const QImage &img)
{
    QSet<QRgb> seen;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            seen.insert(img.pixel(x, y));
    return seen.size();
}

// Share of pixels whose colour or opacity differs clearly between a and b.
double differingShare(const QImage &a, const QImage &b)
{
    int differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            const int d = qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q)) +
                          qAbs(qAlpha(p) - qAlpha(q));
            if (d > 60)
                ++differing;
        }
    }
    return double(differing) / (a.width() * a.height());
}

// Share of opaque pixels in which the given channel leads the other two.
double channelShare(const QImage &img, int channel)
{
    int opaque = 0;
    int leading = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (qAlpha(p) < 200)
                continue;
            ++opaque;
            const int c[3] = {qRed(p), qGreen(p), qBlue(p)};
            if (c[channel] > c[(channel + 1) % 3] + 50 && c[channel] > c[(channel + 2) % 3] + 50)
                ++leading;
        }
    }
    return opaque == 0 ? 0.0 : double(leading) / opaque;
}

} // namespace

class tst_Pictures : public QObject
{
    Q_OBJECT
private slots:
    void picturesAreRealDrawings_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("side");
        for (const char *frame : {"1.png", "2.png", "3.png", "4.png"})
            QTest::newRow(frame) << QString::fromLatin1(frame) << 64;
        for (const char *status : {"download.png", "failed.png", "success.png"})
            QTest::newRow(status) << QString::fromLatin1(status) << 90;
    }
    void picturesAreRealDrawings()
    {
        QFETCH(QString, name);
        QFETCH(int, side);
        const QImage img = load(name);
        QVERIFY2(!img.isNull(), qPrintable(imgPath(name)));
        QCOMPARE(img.size(), QSize(side, side));
        // Drawn on a transparent ground, antialiased: many shades, clear corners.
        QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
        QVERIFY2(distinctColours(img) > 40, qPrintable(QString::number(distinctColours(img))));
        QVERIFY2(QFileInfo(imgPath(name)).size() < 16 * 1024, "pictures stay small");
    }

    void iconHoldsItsSizes()
    {
        QImageReader reader(imgPath(QStringLiteral("logo.ico")));
        QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
        QCOMPARE(reader.imageCount(), 4);
        QList<int> sides;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage img = reader.read();
            QVERIFY2(!img.isNull(), qPrintable(reader.errorString()));
            QCOMPARE(img.width(), img.height());
            QVERIFY(distinctColours(img) > 20);
            sides << img.width();
        }
        std::sort(sides.begin(), sides.end());
        QCOMPARE(sides, (QList<int>{16, 32, 48, 256}));
    }

    void animationFramesDiffer()
    {
        QList<QImage> frames;
        for (int i = 1; i <= 4; ++i)
            frames << load(QString::number(i) + QStringLiteral(".png"));
        // Each step, the wrap-around from 4 back to 1 included, visibly changes.
        for (int i = 0; i < 4; ++i) {
            const double share = differingShare(frames[i], frames[(i + 1) % 4]);
            QVERIFY2(share > 0.03, qPrintable(QStringLiteral("frames %1 and %2 differ in %3 of the pixels")
                                                  .arg(i + 1)
                                                  .arg((i + 1) % 4 + 1)
                                                  .arg(share)));
        }
    }

    void statusPicturesAreToldApart()
    {
        const QImage download = load(QStringLiteral("download.png"));
        const QImage failed = load(QStringLiteral("failed.png"));
        const QImage success = load(QStringLiteral("success.png"));
        QVERIFY(differingShare(download, failed) > 0.2);
        QVERIFY(differingShare(download, success) > 0.2);
        QVERIFY(differingShare(failed, success) > 0.2);
        // Red for failure, green for success, blue in the transfer picture.
        QVERIFY2(channelShare(failed, 0) > 0.4, qPrintable(QString::number(channelShare(failed, 0))));
        QVERIFY2(channelShare(success, 1) > 0.4, qPrintable(QString::number(channelShare(success, 1))));
        QVERIFY2(channelShare(download, 2) > 0.15, qPrintable(QString::number(channelShare(download, 2))));
        QVERIFY(channelShare(failed, 1) < 0.05 && channelShare(success, 0) < 0.05);
    }
};

QTEST_GUILESS_MAIN(tst_Pictures)
#include "tst_pictures.moc"
