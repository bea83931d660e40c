// Production records, batch counters and the silence watchdog of the
// multi-board window.
#include "multi/mainwindow.h"

#include "common/boardconfig.h"
#include "platform/logging.h"
#include "records/recordwriter.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QLabel>
#include <QProcess>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const int kCountersTickMs = 1000;
const int kWatchdogTickMaxMs = 1000;
const int kWatchdogTickMinMs = 50;
} // namespace

void MainWindow::setUpRecords()
{
    benchName = Records::benchName();
    monotonic.start();

    recordWriter = new RecordWriter(
        RecordWriter::Settings::forWindow(QStringLiteral("multi"), benchName, BoardConfig::recordsDatabase()),
        this);
    connect(recordWriter, &RecordWriter::queueChanged, this, &MainWindow::showQueuedRecords);
    connect(recordWriter, &RecordWriter::fleetProblem, this,
            [this] { showQueuedRecords(recordWriter->queued()); });
    connect(recordWriter, &RecordWriter::failed, this,
            [](const QString &message) { qCWarning(lcRecords).noquote() << "records:" << message; });
    // One line below the queue line while records cannot be written.
    auto *notKept = new QLabel(this);
    notKept->setObjectName(QStringLiteral("recordsNotKeptLabel"));
    notKept->setStyleSheet(QStringLiteral("color: red;"));
    notKept->setVisible(false);
    if (auto *layout = findChild<QVBoxLayout *>(QStringLiteral("statusLayout")))
        layout->insertWidget(layout->indexOf(ui->recordsQueueLabel) + 1, notKept);
    connect(recordWriter, &RecordWriter::keepingChanged, notKept,
            [notKept](const QString &reason, int waiting) {
                notKept->setText(RecordWriter::notKeptLine(reason, waiting));
                notKept->setVisible(!reason.isEmpty());
            });

    countersTimer = new QTimer(this);
    countersTimer->setInterval(kCountersTickMs);
    connect(countersTimer, &QTimer::timeout, this, &MainWindow::updateCounters);

    const int silentSeconds = BoardConfig::watchdogSilentSeconds();
    silenceWatchdog = SilenceWatchdog(kSlotCount, qint64(silentSeconds) * 1000);
    if (silenceWatchdog.enabled()) {
        watchdogTimer = new QTimer(this);
        watchdogTimer->setInterval(
            int(qBound<qint64>(kWatchdogTickMinMs, silenceWatchdog.limitMs() / 4, kWatchdogTickMaxMs)));
        connect(watchdogTimer, &QTimer::timeout, this, &MainWindow::checkSilence);
        watchdogTimer->start();
    }
    setUpMetrics();
}

void MainWindow::noteArrivalNames(const QVector<PortRecord> &newPorts)
{
    // A new port's serial comes from its arrival's device name when the pair is
    // sure; an unknown one also replaces the serial of a board seen there before.
    const QStringList names = std::exchange(listingArrivalNames, {});
    const QString serial = serialPairing.serialForNewPort(newPorts.size(), names, !arrivalNames.isEmpty());
    for (const PortRecord &port : newPorts)
        portSerials.insert(port.level + QLatin1Char(',') + port.number, serial);
}

void MainWindow::endBoardRun(BoardSlot &slot, int exitCode, bool crashed)
{
    BoardRun &run = slot.run();
    if (!run.isActive())
        return;
    const Records::BoardRecord record = run.finish(exitCode, crashed, QDateTime::currentDateTimeUtc());
    silenceWatchdog.disarm(slot.index());
    batchCounters.boardFinished(slot.index(), record.result == Records::Result::Success);
    if (recordWriter)
        recordWriter->submit(record);
    noteRunForMetrics(slot, record);
    updateCounters();
}

void MainWindow::endActiveRunsAsStopped()
{
    for (BoardSlot &slot : boardSlots) {
        if (slot.run().isActive()) {
            slot.run().noteStopped();
            endBoardRun(slot, -1, false);
        }
    }
}

void MainWindow::checkSilence()
{
    for (int index : silenceWatchdog.expired(monotonic.elapsed())) {
        BoardSlot &slot = boardSlots[static_cast<std::size_t>(index)];
        BoardRun &run = slot.run();
        if (!run.isActive() || !slot.process())
            continue;
        run.noteWatchdog();
        slot.setSilenced(true);
        slot.dropOutput();
        const Records::BoardRecord &current = run.record();
        slot.showPicture(failedImage);
        slot.markBarRed();
        appendStatus(tr("Board %1 (USB Port: %2%3) printed nothing for %4 s: stopped as failed.")
                         .arg(index + 1)
                         .arg(current.port, current.serial.isEmpty()
                                                ? QString()
                                                : QStringLiteral(", serial ") + current.serial)
                         .arg(silenceWatchdog.limitMs() / 1000));
        // Killed without waiting; the run is recorded when the process reports its end.
        slot.process()->kill();
    }
}

void MainWindow::updateCounters()
{
    ui->batchCountersLabel->setText(countersText());
    feedMetrics();
}

void MainWindow::showQueuedRecords(int queued)
{
    queuedRecords = queued;
    feedMetrics();
    const QString problem = recordWriter ? recordWriter->currentFleetProblem() : QString();
    QString text;
    if (queued > 0 && problem == QLatin1String("login refused"))
        text = tr("%n record(s) queued: login refused by the fleet database, they are sent when it accepts "
                  "the login.",
                  nullptr, queued);
    else if (queued > 0)
        text = tr("%n record(s) queued: the fleet database is not reachable, they are sent when it is.",
                  nullptr, queued);
    else if (!problem.isEmpty() && problem != QLatin1String("not reachable") &&
             problem != QLatin1String("login refused"))
        text = tr("Records stay in records.sqlite: %1.").arg(problem); // the setting itself is refused
    ui->recordsQueueLabel->setVisible(!text.isEmpty());
    ui->recordsQueueLabel->setText(text);
}
