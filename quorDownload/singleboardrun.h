// SingleBoardRun: one download run on the single-board page. Stages the checked
// partition images, starts the download tool, animates the status picture and
// turns every line of the tool's output into progress, log lines and message boxes.
#pragma once
#include "common/lineassembler.h"
#include "quorDownload/singleoutput.h"
#include "quorDownload/staging.h" // PartitionRowChoice
#include "records/boardrun.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <deque>
#include <functional>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTextCodec;
class myThread;

struct SingleRunInputs
{ // read fresh from the window at every run start
    QString configFilePath, configFileName, configDir, stagingDir, downloadCommand;
    QStringList toolArguments; // what downloadCommand says, one argument per value
    QVector<PartitionRowChoice> rows;
    Records::BoardRecord identity; // bench, window, description and its hash, chip, OS
};

struct SingleRunWidgets
{ // QPointer: a page feature may have destroyed them
    QPointer<QPushButton> downloadButton, stopButton;
    QPointer<QProgressBar> progressBar;
    QPointer<QLabel> statusPicture; // label_18
    QPointer<QPlainTextEdit> statusText;
};

class SingleBoardRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleBoardRun)
public:
    SingleBoardRun(const SingleRunWidgets &widgets, QProcess *downloadProcess,
                   std::function<SingleRunInputs()> inputs, QObject *parent);
    ~SingleBoardRun() override; // stops the animation thread cooperatively

    // Run state, for the window and for tests.
    float downloadProgress() const { return m_state.downloadProgress; }
    int breakSeen() const { return m_state.breakSeen; }
    int animationFrame() const { return m_animationFrame; }
    bool isAnimating() const { return m_animating; }

signals:
    // A tool run has ended (by itself, by a failure, a stop or a close).
    void runEnded(const Records::BoardRecord &record);

public slots:
    void pyDownload(); // downloadButton clicked
    void onReadData(); // downloadProcess readyReadStandardOutput (connected once, by this class)
    void stop();       // on_StopButton_clicked
    void threadSlot(); // next animation frame into label_18
    void stopimage();  // clear label_18
    void killLoop();   // closeEvent and connection problems

private slots:
    void releaseEndedThread();
    void onToolFinished(); // the tool's unterminated last line is handled too
    void onToolEnded(int exitCode, QProcess::ExitStatus status); // records the run

private:
    // Output of one notification. Lines read while the tool is being killed are
    // only logged; so are lines still queued when a new run starts.
    struct Chunk
    {
        QStringList lines;
        int next = 0;
        bool logOnly = false;
    };
    enum class LineEnd { Next, EndCall };
    class Sink;

    void readChunk(bool logOnly);
    void drain();
    LineEnd handleLine(const QString &line);
    void prepareStatusText();
    void updateBar();
    void atFrame();
    void showPendingText();
    void failure(const QString &boxText);
    void completion();
    void showFailureBox();
    void stopAnimation();
    void setRunning(bool running);
    void appendStatus(const QString &text);
    void moveStatusCursorToEnd();

    SingleRunWidgets m_widgets;
    QPointer<QProcess> m_process;
    std::function<SingleRunInputs()> m_inputs;
    QTextCodec *m_codec;

    std::unique_ptr<myThread> m_animationThread;
    bool m_animating = false;
    int m_animationFrame = 1; // next frame, 1..4, never reset

    SingleOutput::RunState m_state;
    std::deque<Chunk> m_chunks;
    // A line cut between two reads is completed by the next one instead of
    // being read as two.
    LineAssembler m_lines{QByteArrayLiteral("\n")};
    bool m_draining = false;
    int m_killing = 0;
    // Painting and event handling between lines happen once a frame: a tool
    // printing thousands of lines a second would otherwise spend its time in
    // painting the bar and the view for every line.
    QElapsedTimer m_frame;
    QString m_pendingText; // shown lines not yet in the view
    QTimer m_viewTimer;    // shows them at the end of the frame
    BoardRun m_boardRun;
};
