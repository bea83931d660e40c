// Compares the staging copy with `cp` on one large file in the same run.
// Both copies start from the same warm state: the source stays in the page
// cache, each destination is removed and everything synced before the next
// timed copy, and the order alternates so neither side always goes first.
//
//   bench_copy [--size-mib N] [--repeat N] [--dir FOLDER]
//
// Defaults: 1024 MiB, 7 repeats, a temporary folder under the current one.

#include "platform/filecopy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

struct Series
{
    const char *name;
    std::vector<double> seconds;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

bool makeSource(const QString &path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    std::vector<quint64> block((4 << 20) / sizeof(quint64));
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (qint64 written = 0; written < bytes;) {
        for (quint64 &w : block) { // xorshift: incompressible, fast to make
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const qint64 n = std::min<qint64>(bytes - written, qint64(block.size() * sizeof(quint64)));
        if (f.write(reinterpret_cast<const char *>(block.data()), n) != n)
            return false;
        written += n;
    }
    return f.flush();
}

// Reads the file once so that it sits in the page cache for every copy.
void warm(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    QByteArray buffer(4 << 20, Qt::Uninitialized);
    while (f.read(buffer.data(), buffer.size()) > 0) {
    }
}

bool sameContent(const QString &a, const QString &b)
{
    return QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), a, b}) == 0;
}

double timeOurs(const QString &src, const QString &dst, FileCopy::Method method)
{
    QString error;
    QElapsedTimer t;
    t.start();
    const bool ok =
        FileCopy::copyFileUsing(method, src, dst, &error, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const double s = double(t.nsecsElapsed()) / 1e9;
    if (!ok) {
        std::fprintf(stderr, "copy failed: %s\n", qPrintable(error));
        std::exit(1);
    }
    return s;
}

double timeCp(const QString &src, const QString &dst)
{
    QElapsedTimer t;
    t.start();
    const int rc = QProcess::execute(QStringLiteral("cp"), {src, dst});
    const double s = double(t.nsecsElapsed()) / 1e9;
    if (rc != 0) {
        std::fprintf(stderr, "cp failed with %d\n", rc);
        std::exit(1);
    }
    return s;
}

void settle(const QString &dst)
{
    QFile::remove(dst);
    ::sync();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 sizeMiB = 1024;
    int repeat = 7;
    QString dir;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--size-mib"))
            sizeMiB = args.at(i + 1).toLongLong();
        else if (args.at(i) == QLatin1String("--repeat"))
            repeat = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--dir"))
            dir = args.at(i + 1);
    }
    if (sizeMiB <= 0 || repeat <= 0) {
        std::fprintf(stderr, "usage: bench_copy [--size-mib N] [--repeat N] [--dir FOLDER]\n");
        return 2;
    }

    QTemporaryDir tmp(dir.isEmpty() ? QStringLiteral("bench_copy-XXXXXX")
                                    : dir + QStringLiteral("/bench_copy-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString src = tmp.filePath(QStringLiteral("source.img"));
    const QString dst = tmp.filePath(QStringLiteral("copy.img"));
    const qint64 bytes = sizeMiB << 20;
    if (!makeSource(src, bytes)) {
        std::fprintf(stderr, "cannot write the source file\n");
        return 1;
    }
    ::sync();
    warm(src);

    // Warm-up round, with a content check of each side.
    timeOurs(src, dst, FileCopy::Method::Best);
    const bool oursSame = sameContent(src, dst);
    settle(dst);
    timeCp(src, dst);
    settle(dst);
    if (!oursSame) {
        std::fprintf(stderr, "our copy differs from the source\n");
        return 1;
    }

    Series ours{"ours (copy_file_range)", {}}, sent{"ours (sendfile)", {}},
        buffered{"ours (buffer loop)", {}}, cp{"cp", {}};
    for (int i = 0; i < repeat; ++i) {
        if (i % 2 == 0) {
            ours.seconds.push_back(timeOurs(src, dst, FileCopy::Method::Best));
            settle(dst);
            cp.seconds.push_back(timeCp(src, dst));
            settle(dst);
        } else {
            cp.seconds.push_back(timeCp(src, dst));
            settle(dst);
            ours.seconds.push_back(timeOurs(src, dst, FileCopy::Method::Best));
            settle(dst);
        }
        sent.seconds.push_back(timeOurs(src, dst, FileCopy::Method::SendFile));
        settle(dst);
        buffered.seconds.push_back(timeOurs(src, dst, FileCopy::Method::Buffer));
        settle(dst);
    }

    std::printf("file: %lld MiB on %s, %d timed copies per side, order alternating\n",
                static_cast<long long>(sizeMiB), qPrintable(tmp.path()), repeat);
    std::printf("%-24s %9s %9s %9s %10s\n", "", "median s", "min s", "max s", "MiB/s");
    for (const Series *s : {&cp, &ours, &sent, &buffered}) {
        const double med = median(s->seconds);
        const auto [lo, hi] = std::minmax_element(s->seconds.begin(), s->seconds.end());
        std::printf("%-24s %9.3f %9.3f %9.3f %10.0f\n", s->name, med, *lo, *hi, double(sizeMiB) / med);
    }
    std::printf("speed ratio ours/cp (median): %.3f\n", median(cp.seconds) / median(ours.seconds));
    std::printf("speed ratio sendfile/cp (median): %.3f\n", median(cp.seconds) / median(sent.seconds));
    std::printf("speed ratio buffer loop/cp (median): %.3f\n", median(cp.seconds) / median(buffered.seconds));
    return 0;
}
