// Port health: the Wilson interval, counting records per port, the flag, the
// window's warning and, on seeded simulated batches, how fast a worn cable is
// found and how seldom a healthy port is blamed.
#include "records/porthealth.h"

#include <QtTest>

#include <random>

using Records::Result;

class tst_PortHealth : public QObject
{
    Q_OBJECT
private slots:
    void wilson();
    void countsAndFlags();
    void seededBatches();
};

void tst_PortHealth::wilson()
{
    // Failures of boards and the reference values of the 95 % Wilson score interval.
    for (const char *row : {"0/10 0.0000 0.2775", "10/10 0.7225 1.0000", "2/100 0.0055 0.0700",
                            "15/100 0.0931 0.2328", "0/0 0.0000 1.0000"}) {
        const QStringList counts = QString(row).section(' ', 0, 0).split('/');
        const Records::Interval in = Records::wilsonInterval(counts.at(0).toInt(), counts.at(1).toInt());
        QCOMPARE(QString::asprintf("%s %.4f %.4f", qPrintable(counts.join('/')), in.low, in.high), row);
    }
}

// The records quor_records ports counts, and the window's watch fed bench B1's boards.
void tst_PortHealth::countsAndFlags()
{
    QVector<Records::BoardRecord> records;
    Records::PortWatch watch;
    const auto add = [&](const QString &bench, const QString &port, Result result, int times) {
        for (int i = 0; i < times; ++i) {
            Records::BoardRecord r;
            r.bench = bench;
            r.port = port;
            r.result = result;
            records.append(r);
            if (bench == "B1")
                watch.boardFinished(port, result);
        }
    };
    QCOMPARE(watch.warning(), QString());
    // Bench B1: port 2,2 fails 30 of 100, the others 2 of 100 each.
    for (const char *port : {"2,1", "2,3", "2,4"}) {
        add("B1", port, Result::Success, 98);
        add("B1", port, Result::CommFailed, 2);
    }
    add("B1", "2,2", Result::Success, 70);
    add("B1", "2,2", Result::DownloadFailed, 20);
    add("B1", "2,2", Result::Watchdog, 10);
    add("B1", "2,2", Result::Stopped, 50); // the operator's stops are not the port's
    add("B1", "", Result::NotFound, 40);   // the single-board tool picks its board itself
    // Bench B2: the same failing counts spread evenly: nothing stands out.
    for (const char *port : {"1,1", "1,2"}) {
        add("B2", port, Result::Success, 70);
        add("B2", port, Result::TooLarge, 30);
    }
    // A bench with one port has nothing to compare it with.
    add("B3", "3,1", Result::Success, 1);
    add("B3", "3,1", Result::ToolCrashed, 99);

    // As quor_records ports shows them: the rate, its 95 % interval and the flag.
    const QString fine = "\t100\t2\t2.0%\t0.6%\t7.0%\t", worn = "\t100\t30\t30.0%\t21.9%\t39.6%\t";
    QCOMPARE(
        Records::portHealthTable(Records::portHealth(Records::countPorts(records))).split('\n'),
        QStringList({"bench\tport\tboards\tfailures\tfailure_rate\tci95_low\tci95_high\tflag",
                     "B1\t2,1" + fine, "B1\t2,2" + worn + "check cable", "B1\t2,3" + fine, "B1\t2,4" + fine,
                     "B2\t1,1" + worn, "B2\t1,2" + worn, "B3\t3,1\t100\t99\t99.0%\t94.6%\t99.8%\t", ""}));
    QCOMPARE(watch.warning(), QStringLiteral("port 2,2 fails 30 %: check its cable"));
    // A second worn port is named after the first.
    add("B1", "2,5", Result::Success, 55);
    add("B1", "2,5", Result::Watchdog, 45);
    QCOMPARE(watch.warning(),
             QStringLiteral("port 2,2 fails 30 %: check its cable; port 2,5 fails 45 %: check its cable"));
}

namespace {

// Burns up to `boards` boards round the bench's eight ports (2,1 .. 2,8), drawn
// from `seed`: port index `worn` fails at wornRate, the others at 2 %. After each
// board, seen(the watch's warning) says whether to stop.
template <typename Seen> void burn(unsigned seed, int worn, double wornRate, int boards, Seen seen)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    Records::PortWatch watch;
    for (int board = 1; board <= boards; ++board) {
        const int port = (board - 1) % 8;
        watch.boardFinished(QStringLiteral("2,%1").arg(port + 1),
                            draw(random) < (port == worn ? wornRate : 0.02) ? Result::CommFailed
                                                                            : Result::Success);
        if (seen(watch.warning()))
            return;
    }
}

} // namespace

void tst_PortHealth::seededBatches()
{
    // Port 2,2 fails 15 %, the others 2 %: named within 2000 boards (250 on
    // the port) in each of 100 seeded batches, and nothing else is named.
    for (unsigned seed = 1; seed <= 100; ++seed) {
        QString warning;
        burn(seed, 1, 0.15, 2000, [&](const QString &named) { return !(warning = named).isEmpty(); });
        QVERIFY2(warning.startsWith("port 2,2 fails ") && warning.endsWith(" %: check its cable") &&
                     !warning.contains(';'),
                 qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(warning)));
    }

    // Eight healthy ports at 2 %: over 100 seeded runs of 4000 boards, the
    // share of boards after which some port is named stays under 1 %.
    int named = 0;
    for (unsigned seed = 1001; seed <= 1100; ++seed)
        burn(seed, -1, 0.0, 4000,
             [&named](const QString &warning) { return (named += !warning.isEmpty()) < 0; });
    QVERIFY2(named < 4000, qPrintable(QString::number(named / 4000.0) + " %"));
}

QTEST_MAIN(tst_PortHealth)
#include "tst_porthealth.moc"
