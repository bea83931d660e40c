// The simulated bench's state file under readers and writers at once, as the
// tools of a batch read it while the bench driver plugs more boards. Also run
// under wine: Windows refuses to replace a file that a reader holds open.

#include "tools/benchcommon/benchstate.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class tst_BenchState : public QObject
{
    Q_OBJECT

private slots:
    // Every plug is written while two readers read without pause, and every
    // reading is a whole state: the ports in plug order, none missing between.
    void writesWhileRead()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString bench = dir.path();
        std::atomic<bool> done{false};
        std::atomic<int> reads{0}, torn{0};
        std::vector<std::thread> readers;
        for (int r = 0; r < 2; ++r) {
            readers.emplace_back([&] {
                while (!done) {
                    const Bench::State s = Bench::load(bench);
                    for (int i = 0; i < s.ports.size(); ++i) {
                        if (s.ports.at(i).level != QChar(QLatin1Char('A' + i)))
                            ++torn;
                    }
                    ++reads;
                }
            });
        }
        QStringList failures;
        constexpr int kPlugs = 26;
        for (int i = 0; i < kPlugs; ++i) {
            QString error;
            const bool written = Bench::update(
                bench,
                [i](Bench::State &s) {
                    s.ports.append({QLatin1Char('A' + i), QLatin1Char('1'), QStringLiteral("ok")});
                },
                &error);
            if (!written)
                failures << error;
            // Let the readers open the file between writes.
            while (reads.load() < 2 * (i + 1))
                std::this_thread::yield();
        }
        done = true;
        for (std::thread &t : readers)
            t.join();
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
        QCOMPARE(torn.load(), 0);
        QCOMPARE(Bench::load(bench).ports.size(), kPlugs);
    }
};

QTEST_GUILESS_MAIN(tst_BenchState)
#include "tst_benchstate.moc"
