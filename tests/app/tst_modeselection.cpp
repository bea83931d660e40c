// The mode selection window hands over to the chosen burning window: closing
// the selection must not end the program while a burning window follows. And
// the windows' icon, read lazily, is the icon file's own at every size.
#include "app/quor_combine.h"
#include "app/windowfactory.h"
#include "resources/windowicon.h"
#include "windowtestenv.h"

#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

class tst_ModeSelection : public QObject
{
    Q_OBJECT
private slots:
    void handover_data()
    {
        QTest::addColumn<QString>("radio"); // clicked before the button, if any
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("className"); // empty: no window follows
        const auto row = [](const char *name, const char *radio, const char *button, const char *className) {
            QTest::newRow(name) << QString(radio) << QString(button) << QString(className);
        };
        row("untouched", "", "Ok_Button", "quorDownloadToolUI");
        row("multiple", "Multiple_radio", "Ok_Button", "MainWindow");
        row("cancel", "Multiple_radio", "Cancel_Button", "");
    }
    void handover()
    {
        QFETCH(QString, radio);
        QFETCH(QString, button);
        QFETCH(QString, className);
        const WindowTestFolder folder;
        QVERIFY(folder.isValid());
        // The burning window's construction may process events; the handover must survive that.
        quor_combine window([](Startup::FirstWindow which) {
            QTest::qWait(50);
            return createFirstWindow(which);
        });
        window.show();
        if (!radio.isEmpty())
            QTest::mouseClick(window.findChild<QRadioButton *>(radio), Qt::LeftButton);
        // Inside the event loop, as an operator's click is: the loop ends by itself
        // only when no window is left, else the timer ends it with 42.
        QTimer::singleShot(
            0, &window, [&] { QTest::mouseClick(window.findChild<QPushButton *>(button), Qt::LeftButton); });
        QWidgetList visible;
        QTimer stillRunning; // gone with this row, so it cannot end the next row's loop
        stillRunning.setSingleShot(true);
        connect(&stillRunning, &QTimer::timeout, qApp, [&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (w->isVisible())
                    visible << w;
            QCoreApplication::exit(42);
        });
        stillRunning.start(500);
        QCOMPARE(QApplication::exec(), className.isEmpty() ? 0 : 42);
        QWidget *burning = window.burningWindow();
        QCOMPARE(burning ? QString::fromLatin1(burning->metaObject()->className()) : QString(), className);
        QCOMPARE(visible, burning ? QWidgetList{burning} : QWidgetList{});
    }

    // Every size Qt might ask for (exact, between, above and below the file's
    // 16, 32, 48 and 256) gives the pixels QIcon(path) gives, and each window
    // carries the icon.
    void windowIcon()
    {
        const QString path = QStringLiteral(":/img/logo.ico");
        const QIcon lazy = WindowIcon::logo();
        const QIcon whole(path);
        QVERIFY(!lazy.isNull());
        QCOMPARE(lazy.availableSizes(), whole.availableSizes());
        for (const int side : {16, 20, 32, 40, 48, 100, 256, 300, 8}) {
            const QSize size(side, side);
            QCOMPARE(lazy.actualSize(size), whole.actualSize(size));
            QCOMPARE(lazy.pixmap(size).toImage(), whole.pixmap(size).toImage());
        }
        QCOMPARE(lazy.pixmap(QSize(16, 16), QIcon::Disabled).toImage(),
                 whole.pixmap(QSize(16, 16), QIcon::Disabled).toImage());
        quor_combine window;
        QCOMPARE(window.windowIcon().pixmap(QSize(32, 32)).toImage(), whole.pixmap(QSize(32, 32)).toImage());

        QByteArray directory("\0\0\1\0\2\0", 6);
        directory += QByteArray("\x10\x10", 2) + QByteArray(14, 0) + QByteArray(16, 0);
        QCOMPARE(WindowIcon::icoSizes(directory), (QVector<QSize>{QSize(16, 16), QSize(256, 256)}));
        QVERIFY(WindowIcon::icoSizes(directory.left(21)).isEmpty()); // the second entry cut short
        QVERIFY(WindowIcon::icoSizes(QByteArray("\x89PNG\r\n\x1a\n")).isEmpty());
        QCOMPARE(WindowIcon::bestEntry({}, QSize(16, 16)), -1);
    }
};

QTEST_MAIN(tst_ModeSelection)
#include "tst_modeselection.moc"
