#include "multi/processbarthread.h"

#include <cmath>
#include <limits>

namespace {
using TickSignal = void (processbarthread::*)(int);
constexpr std::array<TickSignal, processbarthread::kSlotCount> kTickSignals = {
    &processbarthread::process1, &processbarthread::process2, &processbarthread::process3,
    &processbarthread::process4, &processbarthread::process5, &processbarthread::process6,
    &processbarthread::process7, &processbarthread::process8};
} // namespace

processbarthread::processbarthread(QObject *parent) : QThread(parent)
{
    // Created here rather than in run() so the GUI thread may write them at once.
    for (auto &value : progress)
        value.store(0.0f, std::memory_order_relaxed);
}

void processbarthread::setProgress(int index, float value)
{
    if (index >= 0 && index < kSlotCount)
        progress[static_cast<std::size_t>(index)].store(value, std::memory_order_relaxed);
}

float processbarthread::progressAt(int index) const
{
    if (index < 0 || index >= kSlotCount)
        return 0.0f;
    return progress[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
}

void processbarthread::setAllProgress(float value)
{
    for (auto &entry : progress)
        entry.store(value, std::memory_order_relaxed);
}

void processbarthread::setStopFlag(std::int32_t value)
{
    stopFlag.store(value, std::memory_order_relaxed);
}

int processbarthread::toWholePercent(float value)
{
    if (std::isnan(value))
        return 0;
    // Converting a float outside int range is undefined; the "break" path of
    // the output handler has no upper bound, so clamp first.
    constexpr float kMax = 2147483520.0f; // largest float below INT_MAX
    if (value >= kMax)
        return static_cast<int>(kMax);
    if (value <= -kMax)
        return -static_cast<int>(kMax);
    return static_cast<int>(value);
}

processbarthread::~processbarthread()
{
    (void)runEnded.load(std::memory_order_acquire);
}

void processbarthread::run()
{
    struct EndMark
    {
        std::atomic<bool> &flag;
        ~EndMark() { flag.store(true, std::memory_order_release); }
    } endMark{runEnded};
    if (stopFlag.load(std::memory_order_relaxed) == 1)
        return;
    // What each bar was last sent; only this thread touches it.
    std::array<int, kSlotCount> emitted{};
    for (int cycle = 0;; cycle = (cycle + 1) % kRefreshCycles) {
        QThread::msleep(kCycleMs);
        const bool refresh = cycle == 0;
        for (std::size_t i = 0; i < kTickSignals.size(); ++i) {
            const int value = toWholePercent(progress[i].load(std::memory_order_relaxed));
            if (refresh || value != emitted[i]) {
                emitted[i] = value;
                emit(this->*kTickSignals[i])(value);
            }
        }
        if (stopFlag.load(std::memory_order_relaxed) == 1)
            return;
    }
}
