// Benchmark of the package unpack against bsdtar and unzip in the same run.
//
// Makes a 1 GiB package (nested folders; large stored incompressible images,
// large deflated compressible images, many small files of both kinds), then
// times `quor_unpack` (two workers and one, and two workers without the
// package's SHA-256 and stamp), `bsdtar -xf` and `unzip -q`, each as a child
// process into a fresh folder, interleaved, N runs. Prints median, spread,
// ratio against bsdtar, each child's peak memory (ru_maxrss) and what hashing
// the package adds to the unpack, and checks that our output equals bsdtar's.
// The package is signed with minisign (a key made for the run), and a third
// variant unpacks it with the signature checked (BLAKE2b-512 beside the
// SHA-256), to show what verification adds to the hashed unpack.
// --hash-only runs just the three quor_unpack variants that these costs
// compare; --cold drops the package from the page cache before every run, as
// after a reboot (otherwise it is read from memory, as just after copying it).
// With --zip64 it also unpacks one 4.5 GiB deflated entry and
// verifies it byte by byte.
//
// Usage: bench_package [--dir D] [--runs N] [--hash-only] [--cold] [--zip64] [--keep]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Fast deterministic filler.
struct XorShift
{
    quint64 s;
    quint64 next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

void fillNoise(QByteArray *block, quint64 seed)
{
    XorShift rng{seed * 0x9E3779B97F4A7C15ull + 1};
    for (int i = 0; i + 8 <= block->size(); i += 8) {
        const quint64 v = rng.next();
        std::memcpy(block->data() + i, &v, 8);
    }
}

// Text-like data that deflates to about a third.
void fillText(QByteArray *block, quint64 seed)
{
    static const char *const words[] = {"partition ", "rootfs ",  "0x7352 ", "kernel ", "bootloader ",
                                        "offset ",    "length\n", "crc ",    "image ",  "board "};
    XorShift rng{seed * 0x9E3779B97F4A7C15ull + 7};
    int at = 0;
    while (at < block->size()) {
        const quint64 v = rng.next();
        const char *w = words[v % 10];
        const int n = std::min<int>(static_cast<int>(std::strlen(w)), block->size() - at);
        std::memcpy(block->data() + at, w, static_cast<size_t>(n));
        at += n;
        if (at + 4 <= block->size() && (v >> 32) % 5 == 0) {
            const quint32 number = static_cast<quint32>(v >> 8);
            std::memcpy(block->data() + at, &number, 4); // a little noise between words
            at += 4;
        }
    }
}

struct ArchiveWriter
{
    std::unique_ptr<archive, int (*)(archive *)> a{archive_write_new(), archive_write_free};

    bool open(const QString &path, const char *options)
    {
        archive_write_set_format_zip(a.get());
        if (options && archive_write_set_options(a.get(), options) != ARCHIVE_OK)
            return false;
        return archive_write_open_filename(a.get(), QFile::encodeName(path).constData()) == ARCHIVE_OK;
    }

    // Writes one file of size bytes; fill(block, index) produces each 1 MiB block.
    template <typename Fill> bool add(const QString &name, qint64 size, bool deflate, Fill fill)
    {
        if (deflate)
            archive_write_zip_set_compression_deflate(a.get());
        else
            archive_write_zip_set_compression_store(a.get());
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(e.get(), name.toUtf8().constData());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        archive_entry_set_size(e.get(), size);
        archive_entry_set_mtime(e.get(), 1700000000, 0);
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK)
            return false;
        QByteArray block(static_cast<int>(kMiB), Qt::Uninitialized);
        for (qint64 done = 0, index = 0; done < size; ++index) {
            fill(&block, index);
            const qint64 n = std::min<qint64>(kMiB, size - done);
            if (archive_write_data(a.get(), block.constData(), static_cast<size_t>(n)) != n)
                return false;
            done += n;
        }
        return true;
    }

    bool close() { return archive_write_close(a.get()) == ARCHIVE_OK; }
};

// A key pair made for this run, and zip.minisig beside the package; the public key's base64 line.
QString signPackage(const QString &dir, const QString &zip)
{
    const QString pub = dir + QStringLiteral("/bench.pub");
    const QString key = dir + QStringLiteral("/bench.key");
    auto run = [](const QStringList &args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("minisign"), args);
        p.closeWriteChannel();
        return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    if (!run({QStringLiteral("-G"), QStringLiteral("-f"), QStringLiteral("-W"), QStringLiteral("-p"), pub,
              QStringLiteral("-s"), key}) ||
        !run({QStringLiteral("-S"), QStringLiteral("-s"), key, QStringLiteral("-m"), zip,
              QStringLiteral("-t"), QStringLiteral("benchmark package")}))
        return QString();
    QFile file(pub);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().split('\n').value(1).trimmed())
                                          : QString();
}

bool makePackage(const QString &path)
{
    ArchiveWriter w;
    if (!w.open(path, nullptr))
        return false;
    quint64 seed = 1;
    bool ok = true;
    // 4 x 128 MiB incompressible (stored), 4 x 96 MiB compressible (deflated) = 896 MiB.
    for (int i = 0; i < 4 && ok; ++i) {
        const quint64 s = seed++;
        ok = w.add(QStringLiteral("images/board%1/system/rootfs_%1.img").arg(i), 128 * kMiB, false,
                   [s](QByteArray *b, qint64 k) { fillNoise(b, s * 100000 + static_cast<quint64>(k)); });
        const quint64 t = seed++;
        ok = ok && w.add(QStringLiteral("images/board%1/data/userdata_%1.img").arg(i), 96 * kMiB, true,
                         [t](QByteArray *b, qint64 k) { fillText(b, t * 100000 + static_cast<quint64>(k)); });
    }
    // 256 x 512 KiB small files in nested folders, half of each kind = 128 MiB.
    for (int i = 0; i < 256 && ok; ++i) {
        const quint64 s = seed++;
        const bool text = i % 2 == 0;
        const QString name =
            QStringLiteral("images/extra/set%1/part%2/blob_%3.bin").arg(i % 4).arg(i % 16).arg(i);
        ok = w.add(name, 512 * 1024, text, [s, text](QByteArray *b, qint64) {
            if (text)
                fillText(b, s);
            else
                fillNoise(b, s);
        });
    }
    return w.close() && ok;
}

struct Run
{
    double seconds = -1;
    double cpuSeconds = 0; // user + system
    long maxRssKiB = 0;
    int exitCode = -1;
};

// Runs a program as a child and measures its wall time and peak memory.
Run runChild(const QStringList &command)
{
    std::vector<QByteArray> args;
    for (const QString &a : command)
        args.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout); // or the child would print our buffered lines again
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (FILE *null = std::freopen("/dev/null", "w", stdout))
            static_cast<void>(null);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    Run run;
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        run.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        run.maxRssKiB = usage.ru_maxrss;
        run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    return run;
}

// Drops the file's pages from the page cache (clean pages of this file only).
void dropFromCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

bool sameTree(const QString &a, const QString &b)
{
    QProcess diff;
    diff.start(QStringLiteral("diff"),
               {QStringLiteral("-rq"), QStringLiteral("-x"), QStringLiteral(".quor-package-stamp"), a, b});
    return diff.waitForFinished(-1) && diff.exitStatus() == QProcess::NormalExit && diff.exitCode() == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One 4.5 GiB deflated entry (zip64), unpacked and compared block by block.
int checkZip64(const QString &dir, const QString &unpacker)
{
    const QString zip = dir + QStringLiteral("/big.zip");
    const qint64 size = 4608 * kMiB;
    auto fill = [](QByteArray *b, qint64 k) {
        fillText(b, 4242);
        std::memcpy(b->data(), &k, sizeof k); // every block differs
    };
    std::printf("zip64: writing a %lld MiB entry ...\n", static_cast<long long>(size / kMiB));
    std::fflush(stdout);
    {
        ArchiveWriter w;
        if (!w.open(zip, "zip:compression-level=1") ||
            !w.add(QStringLiteral("huge/system.img"), size, true, fill) || !w.close()) {
            std::printf("zip64: FAILED to write the package\n");
            return 1;
        }
    }
    const QString dest = dir + QStringLiteral("/big_out/QuorBurnImage/");
    const Run run = runChild({unpacker, zip, dest});
    bool same = run.exitCode == 0;
    QFile out(dest + QStringLiteral("huge/system.img"));
    same = same && out.open(QIODevice::ReadOnly) && out.size() == size;
    QByteArray expected(static_cast<int>(kMiB), Qt::Uninitialized);
    for (qint64 k = 0; same && k * kMiB < size; ++k) {
        fill(&expected, k);
        same = out.read(kMiB) == expected;
    }
    std::printf("zip64: unpack %.2f s, peak %.1f MiB, content %s\n", run.seconds,
                static_cast<double>(run.maxRssKiB) / 1024.0, same ? "identical" : "WRONG");
    QFile::remove(zip);
    QDir(dir + QStringLiteral("/big_out")).removeRecursively();
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    QString dir = QDir::tempPath() + QStringLiteral("/quor-bench-package");
    int runs = 3;
    const bool zip64 = args.contains(QStringLiteral("--zip64"));
    const bool keep = args.contains(QStringLiteral("--keep"));
    const bool hashOnly = args.contains(QStringLiteral("--hash-only"));
    const bool cold = args.contains(QStringLiteral("--cold"));
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--dir"))
            dir = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--runs"))
            runs = std::max(1, args.at(i + 1).toInt());
    }
    const QString unpacker = QCoreApplication::applicationDirPath() + QStringLiteral("/quor_unpack");
    if (!QDir().mkpath(dir)) {
        std::printf("cannot create %s\n", qPrintable(dir));
        return 1;
    }
    const QString zip = dir + QStringLiteral("/images.zip");
    if (!QFile::exists(zip)) {
        std::printf("making the 1 GiB package in %s ...\n", qPrintable(dir));
        std::fflush(stdout);
        if (!makePackage(zip)) {
            std::printf("FAILED to make the package\n");
            return 1;
        }
    }
    std::printf("package: %s, %.0f MiB on disk, %s\n", qPrintable(zip),
                static_cast<double>(QFileInfo(zip).size()) / static_cast<double>(kMiB),
                cold ? "dropped from the page cache before every run" : "in the page cache");

    struct Tool
    {
        const char *name = "";
        std::function<QStringList(const QString &)> command;
        std::vector<double> times;
        std::vector<double> cpu;
        long peakKiB = 0;
        bool failed = false;
        bool needsFolder = false; // bsdtar and unzip expect an existing folder
    };
    std::vector<Tool> tools;
    auto addTool = [&tools](const char *name, std::function<QStringList(const QString &)> command,
                            bool needsFolder = false) {
        Tool tool;
        tool.name = name;
        tool.command = std::move(command);
        tool.needsFolder = needsFolder;
        tools.push_back(std::move(tool));
    };
    // The first three are the hash and signature comparisons; their order turns from run to run.
    addTool("quor_unpack (auto: 2 workers)", [&](const QString &d) { return QStringList{unpacker, zip, d}; });
    addTool("quor_unpack (no hash, auto)", [&](const QString &d) {
        return QStringList{unpacker, zip, d, QStringLiteral("0"), QStringLiteral("--no-hash")};
    });
    const QString publicKey = signPackage(dir, zip);
    if (publicKey.isEmpty()) {
        std::printf("FAILED to sign the package with minisign\n");
        return 1;
    }
    addTool("quor_unpack (verified, auto)", [&](const QString &d) {
        return QStringList{unpacker, zip, d, QStringLiteral("0"), QStringLiteral("--verify"), publicKey};
    });
    const size_t hashed = 0;
    const size_t unhashed = 1;
    const size_t verified = 2;
    size_t bsdtar = tools.size();
    if (!hashOnly) {
        addTool("quor_unpack (1 worker)", [&](const QString &d) {
            return QStringList{unpacker, zip, d, QStringLiteral("1")};
        });
        bsdtar = tools.size();
        addTool(
            "bsdtar -xf",
            [&](const QString &d) {
                return QStringList{QStringLiteral("bsdtar"), QStringLiteral("-xf"), zip, QStringLiteral("-C"),
                                   d};
            },
            true);
        addTool(
            "unzip -q",
            [&](const QString &d) {
                return QStringList{QStringLiteral("unzip"), QStringLiteral("-q"), zip, QStringLiteral("-d"),
                                   d};
            },
            true);
    }
    const QString stampName = QStringLiteral(".quor-package-stamp");
    auto out = [&dir](size_t t) -> QString { return dir + QStringLiteral("/out%1/QuorBurnImage").arg(t); };

    bool identical = true;
    bool stamps = true;
    for (int r = 0; r < runs; ++r) {
        std::vector<size_t> order;
        for (size_t t = 0; t < tools.size(); ++t)
            order.push_back(t);
        std::rotate(order.begin(), order.begin() + r % 3, order.begin() + 3);
        for (const size_t t : order) {
            const QString dest = out(t);
            QDir(dest).removeRecursively();
            ::sync(); // earlier output's write-back must not land in this run
            if (tools[t].needsFolder)
                QDir().mkpath(dest);
            if (cold)
                dropFromCache(zip);
            const Run run = runChild(tools[t].command(dest));
            tools[t].failed = tools[t].failed || run.exitCode != 0;
            tools[t].times.push_back(run.seconds);
            tools[t].cpu.push_back(run.cpuSeconds);
            tools[t].peakKiB = std::max(tools[t].peakKiB, run.maxRssKiB);
            std::printf("run %d %-30s %6.2f s  cpu %6.2f s  exit %d\n", r + 1, tools[t].name, run.seconds,
                        run.cpuSeconds, run.exitCode);
            std::fflush(stdout);
        }
        if (r == 0) {
            // Only the hashing unpacks leave a stamp; apart from it all trees are the same.
            stamps = QFileInfo(out(hashed) + QLatin1Char('/') + stampName).isFile() &&
                     QFileInfo(out(verified) + QLatin1Char('/') + stampName).isFile() &&
                     !QFileInfo::exists(out(unhashed) + QLatin1Char('/') + stampName);
            const size_t reference = hashOnly ? hashed : bsdtar;
            for (size_t t = 0; t < tools.size() && !hashOnly; ++t)
                if (t != reference && !tools[t].needsFolder)
                    identical = sameTree(out(t), out(reference)) && identical;
            if (hashOnly)
                identical = sameTree(out(unhashed), out(hashed)) && sameTree(out(unhashed), out(verified));
        }
    }
    for (size_t t = 0; t < tools.size(); ++t)
        QDir(dir + QStringLiteral("/out%1").arg(t)).removeRecursively();

    const double reference = median(tools[bsdtar < tools.size() ? bsdtar : hashed].times);
    std::printf("\n%-30s %9s %17s %12s %10s %10s\n", "tool", "median s", "spread (min-max)",
                hashOnly ? "vs hashed" : "vs bsdtar", "cpu s", "peak MiB");
    for (const Tool &t : tools) {
        const auto [lo, hi] = std::minmax_element(t.times.begin(), t.times.end());
        const double m = median(t.times);
        std::printf("%-30s %9.2f %8.2f-%-8.2f %11.2fx %10.2f %10.1f%s\n", t.name, m, *lo, *hi, reference / m,
                    median(t.cpu), static_cast<double>(t.peakKiB) / 1024.0, t.failed ? "  FAILED" : "");
    }
    std::printf("output identical to %s: %s\n", hashOnly ? "the unhashed unpack's" : "bsdtar's",
                identical ? "yes" : "NO");
    std::printf("stamp written by the hashing unpacks only: %s\n", stamps ? "yes" : "NO");

    // Both the ratio of the medians and the median of the per-run ratios (each
    // run's variants ran back to back, so the load they met was alike).
    auto overhead = [&tools](const char *what, size_t a, size_t b) {
        std::vector<double> pairs;
        for (size_t i = 0; i < tools[a].times.size() && i < tools[b].times.size(); ++i)
            pairs.push_back(tools[a].times[i] / tools[b].times[i]);
        const double with = median(tools[a].times);
        const double without = median(tools[b].times);
        std::printf("%s: %.2f s with, %.2f s without: %+.1f %% (per-run pairs: median %+.1f %%, "
                    "cpu %+.2f s)\n",
                    what, with, without, (with / without - 1) * 100, (median(pairs) - 1) * 100,
                    median(tools[a].cpu) - median(tools[b].cpu));
    };
    overhead("hash overhead", hashed, unhashed);
    overhead("signature check overhead (verified vs hashed)", verified, hashed);

    bool ours = true;
    for (const Tool &t : tools)
        ours = ours && (t.needsFolder || !t.failed);
    int status = identical && stamps && ours ? 0 : 1;
    if (zip64)
        status |= checkZip64(dir, unpacker);
    if (!keep)
        QDir(dir).removeRecursively();
    return status;
}
