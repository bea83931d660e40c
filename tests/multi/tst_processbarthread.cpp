#include "multi/processbarthread.h"

#include <QtTest>

#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

// Collects the ticker's emissions on the worker thread itself (direct
// connections), under a mutex the sanitizer can see, so that the test checks
// the ticker's own hand-over and not Qt's queued-event machinery.
class TickRecorder
{
public:
    explicit TickRecorder(processbarthread *ticker)
    {
        const std::array<void (processbarthread::*)(int), 8> tickSignals = {
            &processbarthread::process1, &processbarthread::process2, &processbarthread::process3,
            &processbarthread::process4, &processbarthread::process5, &processbarthread::process6,
            &processbarthread::process7, &processbarthread::process8};
        for (int slot = 0; slot < 8; ++slot) {
            QObject::connect(
                ticker, tickSignals[static_cast<std::size_t>(slot)], ticker,
                [this, slot](int value) {
                    std::lock_guard<std::mutex> lock(mutex);
                    lastValues[static_cast<std::size_t>(slot)] = value;
                    emissions.push_back(slot + 1);
                },
                Qt::DirectConnection);
        }
    }
    std::array<int, 8> last() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastValues;
    }
    // A deep copy: an implicitly shared container would share its block with the worker.
    std::vector<int> order() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return emissions;
    }

private:
    mutable std::mutex mutex;
    std::array<int, 8> lastValues{{-1, -1, -1, -1, -1, -1, -1, -1}};
    std::vector<int> emissions;
};

class tst_ProcessBarThread : public QObject
{
    Q_OBJECT
private slots:
    void valuesReachTheirOwnSlot();
    void steadyValuesAreNotResentEveryCycle();
    void onlyTheStopFlagEndsTheLoop();
    void extremeValuesAndIndices();
};

void tst_ProcessBarThread::valuesReachTheirOwnSlot()
{
    processbarthread ticker;
    TickRecorder recorder(&ticker);
    // Written before the thread runs: the entries exist from construction.
    const std::array<float, 8> values = {9.99f, 100.0f, 0.0f, 50.5f, 99.9f, 0.1f, 10.0f, 33.3f};
    for (int i = 0; i < 8; ++i)
        ticker.setProgress(i, values[static_cast<std::size_t>(i)]);
    ticker.start();
    const std::array<int, 8> expected = {9, 100, 0, 50, 99, 0, 10, 33};
    QTRY_VERIFY_WITH_TIMEOUT(recorder.last() == expected, 2000);

    // A change made while ticking reaches only its own slot.
    ticker.setProgress(3, 77.7f);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.last()[3], 77, 2000);
    QCOMPARE(recorder.last()[2], 0);
    QCOMPARE(recorder.last()[4], 99);
    ticker.setAllProgress(0.0f);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.last() == (std::array<int, 8>{}), 2000);
    ticker.setStopFlag(1);
    QCOMPARE(ticker.stopFlagValue(), 1);
    QVERIFY(ticker.wait(5000));
}

void tst_ProcessBarThread::steadyValuesAreNotResentEveryCycle()
{
    // An idle window must not be woken 800 times a second: steady values are
    // resent only by the periodic refresh, while a change still goes out.
    processbarthread ticker;
    TickRecorder recorder(&ticker);
    QElapsedTimer clock;
    clock.start();
    ticker.start();
    QTest::qWait(500);
    const std::size_t steady = recorder.order().size();
    const qint64 elapsed = clock.elapsed();
    // Every cycle would give 8 per 10 ms; the refresh gives 8 per 100 ms. A
    // loaded machine runs fewer cycles, never more, so the bound only tightens.
    QVERIFY2(steady <= std::size_t(8 * (elapsed / 100 + 2)),
             qPrintable(QStringLiteral("%1 emissions in %2 ms").arg(steady).arg(elapsed)));
    QVERIFY(steady >= 8); // the first refresh came
    // Unchanged values go out as whole rounds, in slot order.
    const std::vector<int> order = recorder.order();
    for (std::size_t i = 0; i < steady; ++i)
        QCOMPARE(order[i], int(i % 8 + 1));

    ticker.setProgress(5, 42.0f);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.last()[5], 42, 2000);
    ticker.setStopFlag(1);
    QVERIFY(ticker.wait(5000));
}

void tst_ProcessBarThread::onlyTheStopFlagEndsTheLoop()
{
    {
        processbarthread ticker;
        TickRecorder recorder(&ticker);
        ticker.setStopFlag(1);
        ticker.start();
        QVERIFY(ticker.wait(2000));
        QVERIFY(recorder.order().empty());
    }
    processbarthread ticker;
    TickRecorder recorder(&ticker);
    ticker.start();
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.order().empty(), 3000);
    ticker.quit(); // the loop has no event loop: only the flag ends it
    QVERIFY(!ticker.wait(100));
    ticker.setStopFlag(1);
    // One cycle is 10 ms; a generous bound keeps a loaded machine from failing it.
    QVERIFY(ticker.wait(2000));
    const std::size_t emitted = recorder.order().size();
    QTest::qWait(50);
    QCOMPARE(recorder.order().size(), emitted);
}

void tst_ProcessBarThread::extremeValuesAndIndices()
{
    QCOMPARE(processbarthread::toWholePercent(99.99f), 99);
    QCOMPARE(processbarthread::toWholePercent(-0.5f), 0);
    QCOMPARE(processbarthread::toWholePercent(-3.7f), -3);
    QCOMPARE(processbarthread::toWholePercent(std::numeric_limits<float>::quiet_NaN()), 0);
    // Far beyond int range (the "break" path has no bound): clamped, not undefined.
    QVERIFY(processbarthread::toWholePercent(1e20f) > 2000000000);
    QVERIFY(processbarthread::toWholePercent(std::numeric_limits<float>::infinity()) > 2000000000);
    QVERIFY(processbarthread::toWholePercent(-1e20f) < -2000000000);

    processbarthread ticker;
    ticker.setProgress(-1, 50.0f);
    ticker.setProgress(8, 50.0f);
    for (int i = -1; i <= 8; ++i)
        QCOMPARE(ticker.progressAt(i), 0.0f);
}

QTEST_GUILESS_MAIN(tst_ProcessBarThread)
#include "tst_processbarthread.moc"
