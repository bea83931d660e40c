#pragma once

#include <QThread>

class QProcess;

// The waiting animation's clock for one single-board run: emits
// sendToProcess() at once and then once a second until it is asked to stop.
// It stops cooperatively (interruption request), never by termination.
class myThread final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(myThread)
public:
    explicit myThread(QProcess *process);
    ~myThread() override; // asks the loop to end and waits for it

signals:
    void sendToProcess();
    void sendToProcessForStop();

public slots:
    // The tool has written output: the animation ends.
    void sameTime();

protected:
    void run() override;

private:
    QProcess *m_process; // the run's process; kept for the owner, not used here
};
