#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

// Runs the built bench programs as real processes for the tests. The event
// loop keeps running while a program runs, so a device source living in the
// test process can answer the bench driver.
struct RunResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// Where the built programs are: QUOR_BIN_DIR under ctest, else beside the test.
inline QString binDir()
{
    const QByteArray dir = qgetenv("QUOR_BIN_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : QString::fromLocal8Bit(dir);
}

// "a b c" as the argument list a, b, c.
inline QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

inline QProcessEnvironment benchEnvironment(const QString &benchDir, int delayMs = 1)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USB_DL_BENCH"), benchDir);
    env.insert(QStringLiteral("USB_DL_SIM_DELAY_MS"), QString::number(delayMs));
    return env;
}

inline RunResult runProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env,
                            int timeoutMs = 30000)
{
    RunResult r;
    QProcess p;
    p.setProcessEnvironment(env);
    QEventLoop loop;
    QObject::connect(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QObject::connect(&p, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    p.start(program, args);
    loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    } else {
        r.finished = p.error() != QProcess::FailedToStart;
    }
    r.exitCode = p.exitCode();
    r.exitStatus = p.exitStatus();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline RunResult runTool(const QString &benchDir, const QStringList &args, int delayMs = 1)
{
    return runProgram(binDir() + QStringLiteral("/usb_dl"), args, benchEnvironment(benchDir, delayMs));
}

inline RunResult runBench(const QString &benchDir, const QStringList &args)
{
    return runProgram(binDir() + QStringLiteral("/usb_dl_bench"), args, benchEnvironment(benchDir));
}

// The lines of CRLF-terminated output; the text after the last CRLF is
// dropped, as the callers of the tool do.
inline QList<QByteArray> crlfLines(const QByteArray &out)
{
    QList<QByteArray> lines;
    int from = 0;
    for (int at = out.indexOf("\r\n", from); at >= 0; at = out.indexOf("\r\n", from)) {
        lines << out.mid(from, at - from);
        from = at + 2;
    }
    return lines;
}

// The ports "-r" lists, top to bottom, as "L,M" (duplicates kept).
inline QStringList listedPorts(const QString &bench)
{
    QStringList ports;
    const QList<QByteArray> lines = crlfLines(runTool(bench, {QStringLiteral("-r")}).out);
    for (int i = 2; i < lines.size(); ++i) {
        QString level, number;
        for (const QString &f : QString::fromUtf8(lines.at(i)).split(QStringLiteral(", "))) {
            if (f.contains(QLatin1String("portlevel")))
                level = f.right(1);
            if (f.contains(QLatin1String("portnum")))
                number = f.right(1);
        }
        ports << level + QLatin1Char(',') + number;
    }
    return ports;
}
