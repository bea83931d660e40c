#pragma once

#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>

// The multi-board window's progress ticker: holds the eight per-slot progress
// values (percent) and hands them on as whole numbers, one signal per slot, so
// the bars move at a steady rhythm however the tool's output arrives. It looks
// every 10 ms and emits, in slot order, each value that differs from the one
// it last emitted for that slot, and all eight every 100 ms: a bar reaches a
// new value within a cycle, while an idle window is not woken 800 times a
// second for values it already shows. The GUI thread writes the values and the
// stop flag, the worker only reads them; each is a single lock-free atomic
// with relaxed ordering.
class processbarthread final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(processbarthread)
public:
    static constexpr int kSlotCount = 8;
    static constexpr unsigned long kCycleMs = 10;
    // Every this many cycles all eight values are emitted, changed or not, so
    // that a bar connected after a value was emitted, or moved by anything
    // else, is back in step within 100 ms.
    static constexpr int kRefreshCycles = 10;

    explicit processbarthread(QObject *parent = nullptr);
    // Neither stops nor waits (closing the window does); see runEnded.
    ~processbarthread() override;

    // Slot index 0..7; other indices are ignored (setter) or read as 0.
    void setProgress(int index, float value);
    float progressAt(int index) const;
    void setAllProgress(float value);

    // 1 asks run() to return after at most one more cycle.
    void setStopFlag(std::int32_t value);

    // Truncates toward zero; values beyond int range are clamped, NaN gives 0.
    static int toWholePercent(float value);

signals:
    void process1(int value);
    void process2(int value);
    void process3(int value);
    void process4(int value);
    void process5(int value);
    void process6(int value);
    void process7(int value);
    void process8(int value);

protected:
    void run() override;

private:
    static_assert(std::atomic<float>::is_always_lock_free, "progress values must be lock-free");
    static_assert(std::atomic<std::int32_t>::is_always_lock_free, "stop flag must be lock-free");

    std::array<std::atomic<float>, kSlotCount> progress;
    std::atomic<std::int32_t> stopFlag{0};
    // Set by run() as its last act. The owner deletes the thread only after
    // waiting for it; reading this flag in the destructor states that hand-over
    // in the program itself, where Qt's own wait is invisible to race checkers.
    std::atomic<bool> runEnded{false};
};
