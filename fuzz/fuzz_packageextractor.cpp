// Packages of any shape through the unpacker. Each input is written as a zip
// file into a fresh folder (in memory-backed storage where there is one) and
// unpacked into <run>/a/dest. Half of the inputs find dest already there with
// links planted in it that point outside. Afterwards <run>/a must hold nothing
// but dest, the folder the links point to must be untouched, no link other
// than the planted ones may exist below dest, and a failed unpack must leave no
// new dest behind. Each run's folder is removed after it.
#include "fuzzcheck.h"
#include "multi/packageextractor.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_base; // this process's folder, removed at exit
std::string g_cwd;  // the working directory during each unpack

int removeOne(const char *path, const struct stat *, int, struct FTW *)
{
    ::remove(path);
    return 0;
}

void removeTree(const std::string &path)
{
    ::nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS); // never follows links
}

std::set<std::string> names(const std::string &folder)
{
    std::set<std::string> out;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return out;
    while (dirent *d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name != "." && name != "..")
            out.insert(name);
    }
    ::closedir(dir);
    return out;
}

bool isKind(const std::string &path, mode_t kind)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

std::string linkTarget(const std::string &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

void writeFile(const std::string &path, const uint8_t *data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        FUZZ_CHECK(n > 0);
        data += n;
        size -= static_cast<size_t>(n);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

std::string readSmallFile(const std::string &path)
{
    char buffer[64];
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

// Every link below folder must be a planted one with its planted target.
void checkLinks(const std::string &folder, const std::string &relative,
                const std::map<std::string, std::string> &planted)
{
    for (const std::string &name : names(folder)) {
        const std::string path = folder + '/' + name;
        const std::string rel = relative.empty() ? name : relative + '/' + name;
        if (isKind(path, S_IFLNK)) {
            const auto it = planted.find(rel);
            if (it == planted.end() || it->second != linkTarget(path)) {
                std::fprintf(stderr, "link made by the unpack: %s\n", rel.c_str());
                std::abort();
            }
        } else if (isKind(path, S_IFDIR)) {
            checkLinks(path, rel, planted);
        }
    }
}

uint32_t hashOf(const uint8_t *data, size_t size)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    // A bomb in a tiny input must not fill the memory-backed folder: a write
    // past this limit fails with EFBIG, which the unpacker reports.
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 64u * 1024 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);

    struct stat st;
    const bool shm = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0;
    const char *tmp = std::getenv("TMPDIR");
    const std::string parent = shm ? std::string("/dev/shm") : std::string(tmp && *tmp ? tmp : "/tmp");
    // One folder per process, named after it: a crash or an interrupt skips the
    // removal at exit, so folders of processes that are gone are removed here.
    const std::string prefix = "quor-fuzz-package-";
    for (const std::string &name : names(parent)) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            removeTree(parent + '/' + name);
    }
    g_base = parent + '/' + prefix + std::to_string(::getpid());
    removeTree(g_base);
    FUZZ_CHECK(::mkdir(g_base.c_str(), 0700) == 0);
    g_cwd = g_base + "/cwd";
    FUZZ_CHECK(::mkdir(g_cwd.c_str(), 0755) == 0);
    std::atexit([] { removeTree(g_base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string run = g_base + "/run";
    const std::string outside = run + "/outside";
    const std::string a = run + "/a";
    const std::string dest = a + "/dest";
    removeTree(run);
    FUZZ_CHECK(::mkdir(run.c_str(), 0755) == 0 && ::mkdir(outside.c_str(), 0755) == 0 &&
               ::mkdir(a.c_str(), 0755) == 0);
    writeFile(run + "/package.zip", data, size);
    const uint8_t keep[] = {'k', 'e', 'e', 'p'};
    writeFile(outside + "/target", keep, sizeof keep);

    std::map<std::string, std::string> planted; // path below dest -> link target
    const bool plant = hashOf(data, size) & 1;
    if (plant) {
        FUZZ_CHECK(::mkdir(dest.c_str(), 0755) == 0 && ::mkdir((dest + "/sub").c_str(), 0755) == 0);
        planted = {{"in", outside},
                   {"file", outside + "/target"},
                   {"sub/up", outside},
                   {"sub/dangling", outside + "/new"}};
        for (const auto &link : planted)
            FUZZ_CHECK(::symlink(link.second.c_str(), (dest + '/' + link.first).c_str()) == 0);
    }

    // Unpacked from inside an empty working directory, which must stay empty;
    // libFuzzer's own relative paths need the original one back afterwards.
    const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0 && ::chdir(g_cwd.c_str()) == 0);
    UnpackProgress progress;
    const UnpackResult result =
        unpackPackage(QString::fromStdString(run + "/package.zip"), QString::fromStdString(dest), &progress);
    FUZZ_CHECK(::fchdir(home) == 0 && ::close(home) == 0);

    FUZZ_CHECK(result.ok || !result.messages.isEmpty()); // a failure always says why
    FUZZ_CHECK(progress.bytesDone.load() == result.bytesWritten);
    FUZZ_CHECK(names(run) == (std::set<std::string>{"a", "outside", "package.zip"}));
    FUZZ_CHECK(names(outside) == std::set<std::string>{"target"});
    FUZZ_CHECK(isKind(outside + "/target", S_IFREG) && readSmallFile(outside + "/target") == "keep");
    FUZZ_CHECK(names(g_cwd).empty());

    const std::set<std::string> inA = names(a);
    if (result.ok || plant) {
        FUZZ_CHECK(inA == std::set<std::string>{"dest"});
        FUZZ_CHECK(isKind(dest, S_IFDIR));
        checkLinks(dest, std::string(), planted);
    } else {
        FUZZ_CHECK(inA.empty()); // no half folder left to burn
    }
    removeTree(run);
    return 0;
}
