// The single-board window without a run: the description file and its table,
// the command line shown, the page features; and the mode selection window
// handing over to a burning window. Runs in a temporary working folder with
// its own user settings.
#include "app/quor_combine.h"
#include "app/windowfactory.h"
#include "common/boardconfig.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "tests/common/testfiles.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

class tst_SingleWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void descriptionFilesFillOrKeepTheTable();
    void pageFeatures_data();
    void pageFeatures();
    void modeSelection_data();
    void modeSelection();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd, m_nextChoice;
    QStringList m_dialogCalls;

    std::unique_ptr<quorDownloadToolUI> makeWindow()
    {
        return std::make_unique<quorDownloadToolUI>(
            [this](QWidget *parent, const QString &caption, const QString &dir, const QString &filter) {
                m_dialogCalls << caption << dir << filter << QString::number(parent != nullptr);
                return m_nextChoice;
            });
    }
    void browse(quorDownloadToolUI &w, const QString &file)
    {
        m_nextChoice = file.isEmpty() ? QString() : QDir::current().filePath(file);
        w.findChild<QPushButton *>("configFileButton")->click();
    }
    static QString row(quorDownloadToolUI &w, int row) // its cells, and '+' for a check box one can tick
    {
        QTableWidget *table = w.findChild<QTableWidget *>("myTable");
        QStringList cells;
        for (int c = 1; c < table->columnCount(); ++c)
            cells << (table->item(row, c) ? table->item(row, c)->text() : QStringLiteral("-"));
        const QPointer<QCheckBox> box = w.state().partitionCheckBoxes.value(row);
        const bool ticked = box && box->isEnabled() && box->isChecked() && table->cellWidget(row, 0) == box;
        return cells.join('|') + (ticked ? "+" : "");
    }
    static QString scriptPath(quorDownloadToolUI &w)
    {
        return w.findChild<QTextBrowser *>("scriptPath")->toPlainText();
    }
};

void tst_SingleWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       m_dir->filePath(QStringLiteral("settings")));
    m_dialogCalls.clear();
}

void tst_SingleWindow::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void tst_SingleWindow::descriptionFilesFillOrKeepTheTable()
{
    QByteArray many = "<r>";
    for (int i = 0; i < 60; ++i)
        many += QStringLiteral("<partition label=\"p%1\" file=\"%1.img\"/>").arg(i).toUtf8();
    for (const auto &[name, content] :
         {std::pair{"log_singel.txt", QByteArray("old run")},
          {"config/Board_config.ini", "[chip]\nchip_type=C x\n[OS]\nOS_type=S\n"},
          {"d/part.xml",
           "<p><partition label=\"boot\" size_in_kb=\"1024\" file=\"boot.img\" type=\"emmc\"/>"
           "<partition label=\"data\" size_in_kb=\"77\" type=\"nand\"/><partition file=\"\"/></p>"},
          {"many.xml", many + "</r>"},
          {"bad/bad.xml", "<r><partition label=\"only\" file=\"o.img\"/><partition label="},
          {"none.xml", "<r><part label=\"x\"/></r>"}})
        QVERIFY(QDir().mkpath(QFileInfo(name).path()) && TestFiles::writeFile(name, content));
    auto w = makeWindow();
    QVERIFY(!QFile::exists(QStringLiteral("log_singel.txt"))); // every window starts a new run log
    browse(*w, QStringLiteral("many.xml"));                    // beyond fifty rows, a check box in each
    QCOMPARE(row(*w, 59), QStringLiteral("p59|59.img||+"));
    const QPointer<QCheckBox> dropped = w->state().partitionCheckBoxes.at(59);
    w->state().partitionCheckBoxes.at(0)->setChecked(false);
    // Fewer rows: fresh boxes, dropped rows' boxes go; a row without an image cannot be ticked.
    browse(*w, QStringLiteral("d/part.xml"));
    QCOMPARE(m_dialogCalls.mid(4),
             (QStringList{"Select XML File.", QDir::currentPath(), "XML Files (*.xml)", "1"}));
    QCOMPARE((QStringList{row(*w, 0), row(*w, 1), row(*w, 2)}),
             (QStringList{"boot|boot.img|emmc|1024+", "data||nand|77", "|||"}));
    QTRY_VERIFY(dropped.isNull());
    const QString dir = m_dir->path() + QStringLiteral("/d/");
    QCOMPARE(scriptPath(*w), "usb_dl.exe -c C x -s S -i \"" + dir + '"');
    QCOMPARE(makeWindow()->state().downloadCommand,
             "usb_dl.exe -c C x -s S -i \"" + dir + "downloadImageFile\"\n");
    // Malformed, missing or without partitions: the table stays, the command follows the file.
    for (const char *file : {"bad/bad.xml", "gone.xml", "none.xml"}) {
        browse(*w, QLatin1String(file));
        QCOMPARE(row(*w, 0), QStringLiteral("boot|boot.img|emmc|1024+"));
    }
    QCOMPARE(w->state().partitionRowCount, 0);
    // Cancelled: empty paths, remembered as empty.
    browse(*w, QString());
    QCOMPARE(scriptPath(*w), QStringLiteral("usb_dl.exe -c C x -s S -i \"\""));
    QCOMPARE(BoardConfig::userSettings()->value(QStringLiteral("lastPath"), "none"), QVariant(QString()));
}

void tst_SingleWindow::pageFeatures_data()
{
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("tabs");
    const QStringList top{"frame_PC_config", "frame_board_config", "frame_transfer_mode", "frame_server",
                          "IP_Box",          "RefreshButton"};
    const QStringList all{"Burn by USB", "Burn eMMC", "Burn NAND"};
    QTest::newRow("none") << QString() << QStringList() << all;
    QTest::newRow("lower case") << "only_burn" << QStringList() << all;
    QTest::newRow("Only_Burn") << "Only_Burn" << top << all;
    QTest::newRow("USB") << "Only_Burn_USB" << top + QStringList{"tab_2", "tab_3"}
                         << QStringList{"Burn by USB"};
    QTest::newRow("Emmc") << "Only_Burn_Emmc" << top + QStringList{"tab", "tab_3", "StopButton"}
                          << QStringList{"Burn eMMC"};
    QTest::newRow("NAND") << "Only_Burn_NAND" << top + QStringList{"tab", "tab_2", "StopButton"}
                          << QStringList{"Burn NAND"};
    QTest::newRow("TFTP") << "Only_TFTP" << QStringList{"tab", "tab_2", "tab_3", "StopButton", "statusText"}
                          << QStringList();
}

void tst_SingleWindow::pageFeatures()
{
    QFETCH(QString, feature);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, tabs);
    QVERIFY(QDir().mkpath(QStringLiteral("config")));
    QVERIFY(TestFiles::writeFile(QStringLiteral("config/Board_config.ini"),
                                 "[Burn_Type]\nBurn_Page_Feature=" + feature.toUtf8() + "\n"));
    QVERIFY(TestFiles::writeFile(QStringLiteral("p.xml"), "<r><partition label=\"a\" file=\"a.img\"/></r>"));
    auto w = makeWindow();
    for (const char *name : {"frame_PC_config", "frame_board_config", "frame_transfer_mode", "frame_server",
                             "IP_Box", "RefreshButton", "tab", "tab_2", "tab_3", "StopButton", "statusText"})
        QVERIFY2(!w->findChild<QObject *>(name) == gone.contains(QLatin1String(name)), name);
    QStringList titles;
    if (auto *tabWidget = w->findChild<QTabWidget *>("burningOptionTabWidget"))
        for (int i = 0; i < tabWidget->count(); ++i)
            titles << tabWidget->tabText(i);
    QCOMPARE(titles, tabs);
    // What remains still shows, and the slots find no destroyed widget.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    m_nextChoice = QDir::current().filePath(QStringLiteral("p.xml"));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "browseConfigDir"));
    QVERIFY(w->state().downloadCommand.endsWith(QStringLiteral("downloadImageFile\"\n")));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "on_RefreshButton_clicked"));
}

void tst_SingleWindow::modeSelection_data()
{
    QTest::addColumn<QString>("radio"); // clicked before the button, if any
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("className"); // empty: no window
    QTest::newRow("untouched") << QString() << "Ok_Button"
                               << "quorDownloadToolUI";
    QTest::newRow("multiple") << "Multiple_radio"
                              << "Ok_Button"
                              << "MainWindow";
    QTest::newRow("single again") << "Single_radio"
                                  << "Ok_Button"
                                  << "quorDownloadToolUI";
    QTest::newRow("cancel") << "Multiple_radio"
                            << "Cancel_Button" << QString();
}

void tst_SingleWindow::modeSelection()
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
    QTimer::singleShot(0, &window, [&] { window.findChild<QPushButton *>(button)->click(); });
    QWidgetList visible;
    QTimer stillRunning; // ends the loop unless it has already ended
    stillRunning.setSingleShot(true);
    connect(&stillRunning, &QTimer::timeout, qApp, [&visible] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->isVisible())
                visible << w;
        QCoreApplication::exit(42);
    });
    stillRunning.start(300);
    QCOMPARE(QApplication::exec(), className.isEmpty() ? 0 : 42);
    QWidget *burning = window.burningWindow();
    QCOMPARE(burning ? QString::fromLatin1(burning->metaObject()->className()) : QString(), className);
    if (!burning)
        return;
    QCOMPARE(visible, QWidgetList{burning});
    // Closing the burning window afterwards ends the application as usual.
    QTimer::singleShot(0, burning, [burning] { burning->close(); });
    stillRunning.start(3000);
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(tst_SingleWindow)
#include "tst_singlewindow.moc"
