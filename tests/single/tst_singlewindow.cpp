// The single-board window without a run: the description file and its table,
// the derived paths and command line, the page features and the address list;
// and the mode selection window handing over to a burning window. Runs in a
// temporary working folder with its own user settings.
#include "app/quor_combine.h"
#include "app/windowfactory.h"
#include "common/boardconfig.h"
#include "quorDownload/quorDownloadToolUI.h"
#include "tests/common/testfiles.h"

#include <QCheckBox>
#include <QComboBox>
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
    void browseFillsTableAndCommand();
    void laterFilesReplaceOrKeepTheTable();
    void rememberedFile_data();
    void rememberedFile();
    void pageFeatures_data();
    void pageFeatures();
    void refreshListsIpv4Once();
    void modeSelectionOpensTheChosenWindow_data();
    void modeSelectionOpensTheChosenWindow();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd, m_nextChoice;
    QStringList m_dialogCalls;

    static void write(const QString &relativePath, const QByteArray &content)
    {
        QVERIFY(QDir().mkpath(QFileInfo(relativePath).path()) && TestFiles::writeFile(relativePath, content));
    }
    static QByteArray partitions(int count)
    {
        QByteArray xml = "<partitions>";
        for (int i = 0; i < count; ++i)
            xml += QStringLiteral("<partition label=\"p%1\" file=\"img%1.bin\"/>").arg(i).toUtf8();
        return xml + "</partitions>";
    }
    std::unique_ptr<quorDownloadToolUI> makeWindow()
    {
        return std::make_unique<quorDownloadToolUI>(
            [this](QWidget *parent, const QString &caption, const QString &dir, const QString &filter) {
                m_dialogCalls << caption << dir << filter << QString::number(parent != nullptr);
                return m_nextChoice;
            });
    }
    void browse(quorDownloadToolUI &w, const QString &relativePath)
    {
        m_nextChoice = relativePath.isEmpty() ? QString() : QDir::current().filePath(relativePath);
        w.findChild<QPushButton *>("configFileButton")->click();
    }
    static QTableWidget *table(quorDownloadToolUI &w) { return w.findChild<QTableWidget *>("myTable"); }
    static QString cell(quorDownloadToolUI &w, int row, int column)
    {
        const QTableWidgetItem *item = table(w)->item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }
    static QString text(quorDownloadToolUI &w, const char *name)
    {
        return w.findChild<QTextBrowser *>(name)->toPlainText();
    }
    static QString lastPath()
    {
        return BoardConfig::userSettings()->value(QStringLiteral("lastPath")).toString();
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
    m_nextChoice.clear();
    m_dialogCalls.clear();
}

void tst_SingleWindow::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void tst_SingleWindow::browseFillsTableAndCommand()
{
    write(QStringLiteral("log_singel.txt"), "old run\n");
    write(QStringLiteral("config/Board_config.ini"), "[chip]\nchip_type=C x\n[OS]\nOS_type=S\n");
    write(QStringLiteral("img dir/part.xml"),
          "<p><partition label=\"boot\" size_in_kb=\"1024\" file=\"boot.img\" type=\"emmc\"/>"
          "<partition label=\"data\" size_in_kb=\"77\" type=\"nand\"/>"
          "<partition label=\"root\" file=\"\"/><partition label=\"sys\" file=\"sys.img\"/></p>");
    auto w = makeWindow();
    QVERIFY(!QFile::exists(QStringLiteral("log_singel.txt"))); // every window starts a new run log
    QCOMPARE(w->state().configFilePath, QStringLiteral(" "));
    browse(*w, QStringLiteral("img dir/part.xml"));
    QCOMPARE(m_dialogCalls, (QStringList{"Select XML File.", QDir::currentPath(), "XML Files (*.xml)", "1"}));
    QCOMPARE(lastPath(), m_nextChoice);
    const SingleWindowState &s = w->state();
    const QString dir = m_dir->path() + QStringLiteral("/img dir/");
    QCOMPARE(s.configFileName, QStringLiteral("part.xml"));
    QCOMPARE(s.stagingDir, dir + QStringLiteral("downloadImageFile"));
    QCOMPARE(s.downloadCommand, "usb_dl.exe -c C x -s S -i \"" + dir + "downloadImageFile\"\n");
    QCOMPARE(text(*w, "configFileDir"), m_nextChoice);
    QCOMPARE(text(*w, "scriptPath"), "usb_dl.exe -c C x -s S -i \"" + dir + '"');
    QCOMPARE(table(*w)->rowCount(), 4);
    QCOMPARE((QStringList{cell(*w, 0, 1), cell(*w, 0, 2), cell(*w, 0, 3), cell(*w, 0, 4), cell(*w, 1, 2)}),
             (QStringList{"boot", "boot.img", "emmc", "1024", ""}));
    // A row without an image cannot be selected.
    for (int row = 0; row < 4; ++row) {
        QCheckBox *box = s.partitionCheckBoxes.at(row);
        QCOMPARE(table(*w)->cellWidget(row, 0), box);
        QCOMPARE(box->isEnabled() && box->isChecked(), row == 0 || row == 3);
    }
}

void tst_SingleWindow::laterFilesReplaceOrKeepTheTable()
{
    write(QStringLiteral("a/many.xml"), partitions(60));
    write(QStringLiteral("b/two.xml"),
          "<r><partition label=\"x\" file=\"x.img\"/><partition label=\"y\"/></r>");
    write(QStringLiteral("c/bad.xml"), "<r><partition label=\"only\" file=\"o.img\"/><partition label=");
    write(QStringLiteral("none.xml"), "<r><part label=\"x\"/></r>");
    auto w = makeWindow();
    const SingleWindowState &s = w->state();
    browse(*w, QStringLiteral("a/many.xml")); // beyond fifty rows, a check box in each
    QCOMPARE(table(*w)->cellWidget(59, 0), s.partitionCheckBoxes.at(59));
    QPointer<QCheckBox> last = s.partitionCheckBoxes.at(59);
    s.partitionCheckBoxes.at(0)->setChecked(false);
    // Fewer rows: the list is emptied first, the boxes are fresh, dropped rows' boxes go.
    browse(*w, QStringLiteral("b/two.xml"));
    QCOMPARE(s.partitionList.size(), 2);
    QCOMPARE(table(*w)->rowCount(), 2);
    QCOMPARE(cell(*w, 1, 1), QStringLiteral("y"));
    QVERIFY(s.partitionCheckBoxes.at(0)->isChecked() && !s.partitionCheckBoxes.at(1)->isEnabled());
    QTRY_VERIFY(last.isNull());
    // Malformed: the entries before the error are kept, the table is not
    // refilled, and the paths and command still follow the chosen file.
    browse(*w, QStringLiteral("c/bad.xml"));
    QCOMPARE(s.partitionList.size(), 1);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("x"));
    QVERIFY(text(*w, "scriptPath").endsWith(QStringLiteral("/c/\"")));
    browse(*w, QStringLiteral("gone.xml")); // missing: the table stays too
    QCOMPARE(s.partitionRowCount, 2);
    browse(*w, QStringLiteral("none.xml")); // no partition: the count drops, the old rows stay
    QCOMPARE(s.partitionRowCount, 0);
    QCOMPARE(table(*w)->rowCount(), 2);
    // Cancelled: empty paths, remembered as empty.
    browse(*w, QString());
    QCOMPARE(s.downloadCommand, QStringLiteral("usb_dl.exe -c  -s  -i \"downloadImageFile\"\n"));
    QCOMPARE(text(*w, "scriptPath"), QStringLiteral("usb_dl.exe -c  -s  -i \"\""));
    QVERIFY(BoardConfig::userSettings()->contains(QStringLiteral("lastPath")) && lastPath().isEmpty());
    QCOMPARE(makeWindow()->state().configFilePath, QStringLiteral(" "));
}

void tst_SingleWindow::rememberedFile_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<int>("rows");
    QTest::newRow("present") << "bench/board.xml" << 3;
    QTest::newRow("missing") << QStringLiteral("gone dir/ボード.xml") << 0;
}

void tst_SingleWindow::rememberedFile()
{
    QFETCH(QString, relativePath);
    QFETCH(int, rows);
    if (rows > 0)
        write(relativePath, partitions(rows));
    const QString path = QDir::current().filePath(relativePath);
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), path);
    auto w = makeWindow();
    QVERIFY(m_dialogCalls.isEmpty());
    QCOMPARE(text(*w, "configFileDir"), path);
    QCOMPARE(w->state().downloadCommand,
             "usb_dl.exe -c  -s  -i \"" + QFileInfo(path).path() + "/downloadImageFile\"\n");
    QCOMPARE(table(*w)->rowCount(), rows);
    QCOMPARE(lastPath(), path);
}

void tst_SingleWindow::pageFeatures_data()
{
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("tabs");
    const QStringList top{"frame_PC_config", "frame_board_config",    "frame_transfer_mode",
                          "frame_server",    "horizontalLayout_row1", "IP_Box",
                          "RefreshButton"};
    const QStringList all{"Burn by USB", "Burn eMMC", "Burn NAND"};
    QTest::newRow("none") << QString() << QStringList() << (top + QStringList{"frame_table_list"}) << all;
    QTest::newRow("lower case") << "only_burn" << QStringList() << top << all;
    QTest::newRow("Only_Burn") << "Only_Burn" << top << QStringList{"frame_table_list", "tab_2"} << all;
    QTest::newRow("Only_Burn_USB") << "Only_Burn_USB" << (top + QStringList{"tab_2", "tab_3", "tableView"})
                                   << QStringList{"tab", "myTable", "downloadButton"}
                                   << QStringList{"Burn by USB"};
    QTest::newRow("Only_Burn_Emmc") << "Only_Burn_Emmc" << (top + QStringList{"tab", "tab_3", "myTable"})
                                    << QStringList{"tab_2", "pushButton_7", "statusText"}
                                    << QStringList{"Burn eMMC"};
    QTest::newRow("Only_Burn_NAND") << "Only_Burn_NAND"
                                    << (top + QStringList{"tab", "tab_2", "downloadButton"})
                                    << QStringList{"tab_3", "tableView_2"} << QStringList{"Burn NAND"};
    QTest::newRow("Only_TFTP") << "Only_TFTP" << QStringList{"frame_table_list", "burningOptionTabWidget",
                                                             "downloadButton",   "StopButton",
                                                             "statusText",       "myTable"}
                               << QStringList{"frame_server", "RefreshButton"} << QStringList();
}

void tst_SingleWindow::pageFeatures()
{
    QFETCH(QString, feature);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, tabs);
    write(QStringLiteral("config/Board_config.ini"),
          "[Burn_Type]\nBurn_Page_Feature=" + feature.toUtf8() + "\n");
    write(QStringLiteral("p.xml"), partitions(2));
    m_nextChoice = QDir::current().filePath(QStringLiteral("p.xml"));
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), m_nextChoice);
    auto w = makeWindow();
    for (const QString &name : gone)
        QVERIFY2(!w->findChild<QObject *>(name), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(w->findChild<QObject *>(name), qPrintable(name));
    if (auto *tabWidget = w->findChild<QTabWidget *>("burningOptionTabWidget")) {
        QStringList titles;
        for (int i = 0; i < tabWidget->count(); ++i)
            titles << tabWidget->tabText(i);
        QCOMPARE(titles, tabs);
    }
    // What remains still lays out and shows, and the slots find no destroyed widget.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "browseConfigDir"));
    QVERIFY(w->state().downloadCommand.endsWith(QStringLiteral("downloadImageFile\"\n")));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "on_RefreshButton_clicked"));
}

void tst_SingleWindow::refreshListsIpv4Once()
{
    auto w = makeWindow();
    auto *box = w->findChild<QComboBox *>("IP_Box");
    QStringList first;
    for (int click = 0; click < 2; ++click) {
        QTest::mouseClick(w->findChild<QPushButton *>("RefreshButton"), Qt::LeftButton);
        QStringList items;
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        QCOMPARE(items, click == 0 ? (first = items) : first); // listed once, not again
    }
    QVERIFY2(first.contains(QStringLiteral("127.0.0.1")), qPrintable(first.join(' ')));
    for (const QString &address : first)
        QVERIFY2(QHostAddress(address).protocol() == QAbstractSocket::IPv4Protocol && address != "0.0.0.0",
                 qPrintable(address));
    QCOMPARE(w->state().selectedHostAddress, QHostAddress(first.first()));
    box->clear(); // nothing selected: the address becomes null
    QVERIFY(w->state().selectedHostAddress.isNull());
}

void tst_SingleWindow::modeSelectionOpensTheChosenWindow_data()
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

void tst_SingleWindow::modeSelectionOpensTheChosenWindow()
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
    QWidgetList visibleAfter;
    QTimer stillRunning; // ends the loop unless it has already ended
    stillRunning.setSingleShot(true);
    connect(&stillRunning, &QTimer::timeout, qApp, [&visibleAfter] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->isVisible())
                visibleAfter << w;
        QCoreApplication::exit(42);
    });
    stillRunning.start(300);
    QCOMPARE(QApplication::exec(), className.isEmpty() ? 0 : 42);
    QWidget *burning = window.burningWindow();
    QCOMPARE(burning ? QString::fromLatin1(burning->metaObject()->className()) : QString(), className);
    if (!burning)
        return;
    QCOMPARE(visibleAfter, QWidgetList{burning});
    // Closing the burning window afterwards ends the application as usual.
    QTimer::singleShot(0, burning, [burning] { burning->close(); });
    stillRunning.start(3000);
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(tst_SingleWindow)
#include "tst_singlewindow.moc"
