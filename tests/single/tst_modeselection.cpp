#include "app/quor_combine.h"
#include "app/startup.h"
#include "app/windowfactory.h"

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
    void buttonsOpenTheChosenWindow_data();
    void buttonsOpenTheChosenWindow();
    void firstWindowDispatch_data();
    void firstWindowDispatch();

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
    QCOMPARE(window.windowTitle(), QStringLiteral("Quor Download tool Selection"));
    QCOMPARE(window.size(), QSize(547, 221));
    QCOMPARE(window.styleSheet(), QStringLiteral("QMainWindow::titleBar { height: 30px; }"));
    QVERIFY(window.findChild<QLabel *>("label")->text().contains(
        QStringLiteral("Select the type of the Quor Burn to be creadted:</span>")));
    auto *single = window.findChild<QRadioButton *>("Single_radio");
    auto *multiple = window.findChild<QRadioButton *>("Multiple_radio");
    QCOMPARE(single->text(), QStringLiteral("Single Quor Burn"));
    QCOMPARE(multiple->text(), QStringLiteral("Multiple Quor Burn"));
    auto *group = window.findChild<QButtonGroup *>();
    QCOMPARE(group->id(single), 0);
    QCOMPARE(group->id(multiple), 1);
    QCOMPARE(group->checkedId(), 0);
}

void tst_ModeSelection::buttonsOpenTheChosenWindow_data()
{
    QTest::addColumn<QString>("radio"); // clicked before the button, if any
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("className"); // empty: no window
    QTest::newRow("untouched") << QString() << "Ok_Button"
                               << "quorDownloadToolUI";
    QTest::newRow("single again") << "Single_radio"
                                  << "Ok_Button"
                                  << "quorDownloadToolUI";
    QTest::newRow("multiple") << "Multiple_radio"
                              << "Ok_Button"
                              << "MainWindow";
    QTest::newRow("cancel") << "Multiple_radio"
                            << "Cancel_Button" << QString();
}

void tst_ModeSelection::buttonsOpenTheChosenWindow()
{
    QFETCH(QString, radio);
    QFETCH(QString, button);
    QFETCH(QString, className);
    // The burning window's construction may process events; the handover must survive that.
    quor_combine window([](Startup::FirstWindow which) {
        QTest::qWait(50);
        return createFirstWindow(which);
    });
    window.show();
    if (!radio.isEmpty())
        QTest::mouseClick(window.findChild<QRadioButton *>(radio), Qt::LeftButton);
    // Inside the event loop: closing the selection must not end the program
    // while a burning window follows, and must when none does.
    QTimer::singleShot(0, &window,
                       [&] { QTest::mouseClick(window.findChild<QPushButton *>(button), Qt::LeftButton); });
    QWidgetList visibleAfter{&window};
    QTimer stillRunning; // ends the loop unless it has already ended
    stillRunning.setSingleShot(true);
    connect(&stillRunning, &QTimer::timeout, qApp, [&visibleAfter] {
        visibleAfter = visibleTopLevels();
        QCoreApplication::exit(42);
    });
    stillRunning.start(300);
    QCOMPARE(QApplication::exec(), className.isEmpty() ? 0 : 42);
    QWidget *burning = window.burningWindow();
    QCOMPARE(burning ? QString::fromLatin1(burning->metaObject()->className()) : QString(), className);
    if (!burning)
        return;
    QCOMPARE(visibleAfter, QWidgetList{burning});
    QVERIFY(!burning->parent());
    // Closing the burning window afterwards ends the application as usual.
    QTimer::singleShot(0, burning, [burning] { burning->close(); });
    stillRunning.start(3000);
    QCOMPARE(QApplication::exec(), 0);
}

void tst_ModeSelection::firstWindowDispatch_data()
{
    QTest::addColumn<QString>("burnType");
    QTest::addColumn<QString>("className");
    const QString selection = QStringLiteral("quor_combine");
    QTest::newRow("Single") << "Single"
                            << "quorDownloadToolUI";
    QTest::newRow("Multiple") << "Multiple"
                              << "MainWindow";
    QTest::newRow("Default") << "Default" << selection;
    QTest::newRow("MULTIPLE") << "MULTIPLE" << selection;
}

void tst_ModeSelection::firstWindowDispatch()
{
    QFETCH(QString, burnType);
    QFETCH(QString, className);
    std::unique_ptr<QWidget> window = createFirstWindow(Startup::firstWindowFor(burnType));
    QVERIFY(!window->parent());
    QCOMPARE(QString::fromLatin1(window->metaObject()->className()), className);
    QVERIFY(!window->isVisible());
}

QTEST_MAIN(tst_ModeSelection)
#include "tst_modeselection.moc"
