// SingleBoardRun: one download run on the single-board page. Stages the checked
// partition images, starts the download tool, animates the status picture and
// turns every line of the tool's output into progress, log lines and notices.
// A state machine driven by the buttons and by the tool process's signals,
// every change made by transition():
//
//   Idle --Download--> Staging --files staged--> Starting --started--> Running
//   Staging --images refused--> Idle      Staging --earlier copy in the way--> Finished
//   Starting --no tool--> Finished        Running --failure line--> Halted (its box shown)
//   Running, Halted --tool ended--> Finished
//   any --kill--> Stopping --tool gone--> Finished (from Starting, Running, Halted),
//                                         the state before (else); Stop then goes to Idle
//
// Lines read while Stopping, and lines of an earlier run's tool still queued
// when a new run starts, are only logged.
#pragma once
#include "common/lineassembler.h"
#include "quorDownload/prompter.h"
#include "quorDownload/singleoutput.h"
#include "quorDownload/staging.h" // PartitionRowChoice
#include "records/boardrun.h"

#include <QDateTime>
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
#include <optional>

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
    enum class State { Idle, Staging, Starting, Running, Halted, Stopping, Finished };

    // prompter: null shows message boxes.
    SingleBoardRun(const SingleRunWidgets &widgets, QProcess *downloadProcess,
                   std::function<SingleRunInputs()> inputs, QObject *parent,
                   std::shared_ptr<Prompter> prompter = nullptr);
    ~SingleBoardRun() override; // stops the animation thread cooperatively

    // Run state, for the window and for tests.
    State state() const { return m_state; }
    float downloadProgress() const { return m_progress.downloadProgress; }
    int breakSeen() const { return m_progress.breakSeen; }
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
    void onToolStarted();
    void onToolFinished(); // the tool's unterminated last line is handled too
    void onToolEnded(int exitCode, QProcess::ExitStatus status); // records the run

private:
    // Output of one notification, with the run it belongs to: kNoRun for lines
    // read while Stopping. Only the current run's lines are interpreted.
    static constexpr int kNoRun = 0;
    struct Chunk
    {
        QStringList lines;
        int next = 0;
        int run = kNoRun;
    };
    enum class LineEnd { Next, EndCall };
    enum class Event {
        Download,     // the button: a new run stages its images
        Staged,       // the images are in place: the tool starts
        Refused,      // the images' signatures refused them: nothing ran
        NotStarted,   // an earlier copy stayed in the way, or the tool did not start
        ToolStarted,  // the process reports it runs
        ToolEnded,    // the process reports its end
        FailureShown, // a failure line halted the run (its box is shown)
        KillBegun,    // the tool is being killed
        KillEnded,    // ... and is gone
        Stopped,      // Stop ends the run
    };
    class Sink;

    void transition(Event event);
    // The re-entry the line handler must survive, named once: handling a line
    // processes events once a frame and may wait in a notice's event loop;
    // meanwhile more output, the tool's end, a Stop or the next run can
    // arrive. Those only queue their lines, which the outermost drain handles
    // in order; nothing is handled while the tool is being killed.
    bool drainingElsewhere() const { return m_draining || m_state == State::Stopping; }
    void drainUnlessNested();

    void takeOverFromEarlierTool();
    bool stage(const SingleRunInputs &in);
    void refuseStaleStaging(const SingleRunInputs &in, const QVector<Staging::Leftover> &stale);
    void startAnimation();
    void startTool(const SingleRunInputs &in);
    void queue(const QStringList &lines);
    void readChunk();
    void drain();
    LineEnd handleLine(const QString &line);
    void prepareStatusText();
    void updateBar();
    void atFrame();
    void showPendingText();
    void failure(const QString &boxText);
    void completion();
    void connectionProblem(bool killFirst);
    void askAfterFailedStart();
    void finishRecord(); // records a run whose tool has ended, once its output is handled
    void stopAnimation();
    void setRunning(bool running);
    void appendStatus(const QString &text);
    void moveStatusCursorToEnd();

    SingleRunWidgets m_widgets;
    QPointer<QProcess> m_process;
    std::function<SingleRunInputs()> m_inputs;
    std::shared_ptr<Prompter> m_prompter;
    QTextCodec *m_codec;
    State m_state = State::Idle;
    State m_beforeKill = State::Idle; // where a kill returns to
    QStringList m_signedBy;           // the keys that verified this run's images
    int m_run = kNoRun;               // the current run, counted from 1

    std::unique_ptr<myThread> m_animationThread;
    bool m_animating = false;
    int m_animationFrame = 1; // next frame, 1..4, never reset

    SingleOutput::RunState m_progress;
    std::deque<Chunk> m_chunks;
    // A line cut between two reads is completed by the next one instead of
    // being read as two.
    LineAssembler m_lines{QByteArrayLiteral("\n")};
    // Set while the queue is being worked through (see drainingElsewhere). It
    // nests across runs, so it is no run state.
    bool m_draining = false;
    // Painting and event handling between lines happen once a frame: a tool
    // printing thousands of lines a second would otherwise spend its time in
    // painting the bar and the view for every line.
    QElapsedTimer m_frame;
    QString m_pendingText; // shown lines not yet in the view
    QTimer m_viewTimer;    // shows them at the end of the frame
    BoardRun m_boardRun;
    struct ToolEnd
    {
        int exitCode = 0;
        bool crashed = false;
        QDateTime at;
    };
    std::optional<ToolEnd> m_toolEnd; // the tool has ended, its queued output not yet handled
};
