#include "quorDownload/singleboardrun.h"

#include "common/boardconfig.h"
#include "common/toolcontract.h"
#include "common/toollaunch.h"
#include "quorDownload/mythread.h"
#include "quorDownload/runlog.h"
#include "quorDownload/singlelogging.h"
#include "quorDownload/stagedsignatures.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCodec>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kStartWaitMs = 30000;
constexpr int kFrameMs = 16;

const char kTerminateLine[] =
    "--------------------------------------Process Terminate!!!---------------------------------------";

// The debug log gets a very long line shortened, with its length.
QString debugForm(const QString &line)
{
    constexpr int kDebugLimit = 4096;
    if (line.size() <= kDebugLimit)
        return line;
    return line.left(kDebugLimit) + QStringLiteral("... (%1 characters)").arg(line.size());
}

// " " is the value before any choice; an empty path follows a cancelled dialog.
bool isUnchosen(const QString &value)
{
    return value == QLatin1String(" ") || value.isEmpty();
}

} // namespace

// Staging lines go to the status view, the run log and the debug log.
class SingleBoardRun::Sink final : public StagingSink
{
public:
    explicit Sink(SingleBoardRun &run) : m_run(run) {}
    void debug(const QString &text) override { qCDebug(lcSingle).noquote() << text; }
    void appendStatus(const QString &text) override { m_run.appendStatus(text); }
    void insertStatus(const QString &text) override
    {
        m_run.showPendingText();
        if (m_run.m_widgets.statusText)
            m_run.m_widgets.statusText->insertPlainText(text);
    }
    void runLog(const QString &text) override { RunLog::appendLog(text); }

private:
    SingleBoardRun &m_run;
};

SingleBoardRun::SingleBoardRun(const SingleRunWidgets &widgets, QProcess *downloadProcess,
                               std::function<SingleRunInputs()> inputs, QObject *parent,
                               std::shared_ptr<Prompter> prompter)
    : QObject(parent), m_widgets(widgets), m_process(downloadProcess), m_inputs(std::move(inputs)),
      m_prompter(prompter ? std::move(prompter) : std::make_shared<BoxPrompter>()),
      m_codec(QTextCodec::codecForName("System"))
{
    if (!m_codec)
        m_codec = QTextCodec::codecForLocale();
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(kFrameMs);
    connect(&m_viewTimer, &QTimer::timeout, this, &SingleBoardRun::showPendingText);
    // Destroy this object before the process, so that killing a still running
    // tool in the process's destructor cannot call back into a half-gone run.
    if (downloadProcess && parent && downloadProcess->parent() == parent) {
        downloadProcess->setParent(nullptr);
        downloadProcess->setParent(parent);
    }
    // Once per window: a connection per run would hand every notification to
    // the handler once for each run so far.
    if (downloadProcess) {
        connect(downloadProcess, SIGNAL(readyReadStandardOutput()), this, SLOT(onReadData()));
        connect(downloadProcess, &QProcess::started, this, &SingleBoardRun::onToolStarted);
        connect(downloadProcess, SIGNAL(finished(int, QProcess::ExitStatus)), this, SLOT(onToolFinished()));
        connect(downloadProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                &SingleBoardRun::onToolEnded);
    }
}

SingleBoardRun::~SingleBoardRun()
{
    stopAnimation();
    if (m_process) {
        disconnect(m_process, nullptr, this, nullptr);
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
}

void SingleBoardRun::pyDownload()
{
    if (m_widgets.progressBar)
        m_widgets.progressBar->reset();
    const SingleRunInputs in = m_inputs ? m_inputs() : SingleRunInputs{};
    if (isUnchosen(in.configFileName) || isUnchosen(in.configFilePath)) {
        m_prompter->notice(QStringLiteral("Please select .xml file first!"), Prompter::Look::Plain);
        return;
    }
    setRunning(true);
    transition(Event::Download);
    takeOverFromEarlierTool();
    if (!stage(in))
        return;
    transition(Event::Staged);
    startAnimation();
    startTool(in);
}

// One animation at a time, and output still queued from an earlier tool is no
// longer this run's: it is logged, not interpreted.
void SingleBoardRun::takeOverFromEarlierTool()
{
    stopAnimation();
    ++m_run;
    if (m_lines.hasPending())
        m_chunks.push_back(Chunk{QStringList{m_codec->toUnicode(m_lines.finish())}, 0, kNoRun});
    // A tool left running by a failed run would keep the process busy, and
    // starting it again would silently not start the new tool.
    if (m_process && m_process->state() != QProcess::NotRunning)
        killLoop();
}

// Empties the staging folder and copies the chosen files into it; false when
// the folder cannot be made, which halts the run in the running form.
bool SingleBoardRun::stage(const SingleRunInputs &in)
{
    Sink sink(*this);
    if (Staging::createTmpFolder(in.stagingDir, sink) == -1) {
        qCDebug(lcSingle) << "Create tmp forder failed!";
        return false;
    }
    if (m_widgets.statusText)
        m_widgets.statusText->setPlainText(QStringLiteral(" "));
    const QVector<Staging::Leftover> leftovers = Staging::deleteOldFiles(in.stagingDir, sink);
    const QVector<Staging::Leftover> stale = Staging::copyNewFiles(
        in.configFilePath, in.configFileName, in.configDir, in.stagingDir, in.rows, sink, leftovers);
    if (!stale.isEmpty()) {
        refuseStaleStaging(in, stale);
        return false;
    }
    m_signedBy.clear();
    QString unreachable;
    if (!Staging::verifyChosenImages(BoardConfig::signingPolicy(), in.configDir, in.stagingDir, in.rows, sink,
                                     &m_signedBy) ||
        !ToolLaunch::toolCanOpen(in.stagingDir, &unreachable)) {
        // Nothing ran: the operator can choose other images (or rename the
        // folder the tool cannot open) and press Download again.
        if (!unreachable.isEmpty())
            appendStatus(unreachable);
        appendStatus(QStringLiteral("Download refused: the tool was not started."));
        transition(Event::Refused);
        setRunning(false);
        return false;
    }

    m_progress.downloadProgress = 0.0f;
    appendStatus(QStringLiteral(" "));
    appendStatus(QStringLiteral("Downloading project... \nPlease reconnect your USB cable"));
    return true;
}

// An earlier copy of a file to burn is still in the staging folder and the
// new one could not replace it: the tool would burn the earlier image, so it
// is not started, and the run is recorded as failed.
void SingleBoardRun::refuseStaleStaging(const SingleRunInputs &in, const QVector<Staging::Leftover> &stale)
{
    Sink sink(*this);
    QString last;
    for (const Staging::Leftover &file : stale) {
        last =
            QStringLiteral("%1 was not staged: an earlier copy is still in %2 and could not be removed (%3)")
                .arg(file.name, in.stagingDir, file.reason);
        sink.debug(last);
        sink.appendStatus(last);
        sink.runLog(last);
    }
    const QString notStarted = QStringLiteral("The download did not start: remove the earlier files from %1 "
                                              "(close what holds them open), then press Download again.")
                                   .arg(in.stagingDir);
    sink.appendStatus(notStarted);
    sink.runLog(notStarted);
    transition(Event::NotStarted);
    setRunning(false);
    finishRecord(); // an earlier run still waiting for its output is recorded first
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_boardRun.begin(in.identity, now);
    m_boardRun.noteLine(last);
    m_boardRun.noteFailure(Records::Result::DownloadFailed);
    emit runEnded(m_boardRun.finish(-1, false, now));
    m_prompter->notice(
        QStringLiteral("Download did not start: an earlier image is still in the staging folder!"),
        Prompter::Look::Wide);
}

void SingleBoardRun::startAnimation()
{
    m_animationThread = std::make_unique<myThread>(m_process.data());
    m_animating = true;
    myThread *thread = m_animationThread.get();
    // Every connection is in place before the thread runs, so its first
    // signal already finds them.
    connect(thread, SIGNAL(sendToProcess()), this, SLOT(threadSlot()));
    // After the handler's own connection, so the handler runs first.
    if (m_process)
        connect(m_process, SIGNAL(readyReadStandardOutput()), thread, SLOT(sameTime()));
    connect(thread, SIGNAL(sendToProcessForStop()), this, SLOT(stopimage()));
    connect(thread, SIGNAL(finished()), this, SLOT(releaseEndedThread()), Qt::QueuedConnection);
    thread->start(QThread::InheritPriority);
}

void SingleBoardRun::startTool(const SingleRunInputs &in)
{
    if (!m_process)
        return;
    const QString toolDir = ToolLaunch::toolDir();
    qCDebug(lcSingle).noquote() << toolDir + in.downloadCommand;
    // The command line above is what the operator reads; the tool gets the
    // same values as a list, so quotes or blanks in a folder name arrive intact.
    ToolLaunch::start(m_process, ToolLaunch::Command{toolDir + QLatin1String(ToolContract::kExecutable),
                                                     ToolLaunch::withToolImageFolder(in.toolArguments)});
    if (!m_process->waitForStarted(kStartWaitMs)) {
        if (!m_process->waitForFinished(kStartWaitMs)) {
            transition(Event::NotStarted);
            askAfterFailedStart();
            qCDebug(lcSingle) << "Failed to start command process.";
        }
        return;
    }
    finishRecord(); // an earlier run still waiting for its output is recorded first
    Records::BoardRecord identity = in.identity;
    identity.signedBy = m_signedBy.join(QLatin1Char(','));
    m_boardRun.begin(identity, QDateTime::currentDateTimeUtc());
}

void SingleBoardRun::transition(Event event)
{
    const auto runs = [](State state) {
        return state == State::Starting || state == State::Running || state == State::Halted;
    };
    switch (event) {
    case Event::Download:
        m_state = State::Staging;
        break;
    case Event::Staged:
        m_state = State::Starting;
        break;
    case Event::Refused:
    case Event::Stopped:
        m_state = State::Idle;
        break;
    case Event::NotStarted:
        m_state = State::Finished;
        break;
    case Event::ToolStarted:
        if (m_state == State::Starting)
            m_state = State::Running;
        break;
    case Event::ToolEnded:
        if (m_state == State::Running || m_state == State::Halted)
            m_state = State::Finished;
        break;
    case Event::FailureShown:
        if (m_state == State::Running)
            m_state = State::Halted;
        break;
    case Event::KillBegun:
        m_beforeKill = m_state;
        m_state = State::Stopping;
        break;
    case Event::KillEnded:
        m_state = runs(m_beforeKill) ? State::Finished : m_beforeKill;
        break;
    }
}

void SingleBoardRun::drainUnlessNested()
{
    if (!drainingElsewhere())
        drain();
}

void SingleBoardRun::onToolStarted()
{
    transition(Event::ToolStarted);
}

void SingleBoardRun::onToolEnded(int exitCode, QProcess::ExitStatus status)
{
    transition(Event::ToolEnded);
    if (!m_boardRun.isActive())
        return;
    // The tool's last lines (its completion line among them) may still wait in
    // the queue behind a line being handled: the record is finished once they
    // are, so it cannot call failed what the window calls completed.
    m_toolEnd = ToolEnd{exitCode, status == QProcess::CrashExit, QDateTime::currentDateTimeUtc()};
    drainUnlessNested();
}

void SingleBoardRun::finishRecord()
{
    if (!m_toolEnd)
        return;
    const ToolEnd end = *m_toolEnd;
    m_toolEnd.reset();
    if (m_boardRun.isActive())
        emit runEnded(m_boardRun.finish(end.exitCode, end.crashed, end.at));
}

void SingleBoardRun::askAfterFailedStart()
{
    const Prompter::Choice choice = m_prompter->askAfterFailedStart();
    if (choice == Prompter::Choice::Abort) {
        if (m_widgets.progressBar)
            m_widgets.progressBar->reset();
    } else if (choice == Prompter::Choice::Retry) {
        pyDownload();
    }
    QCoreApplication::processEvents();
}

void SingleBoardRun::threadSlot()
{
    // A frame already on its way when the animation stopped is dropped.
    if (!m_animating)
        return;
    if (m_widgets.statusPicture)
        m_widgets.statusPicture->setPixmap(QPixmap(QStringLiteral(":/img/%1.png").arg(m_animationFrame)));
    m_animationFrame = m_animationFrame % 4 + 1;
}

void SingleBoardRun::stopimage()
{
    m_animating = false;
    // Called for every line of the tool: an empty label is left alone, since
    // clearing it would lay the window out again each time.
    QLabel *label = m_widgets.statusPicture;
    if (label && (!label->pixmap(Qt::ReturnByValue).isNull() || !label->text().isEmpty()))
        label->clear();
}

void SingleBoardRun::stopAnimation()
{
    m_animating = false;
    if (m_animationThread) {
        m_animationThread->requestInterruption();
        m_animationThread->wait();
        m_animationThread.reset();
    }
}

void SingleBoardRun::releaseEndedThread()
{
    // The thread was asked to end by the tool's first output; free it once it has.
    if (m_animationThread && m_animationThread->isInterruptionRequested()) {
        m_animationThread->wait();
        m_animationThread.reset();
    }
}

void SingleBoardRun::killLoop()
{
    if (!m_process)
        return;
    // A tool killed here ends as stopped, unless its output already decided the result.
    if (m_process->state() != QProcess::NotRunning && m_boardRun.isActive())
        m_boardRun.noteStopped();
    transition(Event::KillBegun);
    while (m_process->state() != QProcess::NotRunning) {
        readChunk(); // what the tool wrote before the kill still reaches the log
        m_process->close();
        qCDebug(lcSingle) << "process killed";
        qCDebug(lcSingle) << "state" << m_process->state();
        QThread::msleep(1);
    }
    transition(Event::KillEnded);
    drainUnlessNested();
}

void SingleBoardRun::stop()
{
    stopAnimation();
    moveStatusCursorToEnd();
    setRunning(false);
    killLoop();
    transition(Event::Stopped);
    qCDebug(lcSingle) << "Process Terminate!!!";
    RunLog::log().flush(); // in the file while the box shows
    m_prompter->notice(QStringLiteral("Process Terminate!!!"), Prompter::Look::Plain);
    appendStatus(QString::fromLatin1(kTerminateLine));
    moveStatusCursorToEnd();
}

void SingleBoardRun::onReadData()
{
    if (!m_process)
        return;
    readChunk();
    drainUnlessNested();
}

void SingleBoardRun::queue(const QStringList &lines)
{
    m_chunks.push_back(Chunk{lines, 0, m_state == State::Stopping ? kNoRun : m_run});
}

void SingleBoardRun::readChunk()
{
    if (!m_process || !m_process->isOpen())
        return;
    const QByteArray bytes = m_lines.feed(ToolLaunch::readHeld(m_process));
    if (!bytes.isEmpty())
        queue(SingleOutput::splitLines(m_codec->toUnicode(bytes)));
}

void SingleBoardRun::onToolFinished()
{
    if (!m_lines.hasPending())
        return;
    queue(QStringList{m_codec->toUnicode(m_lines.finish())});
    drainUnlessNested();
}

void SingleBoardRun::drain()
{
    const BatchedLog::Batch logBatch(RunLog::log()); // the lines drained here with one open and close
    m_draining = true;
    m_frame.start();
    for (;;) {
        if (m_chunks.empty()) {
            // Notifications raised while the handler ran may have been merged
            // into the process's buffer: pick that output up here.
            readChunk();
            if (m_chunks.empty())
                break;
        }
        Chunk &chunk = m_chunks.front();
        if (chunk.run != m_run) {
            for (int i = chunk.next; i < chunk.lines.size(); ++i)
                RunLog::appendLog(chunk.lines.at(i));
            m_chunks.pop_front();
            continue;
        }
        if (chunk.next == 0)
            prepareStatusText();
        const QString line = chunk.lines.at(chunk.next++);
        const LineEnd end = handleLine(line);
        // handleLine may have queued more chunks (at the back) or started a
        // new run; the front is still this chunk.
        Chunk &front = m_chunks.front();
        if (end == LineEnd::EndCall && front.run == m_run)
            front.lines.erase(front.lines.begin() + front.next, front.lines.end());
        if (front.next >= front.lines.size())
            m_chunks.pop_front();
    }
    // Lines that came one at a time are shown together at the end of the frame.
    if (!m_pendingText.isEmpty() && !m_viewTimer.isActive())
        m_viewTimer.start();
    m_draining = false;
    finishRecord();
}

void SingleBoardRun::prepareStatusText()
{
    QPlainTextEdit *text = m_widgets.statusText;
    if (!text)
        return;
    if (!text->isReadOnly())
        text->setReadOnly(true);
    // The lines still to be shown count as shown: they go with the view's text.
    if (text->document()->characterCount() - 1 + m_pendingText.size() > SingleOutput::kStatusTextLimit) {
        m_pendingText.clear();
        text->clear();
    }
    // Moving the cursor lays the view out again: done only when it is not at
    // the end already; the view follows the text as it is shown.
    if (!text->textCursor().atEnd())
        text->moveCursor(QTextCursor::End);
}

SingleBoardRun::LineEnd SingleBoardRun::handleLine(const QString &line)
{
    RunLog::appendLog(line);
    const SingleOutput::LineDecision d = SingleOutput::decideLine(line, m_progress);
    m_boardRun.noteLine(line);
    if (d.connection != SingleOutput::Connection::None) {
        connectionProblem(d.connection == SingleOutput::Connection::KillFirst);
        return LineEnd::EndCall;
    }
    if (d.countedWait)
        return LineEnd::Next;

    // The view is cleared once it holds more than its limit, so a longer line
    // is shown only up to that limit: laying out megabytes of one paragraph
    // would stall the window for minutes. The log keeps the whole line.
    m_pendingText += d.shown.size() > SingleOutput::kStatusTextLimit
                         ? d.shown.left(SingleOutput::kStatusTextLimit)
                         : d.shown;
    updateBar();
    atFrame();
    qCDebug(lcSingleOutput).noquote() << "from cmd: " << debugForm(d.normalized);

    if (d.failure) {
        m_boardRun.noteFailure(line.contains(QLatin1String(ToolContract::kTooLarge))
                                   ? Records::Result::TooLarge
                                   : Records::Result::DownloadFailed);
        failure(d.failureText);
    }
    if (d.completion) {
        m_boardRun.noteCompleted();
        completion();
        return LineEnd::EndCall;
    }
    return LineEnd::Next;
}

// "Not found" is shown while the tool still runs; a broken communication
// kills the tool first.
void SingleBoardRun::connectionProblem(bool killFirst)
{
    showPendingText();
    m_boardRun.noteFailure(killFirst ? Records::Result::CommFailed : Records::Result::NotFound);
    if (killFirst)
        killLoop();
    RunLog::log().flush(); // in the file while the box shows
    m_prompter->notice(QStringLiteral("USB Connection Problem!!!\nCheck your USB Connect and Restart Board"),
                       Prompter::Look::Wide);
    if (!killFirst)
        killLoop();
    m_progress.breakSeen = 0;
}

void SingleBoardRun::updateBar()
{
    QProgressBar *bar = m_widgets.progressBar;
    if (!bar)
        return;
    if (bar->value() != 100) {
        // A new value is set, but painted at the next frame: the bar would
        // otherwise paint itself at once for every value that changes its text.
        // Most lines leave the value as it is, and the bar is left alone.
        const int value = SingleOutput::barValue(m_progress.downloadProgress);
        if (value == bar->value())
            return;
        bar->setUpdatesEnabled(false);
        bar->setValue(value);
        bar->setUpdatesEnabled(true);
        bar->update();
    } else if (m_process && m_process->waitForStarted(kStartWaitMs)) {
        bar->setValue(100);
        setRunning(false);
    }
}

// Lets the toolkit paint and handle input once a frame while lines keep coming,
// so the window answers throughout a flood at a fraction of the cost per line.
// A few lines are done before the frame is over and painted by the event loop.
void SingleBoardRun::atFrame()
{
    if (m_frame.elapsed() < kFrameMs)
        return;
    showPendingText();
    QCoreApplication::processEvents();
    m_frame.start();
}

void SingleBoardRun::failure(const QString &boxText)
{
    transition(Event::FailureShown);
    stopAnimation();
    moveStatusCursorToEnd();
    setRunning(false);
    qCDebug(lcSingle) << "Process Terminate!!!";
    RunLog::log().flush(); // in the file while the box shows
    m_prompter->notice(boxText, Prompter::Look::Plain);
    appendStatus(QString::fromLatin1(kTerminateLine));
    moveStatusCursorToEnd();
}

void SingleBoardRun::completion()
{
    showPendingText();
    if (m_widgets.progressBar) {
        m_widgets.progressBar->setValue(100);
        m_widgets.progressBar->repaint();
    }
    setRunning(false);
    RunLog::log().flush(); // in the file while the box shows
    m_prompter->notice(QStringLiteral("Download completed!"), Prompter::Look::Good);
    m_progress.breakSeen = 0;
}

void SingleBoardRun::setRunning(bool running)
{
    if (m_widgets.downloadButton)
        m_widgets.downloadButton->setEnabled(!running);
    if (m_widgets.stopButton)
        m_widgets.stopButton->setEnabled(running);
}

void SingleBoardRun::appendStatus(const QString &text)
{
    showPendingText();
    if (m_widgets.statusText)
        m_widgets.statusText->appendPlainText(text);
}

void SingleBoardRun::moveStatusCursorToEnd()
{
    showPendingText();
    if (m_widgets.statusText)
        m_widgets.statusText->moveCursor(QTextCursor::End);
}

// The lines of a frame go into the view in one insertion: laying out the view
// once per line costs more than everything else done for the line.
void SingleBoardRun::showPendingText()
{
    m_viewTimer.stop();
    if (m_pendingText.isEmpty())
        return;
    if (QPlainTextEdit *text = m_widgets.statusText) {
        text->moveCursor(QTextCursor::End);
        text->insertPlainText(m_pendingText);
        text->ensureCursorVisible();
    }
    m_pendingText.clear();
}
