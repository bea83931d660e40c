// Packages of any shape through the unpacker. Each input is written as <run>/package.zip (in
// memory-backed storage where there is one) and unpacked into <run>/a/dest from an empty working
// directory. Half of the inputs find dest already there with links in it that point outside.
// Afterwards <run>/a holds nothing but dest (nothing at all after a failure without an earlier dest),
// the folder outside and the working directory are untouched, and the only links below dest are the
// planted ones.
#include "fuzzcheck.h"
#include "package/packageextractor.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <csignal>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QString g_base; // this process's folder, removed at exit
const QDir::Filters kAll = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

QStringList names(const QString &folder)
{
    return QDir(folder).entryList(kAll);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    // A bomb in a tiny input must not fill the memory-backed folder: a write past this limit fails with
    // EFBIG, which the unpacker reports.
    const rlimit limit{64u << 20, 64u << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    const QString parent =
        QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    // One folder per process: a crash skips the removal at exit, so those of processes gone go here.
    for (const QString &name : QDir(parent).entryList({QStringLiteral("quor-fuzz-package-*")}, QDir::Dirs)) {
        const long pid = name.section(QLatin1Char('-'), -1).toLong();
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            QDir(parent + QLatin1Char('/') + name).removeRecursively();
    }
    g_base = parent + QStringLiteral("/quor-fuzz-package-") + QString::number(::getpid());
    QDir(g_base).removeRecursively();
    FUZZ_CHECK(QDir().mkpath(g_base + QStringLiteral("/cwd")));
    std::atexit([] { QDir(g_base).removeRecursively(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString run = g_base + QStringLiteral("/run"), outside = run + QStringLiteral("/outside");
    const QString a = run + QStringLiteral("/a"), dest = a + QStringLiteral("/dest");
    const QString cwd = g_base + QStringLiteral("/cwd");
    QDir(run).removeRecursively(); // removes links, never what they point to
    QFile zip(run + QStringLiteral("/package.zip")), target(outside + QStringLiteral("/target"));
    FUZZ_CHECK(QDir().mkpath(outside) && QDir().mkpath(a) && zip.open(QIODevice::WriteOnly) &&
               zip.write(fuzzBytes(data, size)) == qint64(size) && target.open(QIODevice::WriteOnly) &&
               target.write("keep") == 4);
    zip.close();
    target.close();

    std::map<QString, QString> planted;     // path below dest -> link target
    if (qHash(fuzzBytes(data, size)) & 1) { // the same for the same input, whatever the run
        FUZZ_CHECK(QDir().mkpath(dest + QStringLiteral("/sub")));
        planted = {{QStringLiteral("in"), outside},
                   {QStringLiteral("file"), target.fileName()},
                   {QStringLiteral("sub/up"), outside},
                   {QStringLiteral("sub/dangling"), outside + QStringLiteral("/new")}};
        for (const auto &link : planted)
            FUZZ_CHECK(QFile::link(link.second, dest + QLatin1Char('/') + link.first));
    }

    // From inside an empty working directory; libFuzzer's own relative paths need the original back.
    const QString home = QDir::currentPath();
    FUZZ_CHECK(QDir::setCurrent(cwd));
    UnpackProgress progress;
    const UnpackResult result = unpackPackage(zip.fileName(), dest, &progress);
    FUZZ_CHECK(QDir::setCurrent(home));

    FUZZ_CHECK(result.ok || !result.messages.isEmpty()); // a failure always says why
    FUZZ_CHECK(progress.bytesDone.load() == result.bytesWritten);
    FUZZ_CHECK(names(run) ==
               (QStringList{QStringLiteral("a"), QStringLiteral("outside"), QStringLiteral("package.zip")}));
    FUZZ_CHECK(names(outside) == QStringList{QStringLiteral("target")} && !QFileInfo(target).isSymLink() &&
               target.open(QIODevice::ReadOnly) && target.readAll() == "keep");
    FUZZ_CHECK(names(cwd).isEmpty());
    if (!result.ok && planted.empty()) {
        FUZZ_CHECK(names(a).isEmpty()); // no half folder left to burn
    } else {
        FUZZ_CHECK(names(a) == QStringList{QStringLiteral("dest")} && QFileInfo(dest).isDir() &&
                   !QFileInfo(dest).isSymLink());
        for (QDirIterator it(dest, kAll, QDirIterator::Subdirectories); it.hasNext();) {
            const QString path = it.next();
            const auto link = planted.find(path.mid(dest.size() + 1));
            FUZZ_CHECK(!it.fileInfo().isSymLink() ||
                       (link != planted.end() && it.fileInfo().symLinkTarget() == link->second));
        }
    }
    return 0;
}
