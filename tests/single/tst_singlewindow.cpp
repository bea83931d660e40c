#include "common/boardconfig.h"
#include "quorDownload/quorDownloadToolUI.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

// The single-board window: construction, the description file and its table,
// the derived paths and command line, the page features and the address list.
// Runs in a temporary working folder with its own user settings.
class tst_SingleWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void freshWindow();
    void browseFillsTableAndCommand();
    void laterFilesReplaceOrKeepTheTable();
    void rememberedFile_data();
    void rememberedFile();
    void pageFeatures_data();
    void pageFeatures();
    void refreshListsIpv4Once();

private:
    void writeFile(const QString &relativePath, const QByteArray &content);
    static QByteArray partitions(int count);
    std::unique_ptr<quorDownloadToolUI> makeWindow();
    void browse(quorDownloadToolUI &w, const QString &relativePath);
    static QString cell(quorDownloadToolUI &w, int row, int column);
    static QTableWidget *table(quorDownloadToolUI &w) { return w.findChild<QTableWidget *>("myTable"); }
    static QString text(quorDownloadToolUI &w, const char *name)
    {
        return w.findChild<QTextBrowser *>(name)->toPlainText();
    }
    static QString lastPath()
    {
        return BoardConfig::userSettings()->value(QStringLiteral("lastPath")).toString();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    QString m_nextChoice;
    QStringList m_dialogCalls;
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

void tst_SingleWindow::writeFile(const QString &relativePath, const QByteArray &content)
{
    const QString path = QDir::current().filePath(relativePath);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray tst_SingleWindow::partitions(int count)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<partitions>\n";
    for (int i = 0; i < count; ++i)
        xml += "<partition label=\"p" + QByteArray::number(i) + "\" size_in_kb=\"" +
               QByteArray::number(i + 1) + "\" file=\"img" + QByteArray::number(i) +
               ".bin\" type=\"emmc\"/>\n";
    return xml + "</partitions>\n";
}

std::unique_ptr<quorDownloadToolUI> tst_SingleWindow::makeWindow()
{
    return std::make_unique<quorDownloadToolUI>(
        [this](QWidget *parent, const QString &caption, const QString &dir, const QString &filter) {
            m_dialogCalls << caption << dir << filter << QString::number(parent != nullptr);
            return m_nextChoice;
        });
}

void tst_SingleWindow::browse(quorDownloadToolUI &w, const QString &relativePath)
{
    m_nextChoice = relativePath.isEmpty() ? QString() : QDir::current().filePath(relativePath);
    w.findChild<QPushButton *>("configFileButton")->click();
}

QString tst_SingleWindow::cell(quorDownloadToolUI &w, int row, int column)
{
    const QTableWidgetItem *item = table(w)->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

void tst_SingleWindow::freshWindow()
{
    writeFile(QStringLiteral("log_singel.txt"), "old run\n");
    auto w = makeWindow();
    QVERIFY(!QFile::exists(QStringLiteral("log_singel.txt"))); // every window starts a new run log
    QCOMPARE(w->windowTitle(), QStringLiteral("Single Quor Download"));
    QCOMPARE(w->size(), QSize(1455, 821));
    QVERIFY(!w->windowIcon().isNull());
    auto *stop = w->findChild<QPushButton *>("StopButton");
    QVERIFY(!stop->isEnabled());
    QCOMPARE(stop->styleSheet(), QStringLiteral("QPushButton{background-color:red;color:white}"));
    QVERIFY(w->findChild<QPushButton *>("downloadButton")->isEnabled());
    QCOMPARE(w->findChild<QProgressBar *>("downloadProgressBar")->value(), -1); // reset: no value shown

    QTableWidget *t = table(*w);
    QCOMPARE(t->rowCount(), 0);
    QStringList headers;
    for (int c = 0; c < t->columnCount(); ++c)
        headers << t->horizontalHeaderItem(c)->text();
    QCOMPARE(headers, (QStringList{"Select", "Partition Name", "File Name", "Device Type", "Length(kb)"}));
    QCOMPARE(t->horizontalHeader()->sectionResizeMode(4), QHeaderView::Stretch);
    QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(w->state().configFilePath, QStringLiteral(" "));
    QCOMPARE(w->state().configFileName, QStringLiteral(" "));
    QVERIFY(!QFileInfo::exists(QStringLiteral("config/Board_config.ini"))); // never written
}

void tst_SingleWindow::browseFillsTableAndCommand()
{
    writeFile(QStringLiteral("config/Board_config.ini"), "[chip]\nchip_type=C x\n[OS]\nOS_type=S\n");
    writeFile(QStringLiteral("img dir/part.xml"),
              "<p><partition label=\"boot\" size_in_kb=\"1024\" file=\"boot.img\" type=\"emmc\"/>"
              "<partition label=\"data\" size_in_kb=\"77\" type=\"nand\"/>"
              "<partition label=\"root\" file=\"\"/><partition label=\"sys\" file=\"sys.img\"/></p>");
    auto w = makeWindow();
    browse(*w, QStringLiteral("img dir/part.xml"));
    QCOMPARE(m_dialogCalls, (QStringList{"Select XML File.", QDir::currentPath(), "XML Files (*.xml)", "1"}));
    QCOMPARE(lastPath(), m_nextChoice);

    const SingleWindowState &s = w->state();
    const QString dir = m_dir->path() + QStringLiteral("/img dir/");
    QCOMPARE(s.configFilePath, m_nextChoice);
    QCOMPARE(s.configFileName, QStringLiteral("part.xml"));
    QCOMPARE(s.configDir, dir);
    QCOMPARE(s.stagingDir, dir + QStringLiteral("downloadImageFile"));
    QCOMPARE(s.downloadCommand,
             QStringLiteral("usb_dl.exe -c C x -s S -i \"") + dir + "downloadImageFile\"\n");
    QCOMPARE(text(*w, "configFileDir"), m_nextChoice);
    QCOMPARE(text(*w, "scriptPath"), QStringLiteral("usb_dl.exe -c C x -s S -i \"") + dir + '"');

    QCOMPARE(s.partitionRowCount, 4);
    QCOMPARE(table(*w)->rowCount(), 4);
    QCOMPARE((QStringList{cell(*w, 0, 1), cell(*w, 0, 2), cell(*w, 0, 3), cell(*w, 0, 4), cell(*w, 1, 2)}),
             (QStringList{"boot", "boot.img", "emmc", "1024", ""}));
    // A row without an image cannot be selected.
    const bool enabled[] = {true, false, false, true};
    for (int row = 0; row < 4; ++row) {
        QCheckBox *box = s.partitionCheckBoxes.at(row);
        QCOMPARE(table(*w)->cellWidget(row, 0), box);
        QCOMPARE(box->isEnabled(), enabled[row]);
        QCOMPARE(box->isChecked(), enabled[row]);
    }
}

void tst_SingleWindow::laterFilesReplaceOrKeepTheTable()
{
    writeFile(QStringLiteral("a/many.xml"), partitions(60));
    writeFile(QStringLiteral("b/two.xml"),
              "<r><partition label=\"x\" file=\"x.img\"/><partition label=\"y\"/></r>");
    writeFile(QStringLiteral("c/bad.xml"), "<r><partition label=\"only\" file=\"o.img\"/><partition label=");
    writeFile(QStringLiteral("none.xml"), "<r><part label=\"x\"/></r>");
    auto w = makeWindow();
    const SingleWindowState &s = w->state();
    // The table grows beyond fifty rows, a check box in each.
    browse(*w, QStringLiteral("a/many.xml"));
    QCOMPARE(table(*w)->rowCount(), 60);
    QCOMPARE(cell(*w, 59, 1), QStringLiteral("p59"));
    QCOMPARE(table(*w)->cellWidget(59, 0), s.partitionCheckBoxes.at(59));
    QPointer<QCheckBox> last = s.partitionCheckBoxes.at(59);
    s.partitionCheckBoxes.at(0)->setChecked(false);

    // Fewer rows: the list is emptied first, the boxes are fresh, dropped rows' boxes go.
    browse(*w, QStringLiteral("b/two.xml"));
    QCOMPARE(s.partitionList.size(), 2);
    QCOMPARE(s.partitionRowCount, 2);
    QCOMPARE(table(*w)->rowCount(), 2);
    QCOMPARE(cell(*w, 1, 1), QStringLiteral("y"));
    QVERIFY(s.partitionCheckBoxes.at(0)->isChecked());
    QVERIFY(!s.partitionCheckBoxes.at(1)->isEnabled());
    QTRY_VERIFY(last.isNull());

    // Malformed: the entries before the error are kept, the table is not
    // refilled, and the paths and command still follow the chosen file.
    browse(*w, QStringLiteral("c/bad.xml"));
    QCOMPARE(s.partitionList.size(), 1);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("x"));
    QCOMPARE(s.stagingDir, m_dir->path() + QStringLiteral("/c/downloadImageFile"));
    QVERIFY(text(*w, "scriptPath").endsWith(QStringLiteral("/c/\"")));
    // Missing: the table stays too.
    browse(*w, QStringLiteral("gone.xml"));
    QCOMPARE(table(*w)->rowCount(), 2);
    QCOMPARE(s.partitionRowCount, 2);
    // No partition at all: the count drops to 0, the old rows stay.
    browse(*w, QStringLiteral("none.xml"));
    QCOMPARE(s.partitionRowCount, 0);
    QCOMPARE(table(*w)->rowCount(), 2);

    // Cancelled: empty paths, remembered as empty.
    browse(*w, QString());
    QCOMPARE(s.configFilePath, QString());
    QCOMPARE(s.stagingDir, QStringLiteral("downloadImageFile"));
    QCOMPARE(s.downloadCommand, QStringLiteral("usb_dl.exe -c  -s  -i \"downloadImageFile\"\n"));
    QCOMPARE(text(*w, "scriptPath"), QStringLiteral("usb_dl.exe -c  -s  -i \"\""));
    QVERIFY(BoardConfig::userSettings()->contains(QStringLiteral("lastPath")));
    QCOMPARE(lastPath(), QString());
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
        writeFile(relativePath, partitions(rows));
    const QString path = QDir::current().filePath(relativePath);
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), path);
    auto w = makeWindow();
    QVERIFY(m_dialogCalls.isEmpty());
    const QString dir = QFileInfo(path).path() + QLatin1Char('/');
    QCOMPARE(w->state().configFilePath, path);
    QCOMPARE(w->state().configFileName, QFileInfo(path).fileName());
    QCOMPARE(text(*w, "configFileDir"), path);
    QCOMPARE(w->state().downloadCommand,
             QStringLiteral("usb_dl.exe -c  -s  -i \"") + dir + "downloadImageFile\"\n");
    QCOMPARE(w->state().partitionRowCount, rows);
    QCOMPARE(table(*w)->rowCount(), rows);
    QCOMPARE(lastPath(), path); // kept for a later start, not rewritten
}

void tst_SingleWindow::pageFeatures_data()
{
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("tabs");
    QTest::addColumn<QSize>("size");
    const QStringList top{"frame_PC_config", "frame_board_config",    "frame_transfer_mode",
                          "frame_server",    "horizontalLayout_row1", "IP_Box",
                          "RefreshButton"};
    const QStringList all{"Burn by USB", "Burn eMMC", "Burn NAND"};
    const QSize full(1455, 821), small(1350, 600);
    QTest::newRow("none") << QString() << QStringList()
                          << (top + QStringList{"frame_table_list", "frame_status"}) << all << full;
    QTest::newRow("lower case") << "only_burn" << QStringList() << top << all << full;
    QTest::newRow("Only_Burn") << "Only_Burn" << top
                               << QStringList{"frame_table_list", "frame_status", "tab_2"} << all << full;
    QTest::newRow("Only_Burn_USB") << "Only_Burn_USB" << (top + QStringList{"tab_2", "tab_3", "tableView"})
                                   << QStringList{"tab", "myTable", "downloadButton", "statusText"}
                                   << QStringList{"Burn by USB"} << full;
    QTest::newRow("Only_Burn_Emmc") << "Only_Burn_Emmc"
                                    << (top + QStringList{"tab", "tab_3", "myTable", "downloadButton"})
                                    << QStringList{"tab_2", "pushButton_7", "statusText"}
                                    << QStringList{"Burn eMMC"} << small;
    QTest::newRow("Only_Burn_NAND") << "Only_Burn_NAND"
                                    << (top + QStringList{"tab", "tab_2", "downloadButton"})
                                    << QStringList{"tab_3", "tableView_2", "frame_status"}
                                    << QStringList{"Burn NAND"} << small;
    QTest::newRow("Only_TFTP") << "Only_TFTP"
                               << QStringList{"frame_table_list", "frame_status", "burningOptionTabWidget",
                                              "downloadButton",   "StopButton",   "statusText",
                                              "myTable"}
                               << QStringList{"frame_PC_config", "frame_server", "RefreshButton",
                                              "pushButton_5"}
                               << QStringList() << QSize();
}

void tst_SingleWindow::pageFeatures()
{
    QFETCH(QString, feature);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, tabs);
    QFETCH(QSize, size);
    // Burn_Type absent from the section: the page feature still applies.
    writeFile(QStringLiteral("config/Board_config.ini"),
              "[Burn_Type]\nBurn_Page_Feature=" + feature.toUtf8() + "\n");
    writeFile(QStringLiteral("p.xml"), partitions(2));
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"),
                                          QDir::current().filePath(QStringLiteral("p.xml")));

    auto w = makeWindow();
    QCOMPARE(w->state().burnPageFeature, feature);
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
    if (size.isValid()) {
        QCOMPARE(w->size(), size);
    } else {
        QCOMPARE(w->width(), 1350);
        QCOMPARE(w->minimumHeight(), 0);
        QVERIFY(w->height() < 821);
    }
    // What remains still lays out and shows, and the slots find no destroyed widget.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    m_nextChoice = QDir::current().filePath(QStringLiteral("p.xml"));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "browseConfigDir"));
    QVERIFY(w->state().downloadCommand.endsWith(QStringLiteral("downloadImageFile\"\n")));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "on_RefreshButton_clicked"));
}

void tst_SingleWindow::refreshListsIpv4Once()
{
    auto w = makeWindow();
    auto *box = w->findChild<QComboBox *>("IP_Box");
    auto items = [box] {
        QStringList texts;
        for (int i = 0; i < box->count(); ++i)
            texts << box->itemText(i);
        return texts;
    };
    QTest::mouseClick(w->findChild<QPushButton *>("RefreshButton"), Qt::LeftButton);
    const QStringList first = items();
    QVERIFY2(first.contains(QStringLiteral("127.0.0.1")), qPrintable(first.join(' '))); // loopback included
    for (const QString &text : first)
        QVERIFY2(QHostAddress(text).protocol() == QAbstractSocket::IPv4Protocol && text != "0.0.0.0",
                 qPrintable(text));
    QCOMPARE(w->state().selectedIpText, first.first());
    QCOMPARE(w->state().selectedHostAddress, QHostAddress(first.first()));

    QTest::mouseClick(w->findChild<QPushButton *>("RefreshButton"), Qt::LeftButton);
    QCOMPARE(items(), first);
    // Clearing the box selects nothing: the address becomes null.
    box->clear();
    QCOMPARE(w->state().selectedIpText, QString());
    QVERIFY(w->state().selectedHostAddress.isNull());
}

QTEST_MAIN(tst_SingleWindow)
#include "tst_singlewindow.moc"
