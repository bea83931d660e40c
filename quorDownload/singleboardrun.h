// SingleBoardRun: one download run on the single-board page. Stages the checked
// partition images, starts the download tool, animates the status picture and
// turns every line of the tool's output into progress, log lines and message boxes.
#pragma once
#include <QObject>
#include <QPointer>
#include <QVector>
#include <functional>
class QLabel;
class QPlainTextEdit;
class QProcess;
class QProgressBar;
class QPushButton;
class myThread;

struct PartitionRowChoice {   // one row of the partition table, rows 0..partitionRowCount-1
    QString fileName;         // text of column 2 ("File Name"), empty when the cell has no item
    bool hasCheckBox = false; // partitionCheckBoxes[row] exists
    bool checked = false;     // ... and is checked
};

struct SingleRunInputs { // read fresh from the window at every run start
    QString configFilePath, configFileName, configDir, stagingDir, downloadCommand;
    QVector<PartitionRowChoice> rows;
};

struct SingleRunWidgets { // QPointer: a page feature may have destroyed them
    QPointer<QPushButton> downloadButton, stopButton;
    QPointer<QProgressBar> progressBar;
    QPointer<QLabel> statusPicture; // label_18
    QPointer<QPlainTextEdit> statusText;
};

class SingleBoardRun final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(SingleBoardRun)
public:
    SingleBoardRun(const SingleRunWidgets &widgets, QProcess *downloadProcess,
                   std::function<SingleRunInputs()> inputs, QObject *parent);
    ~SingleBoardRun() override; // stops the animation thread cooperatively
public slots:
    void pyDownload();  // downloadButton clicked
    void onReadData();  // downloadProcess readyReadStandardOutput (connected once, by this class)
    void stop();        // on_StopButton_clicked
    void threadSlot();  // next animation frame into label_18
    void stopimage();   // clear label_18
    void killLoop();    // closeEvent and connection problems
};
