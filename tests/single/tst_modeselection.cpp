#include "app/quor_combine.h"
#include "app/startup.h"
#include "app/windowfactory.h"
#include "multi/mainwindow.h"
#include "quorDownload/quorDownloadToolUI.h"

#include <QApplication>
#include <QButtonGroup>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The mode selection window, its handover to a burning window and the choice
// of the first window at start-up.
class tst_ModeSelection : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void form();
    void okOpensChosenWindow();
    void okOpensChosenWindow_data();
    void cancelOpensNothing();
    void handoverKeepsApplicationRunning();
    void cancelEndsEventLoop();
    void firstWindowDispatch();
    void firstWindowDispatch_data();

private:
    static QWidgetList visibleTopLevels();
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
};

void tst_ModeSelection::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir->path());
    QVERIFY(QGuiApplication::quitOnLastWindowClosed());
}

void tst_ModeSelection::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

QWidgetList tst_ModeSelection::visibleTopLevels()
{
    QWidgetList visible;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible())
            visible << w;
    }
    return visible;
}

void tst_ModeSelection::form()
{
    quor_combine window;
    QCOMPARE(window.objectName(), QStringLiteral("quor_combine"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quor Download tool Selection"));
    QCOMPARE(window.size(), QSize(547, 221));
    QCOMPARE(window.styleSheet(), QStringLiteral("QMainWindow::titleBar { height: 30px; }"));
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(!window.isModal());

    auto *label = window.findChild<QLabel *>("label");
    QVERIFY(label);
    QVERIFY(label->text().contains(QStringLiteral(
        "<span style=\" font-size:14pt; font-weight:700;\">Select the type of the Quor Burn to be "
        "creadted:</span>")));
    QCOMPARE(window.findChild<QLabel *>("Timer")->text(), QString());
    auto *single = window.findChild<QRadioButton *>("Single_radio");
    auto *multiple = window.findChild<QRadioButton *>("Multiple_radio");
    QCOMPARE(single->text(), QStringLiteral("Single Quor Burn"));
    QCOMPARE(multiple->text(), QStringLiteral("Multiple Quor Burn"));
    QCOMPARE(window.findChild<QPushButton *>("Ok_Button")->text(), QStringLiteral("OK"));
    QCOMPARE(window.findChild<QPushButton *>("Cancel_Button")->text(), QStringLiteral("Cancel"));

    auto *group = window.findChild<QButtonGroup *>();
    QVERIFY(group);
    QCOMPARE(group->id(single), 0);
    QCOMPARE(group->id(multiple), 1);
    QVERIFY(single->isChecked());
    QCOMPARE(group->checkedId(), 0);

    // Clicking the checked option keeps it checked; the other one switches.
    window.show();
    QTest::mouseClick(single, Qt::LeftButton);
    QCOMPARE(group->checkedId(), 0);
    QTest::mouseClick(multiple, Qt::LeftButton);
    QCOMPARE(group->checkedId(), 1);
    QVERIFY(!single->isChecked());
}

void tst_ModeSelection::okOpensChosenWindow_data()
{
    QTest::addColumn<bool>("pickMultiple");
    QTest::addColumn<QString>("className");
    QTest::newRow("untouched") << false << "quorDownloadToolUI";
    QTest::newRow("multiple") << true << "MainWindow";
}

void tst_ModeSelection::okOpensChosenWindow()
{
    QFETCH(bool, pickMultiple);
    QFETCH(QString, className);
    quor_combine window;
    window.show();
    if (pickMultiple)
        QTest::mouseClick(window.findChild<QRadioButton *>("Multiple_radio"), Qt::LeftButton);
    QTest::mouseClick(window.findChild<QPushButton *>("Ok_Button"), Qt::LeftButton);

    QVERIFY(!window.isVisible());
    QWidget *burning = window.burningWindow();
    QVERIFY(burning);
    QCOMPARE(QString::fromLatin1(burning->metaObject()->className()), className);
    QVERIFY(!burning->parent());
    QCOMPARE(visibleTopLevels(), QWidgetList{burning});
    QVERIFY(QGuiApplication::quitOnLastWindowClosed()); // restored after the handover
    burning->close();
}

void tst_ModeSelection::cancelOpensNothing()
{
    quor_combine window;
    window.show();
    QTest::mouseClick(window.findChild<QPushButton *>("Cancel_Button"), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(!window.burningWindow());
    QVERIFY(visibleTopLevels().isEmpty());
}

void tst_ModeSelection::handoverKeepsApplicationRunning()
{
    // Inside a running event loop, closing the only visible window ends the
    // application once events are processed; the burning window's
    // construction may process events, and the handover must survive that.
    bool constructed = false;
    quor_combine window([&constructed](Startup::FirstWindow which) {
        QCoreApplication::processEvents();
        QTest::qWait(50);
        std::unique_ptr<QWidget> made = createFirstWindow(which);
        constructed = true;
        return made;
    });
    window.show();
    QWidgetList visibleAfter;
    QTimer::singleShot(0, &window, [&window] {
        QTest::mouseClick(window.findChild<QPushButton *>("Ok_Button"), Qt::LeftButton);
    });
    QTimer::singleShot(300, qApp, [&visibleAfter] {
        visibleAfter = visibleTopLevels();
        QCoreApplication::exit(42);
    });
    QCOMPARE(QApplication::exec(), 42);
    QVERIFY(constructed);
    QVERIFY(window.burningWindow());
    QCOMPARE(QString::fromLatin1(window.burningWindow()->metaObject()->className()),
             QStringLiteral("quorDownloadToolUI"));
    QCOMPARE(visibleAfter, QWidgetList{window.burningWindow()});

    // Closing the burning window afterwards ends the application as usual.
    QTimer::singleShot(0, qApp, [&window] { window.burningWindow()->close(); });
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QApplication::exec(), 0);
}

void tst_ModeSelection::cancelEndsEventLoop()
{
    quor_combine window;
    window.show();
    QTimer::singleShot(0, &window, [&window] {
        QTest::mouseClick(window.findChild<QPushButton *>("Cancel_Button"), Qt::LeftButton);
    });
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window.burningWindow());
}

void tst_ModeSelection::firstWindowDispatch_data()
{
    QTest::addColumn<QString>("burnType");
    QTest::addColumn<QString>("className");
    QTest::newRow("Single") << "Single"
                            << "quorDownloadToolUI";
    QTest::newRow("Multiple") << "Multiple"
                              << "MainWindow";
    QTest::newRow("Default") << "Default"
                             << "quor_combine";
    QTest::newRow("empty") << ""
                           << "quor_combine";
    QTest::newRow("single") << "single"
                            << "quor_combine";
    QTest::newRow("MULTIPLE") << "MULTIPLE"
                              << "quor_combine";
}

void tst_ModeSelection::firstWindowDispatch()
{
    QFETCH(QString, burnType);
    QFETCH(QString, className);
    std::unique_ptr<QWidget> window = createFirstWindow(Startup::firstWindowFor(burnType));
    QVERIFY(window);
    QVERIFY(!window->parent());
    QCOMPARE(QString::fromLatin1(window->metaObject()->className()), className);
    QVERIFY(!window->isVisible());
}

QTEST_MAIN(tst_ModeSelection)
#include "tst_modeselection.moc"
