#pragma once

#include "quorDownload/partitionfile.h"

#include <QHostAddress>
#include <QMainWindow>
#include <QPointer>
#include <QVector>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class RecordWriter;
class QCloseEvent;
class QComboBox;
class QProcess;
class QTableWidget;
class QTextBrowser;
class Prompter;
class SingleBoardRun;
struct SingleRunInputs;
namespace Ui {
class quorDownloadToolUIClass;
}

// State of the single-board window that the other pieces read: the board
// settings, the chosen description file with the paths derived from it, the
// command line for the tool and the partition table's contents.
struct SingleWindowState
{
    QString chipType;
    QString osType;
    QString burnPageFeature;
    QString configFilePath = QStringLiteral(" "); // a single blank: no file chosen yet
    QString configFileName = QStringLiteral(" ");
    QString configDir;
    QString stagingDir;
    QString downloadCommand;
    QString selectedIpText;
    QHostAddress selectedHostAddress;
    QVector<PartitionEntry> partitionList;
    // One check box per table row; grows with the table. QPointer because the
    // table deletes a row's check box when the row goes away.
    QVector<QPointer<QCheckBox>> partitionCheckBoxes;
    int partitionRowCount = 0;
};

// The main window of single-board burning: the partition description file and
// its table, the command line shown and sent, the page features of
// Board_config.ini and the local address list. The download run itself lives
// in SingleBoardRun, which this window owns and forwards to.
class quorDownloadToolUI final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(quorDownloadToolUI)
public:
    // Same shape as QFileDialog::getOpenFileName; tests pass a scripted one.
    using FileChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                                              const QString &filter)>;

    explicit quorDownloadToolUI(QWidget *parent = nullptr);
    explicit quorDownloadToolUI(FileChooser chooseFile, QWidget *parent = nullptr);
    // prompter: asked instead of message boxes (tests).
    quorDownloadToolUI(FileChooser chooseFile, std::shared_ptr<Prompter> prompter, QWidget *parent = nullptr);
    ~quorDownloadToolUI() override;

    const SingleWindowState &state() const { return m_state; }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void browseConfigDir();
    void pyDownload();
    void showScriptInfo();
    void on_StopButton_clicked();
    void on_RefreshButton_clicked();
    void showScriptInfo(QString text);

private:
    void setUpWidgets();
    void setUpProcess();
    void adoptRememberedFile();
    void createRun(std::shared_ptr<Prompter> prompter);
    SingleRunInputs runInputs() const;
    void adoptDescriptionFile(const QString &path);
    void parsePartitionFile();
    void fillPartitionTable();
    void setUpPartitionTable();
    void applyPageFeature();
    void removeTopRows();
    void applyOnlyBurn();
    void applyOnlyBurnUsb();
    void applyOnlyBurnEmmc();
    void applyOnlyBurnNand();
    void applyOnlyTftp();
    void setUpRecords();
    void showRunRecord();

    std::unique_ptr<Ui::quorDownloadToolUIClass> ui;
    FileChooser m_chooseFile;
    SingleWindowState m_state;
    QProcess *downloadProcess = nullptr; // child of the window
    SingleBoardRun *m_run = nullptr;     // child of the window
    RecordWriter *m_records = nullptr;   // child of the window
    QString m_benchName;
    QString m_lastResult;  // of the last recorded run
    int m_dayCount = -1;   // runs recorded today in this window on this bench
    QString m_notKeptLine; // while records cannot be written
    QString m_settingLine; // the fleet database setting is refused

    // Widgets used after construction; a page feature may have destroyed them.
    QPointer<QTableWidget> m_table;
    QPointer<QTextBrowser> m_configFileDir;
    QPointer<QTextBrowser> m_scriptPath;
    QPointer<QComboBox> m_ipBox;
    QPointer<QLabel> m_runRecordLabel;
};
