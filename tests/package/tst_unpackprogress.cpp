#include "multi/unpackprogress.h"
#include "zipmaker.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// The modal progress dialog around an unpack: the event loop keeps running,
// the dialog follows the bytes, and Cancel stops the unpack cleanly.
class tst_UnpackProgress : public QObject
{
    Q_OBJECT

private:
    struct Probe
    {
        int ticks = 0;      // timer ticks that found the dialog
        int maximum = 0;    // largest range the dialog showed (MiB)
        bool modal = false; // window-modal over the given parent
        QWidget *parent = nullptr;
    };

    // Runs while unpackWithProgress waits; the ticks prove that events are handled meanwhile.
    static void watch(QTimer *timer, Probe *probe, bool pressCancel)
    {
        QObject::connect(timer, &QTimer::timeout, timer, [probe, pressCancel] {
            auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            ++probe->ticks;
            probe->maximum = std::max(probe->maximum, dialog->maximum());
            probe->modal = dialog->windowModality() == Qt::WindowModal;
            probe->parent = dialog->parentWidget();
            if (pressCancel) {
                if (auto *button = dialog->findChild<QPushButton *>())
                    button->click();
            }
        });
        timer->start(1);
    }

private slots:
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
        const QString zip = tmp.path() + QStringLiteral("/images.zip");
        const QString dest = tmp.path() + QStringLiteral("/QuorBurnImage/");
        // 48 MiB and a byte to unpack, shown as 49 (192 MiB of zeros for the cancel, so that it comes in
        // time).
        const QByteArray a = cancel ? QByteArray(96 << 20, '\0') : ZipMaker::text(24 << 20, 1);
        const QByteArray b = cancel ? a : ZipMaker::noise((24 << 20) + 1, 2);
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot/a.img", a), ZipMaker::zipFile("b.img", b)}));

        QWidget window;
        window.resize(300, 200);
        window.show();
        QTimer timer;
        Probe probe;
        watch(&timer, &probe, cancel);
        const UnpackResult r = unpackWithProgress(&window, zip, dest);
        timer.stop();

        QVERIFY(probe.ticks > 0); // events were handled while the unpack ran
        QVERIFY(probe.modal);
        QCOMPARE(probe.parent, &window);
        QVERIFY(!QApplication::activeModalWidget()); // the dialog is gone when the call returns
        if (cancel) {
            QVERIFY(!r.ok);
            QCOMPARE(r.messages, QStringList{QStringLiteral("Unpacking was cancelled.")});
            QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList{QStringLiteral("images.zip")});
            return;
        }
        QVERIFY2(r.ok, qPrintable(r.messages.join(QLatin1Char('\n'))));
        QCOMPARE(r.bytesWritten, qint64(a.size() + b.size()));
        QCOMPARE(ZipMaker::fileContent(dest + QStringLiteral("boot/a.img")), a);
        QVERIFY2(probe.maximum == 0 ||
                     probe.maximum == 49, // busy until the total is known, then MiB rounded up
                 qPrintable(QString::number(probe.maximum)));
    }
};

QTEST_MAIN(tst_UnpackProgress)
#include "tst_unpackprogress.moc"
