// The mode selection window hands over to the chosen burning window: closing
// the selection must not end the program while a burning window follows.
#include "app/quor_combine.h"
#include "app/windowfactory.h"
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
};

QTEST_MAIN(tst_ModeSelection)
#include "tst_modeselection.moc"
