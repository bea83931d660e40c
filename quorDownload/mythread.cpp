#include "quorDownload/mythread.h"

namespace {
constexpr int kPeriodMs = 1000;
constexpr int kSliceMs = 10; // how quickly a stop request is noticed
} // namespace

myThread::myThread(QProcess *process) : QThread(nullptr), m_process(process) {}

myThread::~myThread()
{
    requestInterruption();
    wait();
}

void myThread::sameTime()
{
    emit sendToProcessForStop();
    requestInterruption();
}

void myThread::run()
{
    while (!isInterruptionRequested()) {
        emit sendToProcess();
        for (int slept = 0; slept < kPeriodMs && !isInterruptionRequested(); slept += kSliceMs)
            msleep(kSliceMs);
    }
}
