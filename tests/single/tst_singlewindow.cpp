#include "common/boardconfig.h"
#include "quorDownload/quorDownloadToolUI.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
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
    void browseTwoFilesFewerRowsSecond();
    void badFilesKeepTheTable();
    void cancelledDialog();
    void growsBeyondFiftyRows();
    void growsBeyondFiftyRows_data();
    void rememberedFile();
    void rememberedFileMissing();
    void commandWithBoardConfig();
    void pageFeatures();
    void pageFeatures_data();
    void pageFeatureLeavesSlotsSafe();
    void refreshListsIpv4Once();

private:
    void writeBoardConfig(const QByteArray &content);
    QString writeXml(const QString &relativePath, const QByteArray &content);
    static QByteArray partitions(int count);
    std::unique_ptr<quorDownloadToolUI> makeWindow();
    static QString cell(quorDownloadToolUI &w, int row, int column);
    static QTableWidget *table(quorDownloadToolUI &w) { return w.findChild<QTableWidget *>("myTable"); }
    static QString lastPath();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    QString m_nextChoice;
    QStringList m_dialogCalls;
    QWidget *m_dialogParent = nullptr;
};

void tst_SingleWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QVERIFY(QDir().mkpath(QStringLiteral("settings")));
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

void tst_SingleWindow::writeBoardConfig(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QStringLiteral("config")));
    QFile f(QStringLiteral("config/Board_config.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QString tst_SingleWindow::writeXml(const QString &relativePath, const QByteArray &content)
{
    const QString path = QDir::current().filePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(content);
    return path;
}

QByteArray tst_SingleWindow::partitions(int count)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<partitions>\n";
    for (int i = 0; i < count; ++i)
        xml += "  <partition label=\"p" + QByteArray::number(i) + "\" size_in_kb=\"" +
               QByteArray::number(i + 1) + "\" file=\"img" + QByteArray::number(i) +
               ".bin\" type=\"emmc\"/>\n";
    return xml + "</partitions>\n";
}

std::unique_ptr<quorDownloadToolUI> tst_SingleWindow::makeWindow()
{
    return std::make_unique<quorDownloadToolUI>(
        [this](QWidget *parent, const QString &caption, const QString &dir, const QString &filter) {
            m_dialogCalls << caption << dir << filter;
            m_dialogParent = parent;
            return m_nextChoice;
        });
}

QString tst_SingleWindow::cell(quorDownloadToolUI &w, int row, int column)
{
    const QTableWidgetItem *item = table(w)->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

QString tst_SingleWindow::lastPath()
{
    return BoardConfig::userSettings()->value(QStringLiteral("lastPath")).toString();
}

void tst_SingleWindow::freshWindow()
{
    QFile log(QStringLiteral("log_singel.txt"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("old run\n");
    log.close();

    auto w = makeWindow();
    QVERIFY(!QFile::exists(QStringLiteral("log_singel.txt")));
    QCOMPARE(w->objectName(), QStringLiteral("quorDownloadToolUIClass"));
    QCOMPARE(w->windowTitle(), QStringLiteral("Single Quor Download"));
    QCOMPARE(w->size(), QSize(1455, 821));
    QVERIFY(!w->windowIcon().isNull());

    auto *stop = w->findChild<QPushButton *>("StopButton");
    QVERIFY(stop);
    QVERIFY(!stop->isEnabled());
    QCOMPARE(stop->styleSheet(), QStringLiteral("QPushButton{background-color:red;color:white}"));
    QVERIFY(w->findChild<QPushButton *>("downloadButton")->isEnabled());
    QCOMPARE(w->findChild<QProgressBar *>("downloadProgressBar")->value(), -1); // reset: no value shown

    QTableWidget *t = table(*w);
    QCOMPARE(t->rowCount(), 0);
    QCOMPARE(t->columnCount(), 5);
    QStringList headers;
    for (int c = 0; c < 5; ++c)
        headers << t->horizontalHeaderItem(c)->text();
    QCOMPARE(headers, (QStringList{"Select", "Partition Name", "File Name", "Device Type", "Length(kb)"}));
    QCOMPARE(t->horizontalHeader()->sectionResizeMode(4), QHeaderView::Stretch);
    QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);

    QCOMPARE(w->findChild<QTextBrowser *>("configFileDir")->toPlainText(), QString());
    QCOMPARE(w->findChild<QTextBrowser *>("scriptPath")->toPlainText(), QString());
    QCOMPARE(w->findChild<QComboBox *>("IP_Box")->count(), 0);
    QCOMPARE(w->findChild<QTabWidget *>("burningOptionTabWidget")->currentIndex(), 0);
    QVERIFY(!w->findChild<QRadioButton *>("radioButton")->isChecked());
    QVERIFY(!w->findChild<QRadioButton *>("radioButton_2")->isChecked());

    const SingleWindowState &s = w->state();
    QCOMPARE(s.configFilePath, QStringLiteral(" "));
    QCOMPARE(s.configFileName, QStringLiteral(" "));
    QCOMPARE(s.downloadCommand, QString());
    QCOMPARE(s.chipType, QString());
    QCOMPARE(s.partitionRowCount, 0);
    QVERIFY(!QFileInfo::exists(QStringLiteral("config/Board_config.ini"))); // never written
}

void tst_SingleWindow::browseFillsTableAndCommand()
{
    const QString path =
        writeXml(QStringLiteral("img dir/part.xml"),
                 "<p><partition label=\"boot\" size_in_kb=\"1024\" file=\"boot.img\" type=\"emmc\"/>"
                 "<partition label=\"data\" size_in_kb=\"77\" type=\"nand\"/>"
                 "<partition label=\"root\" file=\"\"/>"
                 "<partition label=\"sys\" file=\"sys.img\"/></p>");
    auto w = makeWindow();
    m_nextChoice = path;
    QVERIFY(QMetaObject::invokeMethod(w.get(), "browseConfigDir"));

    QCOMPARE(m_dialogCalls, (QStringList{"Select XML File.", QDir::currentPath(), "XML Files (*.xml)"}));
    QCOMPARE(m_dialogParent, w.get());
    QCOMPARE(lastPath(), path);

    const SingleWindowState &s = w->state();
    const QString dir = m_dir->path() + QStringLiteral("/img dir/");
    QCOMPARE(s.configFilePath, path);
    QCOMPARE(s.configFileName, QStringLiteral("part.xml"));
    QCOMPARE(s.configDir, dir);
    QCOMPARE(s.stagingDir, dir + QStringLiteral("downloadImageFile"));
    QCOMPARE(s.downloadCommand, QStringLiteral("usb_dl.exe -c  -s  -i \"") + dir + "downloadImageFile\"\n");
    QCOMPARE(w->findChild<QTextBrowser *>("configFileDir")->toPlainText(), path);
    QCOMPARE(w->findChild<QTextBrowser *>("scriptPath")->toPlainText(),
             QStringLiteral("usb_dl.exe -c  -s  -i \"") + dir + '"');

    QCOMPARE(s.partitionRowCount, 4);
    QCOMPARE(table(*w)->rowCount(), 4);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("boot"));
    QCOMPARE(cell(*w, 0, 2), QStringLiteral("boot.img"));
    QCOMPARE(cell(*w, 0, 3), QStringLiteral("emmc"));
    QCOMPARE(cell(*w, 0, 4), QStringLiteral("1024"));
    QCOMPARE(cell(*w, 1, 2), QString());
    QCOMPARE(cell(*w, 1, 4), QStringLiteral("77"));
    const bool enabled[] = {true, false, false, true};
    for (int row = 0; row < 4; ++row) {
        QCheckBox *box = s.partitionCheckBoxes.at(row);
        QVERIFY(box);
        QCOMPARE(table(*w)->cellWidget(row, 0), box);
        QCOMPARE(box->isEnabled(), enabled[row]);
        QCOMPARE(box->isChecked(), enabled[row]);
    }
}

void tst_SingleWindow::browseTwoFilesFewerRowsSecond()
{
    const QString first = writeXml(QStringLiteral("a/first.xml"), partitions(6));
    const QString second = writeXml(QStringLiteral("b/second.xml"),
                                    "<r><partition label=\"x\" file=\"x.img\"/><partition label=\"y\"/></r>");
    auto w = makeWindow();
    m_nextChoice = first;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    QCOMPARE(table(*w)->rowCount(), 6);
    QPointer<QCheckBox> sixth = w->state().partitionCheckBoxes.at(5);
    w->state().partitionCheckBoxes.at(0)->setChecked(false);

    m_nextChoice = second;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    const SingleWindowState &s = w->state();
    QCOMPARE(s.partitionList.size(), 2); // emptied before the new file
    QCOMPARE(s.partitionRowCount, 2);
    QCOMPARE(table(*w)->rowCount(), 2);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("x"));
    QCOMPARE(cell(*w, 1, 1), QStringLiteral("y"));
    QVERIFY(s.partitionCheckBoxes.at(0)->isChecked()); // a fresh box, not the unchecked one
    QVERIFY(!s.partitionCheckBoxes.at(1)->isEnabled());
    QTRY_VERIFY(sixth.isNull()); // the dropped row's box goes with the row
    QCOMPARE(s.configDir, m_dir->path() + QStringLiteral("/b/"));
}

void tst_SingleWindow::badFilesKeepTheTable()
{
    const QString good = writeXml(QStringLiteral("good.xml"), partitions(3));
    const QString malformed = writeXml(QStringLiteral("sub/bad.xml"),
                                       "<r><partition label=\"only\" file=\"o.img\"/><partition label=");
    const QString none = writeXml(QStringLiteral("none.xml"), "<r><part label=\"x\"/></r>");
    const QString empty = writeXml(QStringLiteral("empty.xml"), "");
    auto w = makeWindow();
    m_nextChoice = good;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    QCOMPARE(table(*w)->rowCount(), 3);

    // Malformed: the entries read before the error are kept, the table is not refilled,
    // and the paths and command still follow the chosen file.
    m_nextChoice = malformed;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    QCOMPARE(w->state().partitionList.size(), 1);
    QCOMPARE(w->state().partitionList.at(0).label, QStringLiteral("only"));
    QCOMPARE(table(*w)->rowCount(), 3);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("p0"));
    QCOMPARE(w->state().stagingDir, m_dir->path() + QStringLiteral("/sub/downloadImageFile"));
    QVERIFY(w->findChild<QTextBrowser *>("scriptPath")->toPlainText().endsWith(QStringLiteral("/sub/\"")));

    for (const QString &path : {empty, QDir::current().filePath(QStringLiteral("gone.xml"))}) {
        m_nextChoice = path;
        QMetaObject::invokeMethod(w.get(), "browseConfigDir");
        QCOMPARE(table(*w)->rowCount(), 3);
        QCOMPARE(w->state().partitionRowCount, 3);
        QCOMPARE(w->state().configFilePath, path);
    }

    // No partition at all: the fill runs, the count drops to 0, old rows stay.
    m_nextChoice = none;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    QCOMPARE(w->state().partitionRowCount, 0);
    QCOMPARE(table(*w)->rowCount(), 3);
}

void tst_SingleWindow::cancelledDialog()
{
    writeBoardConfig("[chip]\nchip_type=C1\n[OS]\nOS_type=S1\n");
    const QString path = writeXml(QStringLiteral("x/part.xml"), partitions(2));
    auto w = makeWindow();
    m_nextChoice = path;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    m_nextChoice.clear();
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");

    const SingleWindowState &s = w->state();
    QCOMPARE(s.configFilePath, QString());
    QCOMPARE(s.configFileName, QString());
    QCOMPARE(s.configDir, QString());
    QCOMPARE(s.stagingDir, QStringLiteral("downloadImageFile"));
    QCOMPARE(s.downloadCommand, QStringLiteral("usb_dl.exe -c C1 -s S1 -i \"downloadImageFile\"\n"));
    QCOMPARE(w->findChild<QTextBrowser *>("configFileDir")->toPlainText(), QString());
    QCOMPARE(w->findChild<QTextBrowser *>("scriptPath")->toPlainText(),
             QStringLiteral("usb_dl.exe -c C1 -s S1 -i \"\""));
    QVERIFY(BoardConfig::userSettings()->contains(QStringLiteral("lastPath")));
    QCOMPARE(lastPath(), QString());
    QCOMPARE(table(*w)->rowCount(), 2); // the file could not be opened: table untouched

    // The next window starts without a file.
    auto next = makeWindow();
    QCOMPARE(next->state().configFilePath, QStringLiteral(" "));
}

void tst_SingleWindow::growsBeyondFiftyRows_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("51") << 51;
    QTest::newRow("500") << 500;
    QTest::newRow("2000") << 2000;
}

void tst_SingleWindow::growsBeyondFiftyRows()
{
    QFETCH(int, count);
    const QString path = writeXml(QStringLiteral("many.xml"), partitions(count));
    auto w = makeWindow();
    m_nextChoice = path;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    const SingleWindowState &s = w->state();
    QCOMPARE(s.partitionRowCount, count);
    QCOMPARE(table(*w)->rowCount(), count);
    QVERIFY(s.partitionCheckBoxes.size() >= count);
    for (int row : {0, 49, 50, count - 1}) {
        QCheckBox *box = s.partitionCheckBoxes.at(row);
        QVERIFY(box);
        QCOMPARE(table(*w)->cellWidget(row, 0), box);
        QVERIFY(box->isChecked());
        QCOMPARE(cell(*w, row, 1), QStringLiteral("p%1").arg(row));
        QCOMPARE(cell(*w, row, 4), QString::number(row + 1));
    }
    // A smaller file afterwards shrinks the table again.
    const QString small = writeXml(QStringLiteral("small.xml"), partitions(2));
    m_nextChoice = small;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    QCOMPARE(table(*w)->rowCount(), 2);
    QTRY_VERIFY(s.partitionCheckBoxes.at(count - 1).isNull());
}

void tst_SingleWindow::rememberedFile()
{
    writeBoardConfig("[chip]\nchip_type=QX9000\n[OS]\nOS_type=linux\n");
    const QString path = writeXml(QStringLiteral("bench/board.xml"), partitions(3));
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), path);

    auto w = makeWindow();
    QVERIFY(m_dialogCalls.isEmpty());
    const QString dir = m_dir->path() + QStringLiteral("/bench/");
    QCOMPARE(w->findChild<QTextBrowser *>("configFileDir")->toPlainText(), path);
    QCOMPARE(w->findChild<QTextBrowser *>("scriptPath")->toPlainText(),
             QStringLiteral("usb_dl.exe -c QX9000 -s linux -i \"") + dir + '"');
    QCOMPARE(w->state().downloadCommand,
             QStringLiteral("usb_dl.exe -c QX9000 -s linux -i \"") + dir + "downloadImageFile\"\n");
    QCOMPARE(w->state().partitionRowCount, 3);
    QCOMPARE(table(*w)->rowCount(), 3);
    QCOMPARE(lastPath(), path);
}

void tst_SingleWindow::rememberedFileMissing()
{
    const QString path = m_dir->path() + QStringLiteral("/gone dir/ボード.xml");
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), path);
    auto w = makeWindow();
    QCOMPARE(w->state().configFilePath, path);
    QCOMPARE(w->state().configFileName, QStringLiteral("ボード.xml"));
    QCOMPARE(w->state().stagingDir, m_dir->path() + QStringLiteral("/gone dir/downloadImageFile"));
    QCOMPARE(table(*w)->rowCount(), 0);
    QCOMPARE(lastPath(), path); // kept for a later start
}

void tst_SingleWindow::commandWithBoardConfig()
{
    writeBoardConfig("[Burn_Type]\nBurn_Type=Single\n[chip]\nchip_type=C x\n[OS]\nOS_type=S\n");
    const QString path = writeXml(QStringLiteral("D/img/part.xml"), partitions(1));
    auto w = makeWindow();
    QCOMPARE(w->state().chipType, QStringLiteral("C x"));
    QCOMPARE(w->state().osType, QStringLiteral("S"));
    m_nextChoice = path;
    QMetaObject::invokeMethod(w.get(), "browseConfigDir");
    const QString dir = m_dir->path() + QStringLiteral("/D/img/");
    QCOMPARE(w->findChild<QTextBrowser *>("scriptPath")->toPlainText(),
             QStringLiteral("usb_dl.exe -c C x -s S -i \"") + dir + '"');
    QCOMPARE(w->state().downloadCommand,
             QStringLiteral("usb_dl.exe -c C x -s S -i \"") + dir + "downloadImageFile\"\n");
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
    QTest::newRow("none") << QString() << QStringList()
                          << (top + QStringList{"frame_table_list", "frame_status"}) << all
                          << QSize(1455, 821);
    QTest::newRow("lower case") << "only_burn" << QStringList() << top << all << QSize(1455, 821);
    QTest::newRow("Only_Burn") << "Only_Burn" << top
                               << QStringList{"frame_table_list", "frame_status", "tab_2"} << all
                               << QSize(1455, 821);
    QTest::newRow("Only_Burn_USB") << "Only_Burn_USB" << (top + QStringList{"tab_2", "tab_3", "tableView"})
                                   << QStringList{"tab", "myTable", "downloadButton", "statusText"}
                                   << QStringList{"Burn by USB"} << QSize(1455, 821);
    QTest::newRow("Only_Burn_Emmc") << "Only_Burn_Emmc"
                                    << (top + QStringList{"tab", "tab_3", "myTable", "downloadButton"})
                                    << QStringList{"tab_2", "pushButton_7", "statusText"}
                                    << QStringList{"Burn eMMC"} << QSize(1350, 600);
    QTest::newRow("Only_Burn_NAND") << "Only_Burn_NAND"
                                    << (top + QStringList{"tab", "tab_2", "downloadButton"})
                                    << QStringList{"tab_3", "tableView_2", "frame_status"}
                                    << QStringList{"Burn NAND"} << QSize(1350, 600);
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
    writeBoardConfig("[Burn_Type]\nBurn_Page_Feature=" + feature.toUtf8() + "\n");
    const QString path = writeXml(QStringLiteral("p.xml"), partitions(2));
    BoardConfig::userSettings()->setValue(QStringLiteral("lastPath"), path);

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
    // What remains still lays out and shows.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
}

void tst_SingleWindow::pageFeatureLeavesSlotsSafe()
{
    writeBoardConfig("[Burn_Type]\nBurn_Page_Feature=Only_TFTP\n");
    const QString path = writeXml(QStringLiteral("p.xml"), partitions(2));
    auto w = makeWindow();
    // The table and its fields are gone; choosing a file still derives the paths.
    m_nextChoice = path;
    QVERIFY(QMetaObject::invokeMethod(w.get(), "browseConfigDir"));
    QCOMPARE(w->state().configFileName, QStringLiteral("p.xml"));
    QVERIFY(w->state().downloadCommand.endsWith(QStringLiteral("downloadImageFile\"\n")));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "on_RefreshButton_clicked"));
    QVERIFY(w->findChild<QComboBox *>("IP_Box")->count() > 0);
}

void tst_SingleWindow::refreshListsIpv4Once()
{
    auto w = makeWindow();
    auto *box = w->findChild<QComboBox *>("IP_Box");
    auto *refresh = w->findChild<QPushButton *>("RefreshButton");
    QTest::mouseClick(refresh, Qt::LeftButton);
    QStringList first;
    for (int i = 0; i < box->count(); ++i)
        first << box->itemText(i);
    QVERIFY2(first.contains(QStringLiteral("127.0.0.1")), qPrintable(first.join(' '))); // loopback included
    for (const QString &text : first) {
        bool ok = false;
        QHostAddress address(text);
        address.toIPv4Address(&ok);
        QVERIFY2(ok && text.count('.') == 3 && !text.contains(':'), qPrintable(text));
        QVERIFY(text != QStringLiteral("0.0.0.0"));
    }
    QCOMPARE(w->state().selectedIpText, first.first());
    QCOMPARE(w->state().selectedHostAddress, QHostAddress(first.first()));

    QTest::mouseClick(refresh, Qt::LeftButton);
    QStringList second;
    for (int i = 0; i < box->count(); ++i)
        second << box->itemText(i);
    QCOMPARE(second, first);

    // Clearing the box selects nothing: the address becomes null.
    box->clear();
    QCOMPARE(w->state().selectedIpText, QString());
    QVERIFY(w->state().selectedHostAddress.isNull());
}

QTEST_MAIN(tst_SingleWindow)
#include "tst_singlewindow.moc"
