#include "multi/unpackprogress.h"
#include "zipmaker.h"

#include <QApplication>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// The modal progress dialog around an unpack: the event loop keeps running, the dialog follows the
// MiB (rounded up), and Cancel stops the unpack cleanly.
class tst_UnpackProgress : public QObject
{
    Q_OBJECT
private slots:
    void sizesAreMiBRoundedUp()
    {
        QCOMPARE((QVector<int>{unpackMiB(0), unpackMiB(1), unpackMiB(1 << 20), unpackMiB((48 << 20) + 1)}),
                 (QVector<int>{0, 1, 1, 49}));
    }
    void showsProgressAndCancels_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("unpacked") << false;
        QTest::newRow("cancelled") << true;
    }
    void showsProgressAndCancels()
    {
        QFETCH(bool, cancel);
        QTemporaryDir tmp;
        const QString zip = tmp.path() + QStringLiteral("/images.zip"),
                      dest = tmp.path() + QStringLiteral("/Q");
        // 48 MiB and a byte (192 MiB of zeros for the cancel, so that it comes in time).
        const QByteArray a = cancel ? QByteArray(96 << 20, '\0') : ZipMaker::text(24 << 20, 1);
        const QByteArray b = cancel ? a : ZipMaker::noise((24 << 20) + 1, 2);
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot/a.img", a), ZipMaker::zipFile("b.img", b)}));
        QWidget window;
        window.show();
        int ticks = 0; // ticks that found the dialog modal over the window: events were handled
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || dialog->windowModality() != Qt::WindowModal ||
                dialog->parentWidget() != &window)
                return;
            ++ticks;
            if (cancel)
                dialog->findChild<QPushButton *>()->click();
        });
        timer.start(1);
        const UnpackResult r = unpackWithProgress(&window, zip, dest);
        timer.stop();
        QVERIFY(ticks > 0);
        QCOMPARE(r.ok, !cancel);
        QVERIFY(!QApplication::activeModalWidget()); // the dialog is gone when the call returns
        QCOMPARE(r.messages,
                 cancel ? QStringList{QStringLiteral("Unpacking was cancelled.")} : QStringList());
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("images.zip")} +
                     (cancel ? QStringList() : QStringList{QStringLiteral("Q")}));
        QVERIFY(cancel || ZipMaker::fileContent(dest + QStringLiteral("/boot/a.img")) == a);
    }
};

QTEST_MAIN(tst_UnpackProgress)
#include "tst_unpackprogress.moc"
