#include "multi/processbarthread.h"

#include <QtTest>

#include <array>
#include <limits>
#include <mutex>
#include <vector>

class tst_ProcessBarThread : public QObject
{
    Q_OBJECT
    // Emissions recorded on the worker thread itself (direct connections,
    // under a mutex the sanitizer sees): the ticker's own hand-over is checked.
    std::mutex mutex;
    std::array<int, 8> values{};
    std::vector<int> order;
    template <typename T> T read(const T &field)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }
    void record(processbarthread *ticker)
    {
        const std::array<void (processbarthread::*)(int), 8> ticks = {
            &processbarthread::process1, &processbarthread::process2, &processbarthread::process3,
            &processbarthread::process4, &processbarthread::process5, &processbarthread::process6,
            &processbarthread::process7, &processbarthread::process8};
        for (std::size_t slot = 0; slot < 8; ++slot) {
            const auto note = [this, slot](int value) {
                std::lock_guard<std::mutex> lock(mutex);
                values[slot] = value;
                order.push_back(int(slot) + 1);
            };
            connect(ticker, ticks[slot], ticker, note, Qt::DirectConnection);
        }
    }

private slots:
    void valuesReachTheirSlotAtASteadyRhythm()
    {
        processbarthread ticker;
        record(&ticker);
        const std::array<float, 8> set = {9.99f, 100.0f, 0.0f, 50.5f, 99.9f, 0.1f, 10.0f, 33.3f};
        for (int i = 0; i < 8; ++i)
            ticker.setProgress(i, set[std::size_t(i)]);
        QElapsedTimer clock;
        clock.start();
        ticker.start();
        QTRY_VERIFY_WITH_TIMEOUT(read(values) == (std::array<int, 8>{9, 100, 0, 50, 99, 0, 10, 33}), 2000);
        // Steady values go out only with the refresh every 100 ms, as whole
        // rounds in slot order (each 10 ms cycle would give 8; a loaded machine
        // runs fewer cycles, never more).
        QTest::qWait(500);
        const std::vector<int> steady = read(order);
        QVERIFY2(steady.size() <= std::size_t(8 * (clock.elapsed() / 100 + 2)),
                 qPrintable(QString::number(steady.size())));
        for (std::size_t i = 0; i < steady.size(); ++i)
            QCOMPARE(steady[i], int(i % 8 + 1));
        // A change reaches only its own slot, at once.
        ticker.setProgress(3, 77.7f);
        QTRY_COMPARE_WITH_TIMEOUT(read(values)[3], 77, 2000);
        QCOMPARE(read(values)[4], 99);
        ticker.setAllProgress(0.0f);
        QTRY_VERIFY_WITH_TIMEOUT(read(values) == (std::array<int, 8>{}), 2000);
        ticker.quit(); // there is no event loop: only the flag ends it
        QVERIFY(!ticker.wait(100));
        ticker.setStopFlag(1);
        QVERIFY(ticker.wait(5000));
        // A flag set before the start ends the loop before its first emission.
        processbarthread stopped;
        record(&stopped);
        stopped.setStopFlag(1);
        const std::size_t before = read(order).size();
        stopped.start();
        QVERIFY(stopped.wait(2000));
        QCOMPARE(read(order).size(), before);
    }

    void extremeValuesAndIndices()
    {
        QCOMPARE(processbarthread::toWholePercent(99.99f), 99);
        QCOMPARE(processbarthread::toWholePercent(-3.7f), -3);
        QCOMPARE(processbarthread::toWholePercent(std::numeric_limits<float>::quiet_NaN()), 0);
        // Far beyond int range (a "break" line adds without bound): clamped, not undefined.
        QVERIFY(processbarthread::toWholePercent(std::numeric_limits<float>::infinity()) > 2000000000);
        QVERIFY(processbarthread::toWholePercent(-1e20f) < -2000000000);
        processbarthread ticker;
        ticker.setProgress(-1, 50.0f);
        ticker.setProgress(8, 50.0f);
        for (int i = -1; i <= 8; ++i)
            QCOMPARE(ticker.progressAt(i), 0.0f);
    }
};

QTEST_GUILESS_MAIN(tst_ProcessBarThread)
#include "tst_processbarthread.moc"
