#include "quorDownload/quorDownloadToolUI.h"

#include "common/boardconfig.h"
#include "common/toollaunch.h"
#include "common/toolprocess.h"
#include "platform/fileops.h"
#include "quorDownload/descriptionpaths.h"
#include "quorDownload/prompter.h"
#include "quorDownload/runlog.h"
#include "quorDownload/singleboardrun.h"
#include "quorDownload/singlelogging.h"
#include "records/recordslogging.h"
#include "records/recordwriter.h"
#include "resources/windowicon.h"
#include "ui_quorDownloadToolUI.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QProcess>
#include <QSettings>
#include <QTableWidget>

namespace {

QString openFileDialog(QWidget *parent, const QString &caption, const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

} // namespace

quorDownloadToolUI::quorDownloadToolUI(QWidget *parent) : quorDownloadToolUI(&openFileDialog, parent) {}

quorDownloadToolUI::quorDownloadToolUI(FileChooser chooseFile, QWidget *parent)
    : quorDownloadToolUI(std::move(chooseFile), nullptr, parent)
{
}

quorDownloadToolUI::quorDownloadToolUI(FileChooser chooseFile, std::shared_ptr<Prompter> prompter,
                                       QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::quorDownloadToolUIClass>()),
      m_chooseFile(std::move(chooseFile))
{
    // The window's style sheet before its widgets: set afterwards, it would
    // restyle and polish every widget made so far a second time.
    setStyleSheet(QStringLiteral("QMainWindow::titleBar { height: 30px; }"));
    ui->setupUi(this);
    m_table = ui->myTable;
    m_configFileDir = ui->configFileDir;
    m_scriptPath = ui->scriptPath;
    m_ipBox = ui->IP_Box;

    // Every new window starts a new run log.
    QFile::remove(QDir::currentPath() + QLatin1Char('/') + QLatin1String(RunLog::kFileName));

    const BoardConfig::ChipAndOs board = BoardConfig::readChipAndOs();
    m_state.chipType = board.chipType;
    m_state.osType = board.osType;

    connect(ui->configFileButton, SIGNAL(clicked()), this, SLOT(browseConfigDir()));
    setUpPartitionTable();
    setUpProcess();
    connect(ui->downloadButton, SIGNAL(clicked()), this, SLOT(pyDownload()));
    setUpWidgets();
    connect(ui->IP_Box, SIGNAL(currentIndexChanged(QString)), this, SLOT(showScriptInfo(QString)));
    adoptRememberedFile();

    m_state.burnPageFeature =
        BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Page_Feature"));
    applyPageFeature();

    // Created after the page feature, so destroyed widgets reach the run as null.
    createRun(std::move(prompter));
    setUpRecords();
}

void quorDownloadToolUI::setUpProcess()
{
    downloadProcess = new ToolProcess(this);
    downloadProcess->setWorkingDirectory(ToolLaunch::toolDir());
    downloadProcess->setProcessChannelMode(QProcess::MergedChannels);
}

void quorDownloadToolUI::setUpWidgets()
{
    ui->downloadProgressBar->reset();

    setWindowTitle(tr("Single Quor Download"));
    setWindowIcon(WindowIcon::logo());

    ui->StopButton->setEnabled(false);
    ui->StopButton->setStyleSheet(QStringLiteral("QPushButton{background-color:red;color:white}"));
}

// The remembered file is adopted as it is: not tested for existence and not
// written back, and the partition list is not emptied first.
void quorDownloadToolUI::adoptRememberedFile()
{
    const QString lastPath =
        BoardConfig::userSettings()->value(QLatin1String(BoardConfig::kLastPathKey)).toString();
    if (lastPath.isEmpty())
        return;
    ui->configFileDir->setText(lastPath);
    adoptDescriptionFile(lastPath);
}

void quorDownloadToolUI::createRun(std::shared_ptr<Prompter> prompter)
{
    SingleRunWidgets widgets;
    widgets.downloadButton = findChild<QPushButton *>(QStringLiteral("downloadButton"));
    widgets.stopButton = findChild<QPushButton *>(QStringLiteral("StopButton"));
    widgets.progressBar = findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"));
    widgets.statusPicture = findChild<QLabel *>(QStringLiteral("label_18"));
    widgets.statusText = findChild<QPlainTextEdit *>(QStringLiteral("statusText"));
    m_run = new SingleBoardRun(
        widgets, downloadProcess, [this] { return runInputs(); }, this, std::move(prompter));
}

// What a run reads from the window when it starts.
SingleRunInputs quorDownloadToolUI::runInputs() const
{
    SingleRunInputs in;
    in.configFilePath = m_state.configFilePath;
    in.configFileName = m_state.configFileName;
    in.configDir = m_state.configDir;
    in.stagingDir = m_state.stagingDir;
    in.downloadCommand = m_state.downloadCommand;
    in.toolArguments = ToolLaunch::downloadArguments(m_state.chipType, m_state.osType, m_state.stagingDir);
    in.identity.bench = m_benchName;
    in.identity.window = QStringLiteral("single");
    in.identity.slot = 1;
    in.identity.source = m_state.configFilePath;
    in.identity.chip = m_state.chipType;
    in.identity.os = m_state.osType;
    // Hashed only as a regular file: a FIFO put in its place must not block the window.
    QFile description;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (FileOps::openRegularFile(description, m_state.configFilePath, QIODevice::ReadOnly) &&
        hash.addData(&description))
        in.identity.sha256 = QString::fromLatin1(hash.result().toHex());
    for (int row = 0; row < m_state.partitionRowCount; ++row) {
        PartitionRowChoice choice;
        if (m_table) {
            if (const QTableWidgetItem *item = m_table->item(row, 2))
                choice.fileName = item->text();
        }
        const QCheckBox *box =
            row < m_state.partitionCheckBoxes.size() ? m_state.partitionCheckBoxes.at(row).data() : nullptr;
        choice.hasCheckBox = box != nullptr;
        choice.checked = box && box->isChecked();
        in.rows.append(choice);
    }
    return in;
}

void quorDownloadToolUI::setUpRecords()
{
    m_benchName = Records::benchName();
    m_runRecordLabel = findChild<QLabel *>(QStringLiteral("runRecordLabel"));
    m_records = new RecordWriter(RecordWriter::Settings::forWindow(QStringLiteral("single"), m_benchName,
                                                                   BoardConfig::recordsDatabase()),
                                 this);
    connect(m_run, &SingleBoardRun::runEnded, this, [this](const Records::BoardRecord &record) {
        m_lastResult = Records::resultName(record.result);
        m_records->submit(record);
        showRunRecord();
    });
    connect(m_records, &RecordWriter::stored, this, [this](int count) {
        m_dayCount = count;
        showRunRecord();
    });
    connect(m_records, &RecordWriter::dayCount, this, [this](int count) {
        m_dayCount = count;
        showRunRecord();
    });
    connect(m_records, &RecordWriter::failed, this,
            [](const QString &message) { qCWarning(lcRecords).noquote() << "records:" << message; });
    connect(m_records, &RecordWriter::keepingChanged, this, [this](const QString &reason, int waiting) {
        m_notKeptLine = RecordWriter::notKeptLine(reason, waiting);
        showRunRecord();
    });
    connect(m_records, &RecordWriter::fleetProblem, this, [this](const QString &problem) {
        const bool setting =
            problem != QLatin1String("not reachable") && problem != QLatin1String("login refused");
        m_settingLine = setting && !problem.isEmpty() ? tr("Records stay in records.sqlite: %1.").arg(problem)
                                                      : QString();
        showRunRecord();
    });
    m_records->requestDayCount();
}

void quorDownloadToolUI::showRunRecord()
{
    if (!m_runRecordLabel)
        return;
    QStringList parts;
    if (!m_lastResult.isEmpty())
        parts.append(tr("Last: %1").arg(m_lastResult));
    if (m_dayCount >= 0)
        parts.append(tr("Today: %n board(s)", nullptr, m_dayCount));
    QString text = parts.join(QStringLiteral("   "));
    // A second line while records cannot be written (or the fleet setting is refused).
    for (const QString &line : {m_notKeptLine, m_settingLine}) {
        if (!line.isEmpty())
            text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + line;
    }
    m_runRecordLabel->setText(text);
}

quorDownloadToolUI::~quorDownloadToolUI() = default;

void quorDownloadToolUI::closeEvent(QCloseEvent *event)
{
    m_run->killLoop();
    event->accept();
}

void quorDownloadToolUI::setUpPartitionTable()
{
    QTableWidget *table = ui->myTable;
    table->setColumnCount(5);
    table->setHorizontalHeaderLabels(
        {tr("Select"), tr("Partition Name"), tr("File Name"), tr("Device Type"), tr("Length(kb)")});
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:white;color: black;}"));
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void quorDownloadToolUI::browseConfigDir()
{
    m_state.partitionList.clear();
    const QString path =
        m_chooseFile(this, tr("Select XML File."), QDir::currentPath(), tr("XML Files (*.xml)"));
    if (m_configFileDir)
        m_configFileDir->setText(path);
    BoardConfig::userSettings()->setValue(QLatin1String(BoardConfig::kLastPathKey), path);
    adoptDescriptionFile(path);
}

void quorDownloadToolUI::adoptDescriptionFile(const QString &path)
{
    const DescriptionPaths::Paths paths = DescriptionPaths::derive(path);
    m_state.configFilePath = paths.configFilePath;
    m_state.configFileName = paths.configFileName;
    m_state.configDir = paths.configDir;
    parsePartitionFile();
    m_state.stagingDir = paths.stagingDir;
    showScriptInfo();
}

void quorDownloadToolUI::parsePartitionFile()
{
    const PartitionReadResult result = PartitionFile::read(m_state.configFilePath, m_state.partitionList);
    switch (result.status) {
    case PartitionReadResult::OpenFailed:
        qCDebug(lcSingle) << "Failed to open XML file:" << result.errorString;
        return;
    case PartitionReadResult::ParseError:
        qCDebug(lcSingle) << "XML Parsing Error:" << result.errorString;
        return;
    case PartitionReadResult::Ok:
        break;
    }
    fillPartitionTable();
}

void quorDownloadToolUI::fillPartitionTable()
{
    if (!m_table)
        return;
    const QVector<PartitionEntry> &list = m_state.partitionList;
    // The table grows with the file; the check-box index grows with it.
    if (m_state.partitionCheckBoxes.size() < list.size())
        m_state.partitionCheckBoxes.resize(list.size());
    for (int i = 0; i < list.size(); ++i) {
        const PartitionEntry &entry = list.at(i);
        auto box = std::make_unique<QCheckBox>();
        box->setChecked(true);
        m_state.partitionCheckBoxes[i] = box.get();
        m_table->setRowCount(i + 1);
        m_table->setCellWidget(i, 0, box.release()); // the table owns it now
        const QString texts[] = {entry.label, entry.file, entry.type, entry.size_in_kb};
        for (int column = 1; column <= 4; ++column) {
            const QString &text = texts[column - 1];
            if (column == 2 && text.isEmpty()) {
                // No image: the row cannot be selected.
                m_state.partitionCheckBoxes[i]->setEnabled(false);
                m_state.partitionCheckBoxes[i]->setChecked(false);
            }
            m_table->setItem(i, column, new QTableWidgetItem(text));
        }
    }
    m_state.partitionRowCount = list.size();
}

void quorDownloadToolUI::showScriptInfo()
{
    const DescriptionPaths::ScriptInfo info =
        DescriptionPaths::scriptInfo(m_state.chipType, m_state.osType, m_state.configDir, m_state.stagingDir);
    qCDebug(lcSingle) << m_state.configDir + QLatin1String("!!!!!!!!!!!!!!!!!!!");
    m_state.downloadCommand = info.downloadCommand;
    qCDebug(lcSingle) << m_state.downloadCommand;
    if (m_scriptPath)
        m_scriptPath->setText(info.shownText);
}

void quorDownloadToolUI::showScriptInfo(QString text)
{
    m_state.selectedIpText = text;
    qCDebug(lcSingle) << m_state.selectedIpText;
    m_state.selectedHostAddress = QHostAddress(m_state.selectedIpText);
}

void quorDownloadToolUI::on_RefreshButton_clicked()
{
    if (!m_ipBox)
        return;
    m_ipBox->clear();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            bool isIpv4 = false;
            const quint32 value = entry.ip().toIPv4Address(&isIpv4);
            if (isIpv4 && value != 0)
                m_ipBox->addItem(QHostAddress(value).toString()); // dotted decimal
        }
    }
}

void quorDownloadToolUI::pyDownload()
{
    m_run->pyDownload();
}

void quorDownloadToolUI::on_StopButton_clicked()
{
    m_run->stop();
}

// Page features: parts of the window are destroyed (not hidden) once, at the
// end of construction. Deleting a frame takes it out of its layout and
// deleting a page takes it out of the tab widget.
void quorDownloadToolUI::applyPageFeature()
{
    const QString &feature = m_state.burnPageFeature;
    if (feature == QLatin1String("Only_Burn"))
        applyOnlyBurn();
    else if (feature == QLatin1String("Only_Burn_USB"))
        applyOnlyBurnUsb();
    else if (feature == QLatin1String("Only_Burn_Emmc"))
        applyOnlyBurnEmmc();
    else if (feature == QLatin1String("Only_Burn_NAND"))
        applyOnlyBurnNand();
    else if (feature == QLatin1String("Only_TFTP"))
        applyOnlyTftp();
}

void quorDownloadToolUI::removeTopRows()
{
    delete ui->horizontalLayout_row1;
    delete ui->frame_PC_config;
    delete ui->frame_board_config;
    delete ui->frame_transfer_mode;
    delete ui->frame_server;
}

void quorDownloadToolUI::applyOnlyBurn()
{
    removeTopRows();
}

void quorDownloadToolUI::applyOnlyBurnUsb()
{
    removeTopRows();
    delete ui->tab_2;
    delete ui->tab_3;
}

void quorDownloadToolUI::applyOnlyBurnEmmc()
{
    removeTopRows();
    delete ui->tab;
    delete ui->tab_3;
    resize(1350, 600);
}

void quorDownloadToolUI::applyOnlyBurnNand()
{
    removeTopRows();
    delete ui->tab;
    delete ui->tab_2;
    resize(1350, 600);
}

void quorDownloadToolUI::applyOnlyTftp()
{
    delete ui->frame_table_list;
    delete ui->frame_status;
    setMinimumHeight(0);
    resize(1350, 10);
}
