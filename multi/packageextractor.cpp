#include "multi/packageextractor.h"

#include "platform/fileops.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kParallelMinBytes = 16 * kMiB; // below this a second worker does not pay off
constexpr size_t kReadBlock = 256 * 1024;
constexpr qint64 kHashBlock = kMiB; // the hasher's read size
constexpr int kMaxWorkers = 4;

// Owns a file descriptor (moves by swapping).
class Fd final
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset()
    {
        if (m_fd >= 0)
            ::close(release());
    }

private:
    int m_fd;
};

// Makes libarchive convert entry names to UTF-8 on this thread, whatever the
// process locale is (in the "C" locale it drops names flagged as UTF-8).
class Utf8NamesOnThisThread final
{
public:
    Utf8NamesOnThisThread() : m_mine(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr)))
    {
        if (m_mine)
            m_previous = ::uselocale(m_mine);
    }
    ~Utf8NamesOnThisThread()
    {
        if (m_mine) {
            ::uselocale(m_previous);
            ::freelocale(m_mine);
        }
    }
    Utf8NamesOnThisThread(const Utf8NamesOnThisThread &) = delete;
    Utf8NamesOnThisThread &operator=(const Utf8NamesOnThisThread &) = delete;

private:
    locale_t m_mine;
    locale_t m_previous = locale_t(nullptr);
};

// The package, opened once. Every reader and the hasher read it through pread
// at offsets of their own, so all of them see the same file whatever happens
// to its name meanwhile.
struct Source
{
    int fd = -1;
    qint64 size = 0; // when opened; a change is caught at the end
};

// A libarchive reader on the source with its own offset and buffer.
class PackageReader final
{
public:
    PackageReader() = default;
    PackageReader(const PackageReader &) = delete;
    PackageReader &operator=(const PackageReader &) = delete;
    ~PackageReader()
    {
        if (m_archive)
            archive_read_free(m_archive);
    }

    bool open(const Source &source, QString *error)
    {
        m_source = source;
        m_buffer.resize(kReadBlock);
        m_archive = archive_read_new();
        archive_read_support_format_zip_seekable(m_archive);
        archive_read_set_callback_data(m_archive, this);
        archive_read_set_read_callback(m_archive, &PackageReader::readBlock);
        archive_read_set_seek_callback(m_archive, &PackageReader::seek);
        archive_read_set_skip_callback(m_archive, &PackageReader::skip);
        if (archive_read_open1(m_archive) != ARCHIVE_OK) {
            if (error)
                *error = QString::fromUtf8(archive_error_string(m_archive));
            return false;
        }
        return true;
    }

    archive *get() const { return m_archive; }

private:
    static la_ssize_t readBlock(archive *a, void *self, const void **block)
    {
        auto *r = static_cast<PackageReader *>(self);
        for (;;) {
            const ssize_t n = ::pread(r->m_source.fd, r->m_buffer.data(), r->m_buffer.size(), r->m_offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                archive_set_error(a, errno, "Read error: %s", std::strerror(errno));
                return ARCHIVE_FATAL;
            }
            r->m_offset += n;
            *block = r->m_buffer.data();
            return n;
        }
    }

    static la_int64_t skip(archive *, void *self, la_int64_t request)
    {
        auto *r = static_cast<PackageReader *>(self);
        // Not past the end: libarchive then reads what is left and reports the truncation.
        const qint64 n = std::min<qint64>(std::max<qint64>(0, request),
                                          std::max<qint64>(0, r->m_source.size - r->m_offset));
        r->m_offset += n;
        return n;
    }

    static la_int64_t seek(archive *a, void *self, la_int64_t offset, int whence)
    {
        auto *r = static_cast<PackageReader *>(self);
        qint64 base = 0;
        if (whence == SEEK_CUR)
            base = r->m_offset;
        else if (whence == SEEK_END)
            base = r->m_source.size;
        else if (whence != SEEK_SET)
            base = -1;
        const bool inRange = base >= 0 && (offset >= 0 ? offset <= LLONG_MAX - base : base + offset >= 0);
        if (!inRange) {
            archive_set_error(a, EINVAL, "Seek out of range");
            return ARCHIVE_FATAL;
        }
        r->m_offset = base + offset;
        return r->m_offset;
    }

    Source m_source;
    qint64 m_offset = 0;
    std::vector<char> m_buffer;
    archive *m_archive = nullptr;
};

QString systemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

enum class Kind { File, Folder, Skip };

struct Entry
{
    Kind kind = Kind::Skip;
    QList<QByteArray> parts; // path components below the destination, UTF-8
    QString name;            // entry path as shown in messages
    qint64 size = -1;        // uncompressed size, -1 when the archive does not say
    int worker = 0;
};

// The entry's own name as UTF-8. libarchive gives UTF-8 when the name converts;
// otherwise its raw bytes are used when they already are UTF-8.
QByteArray entryName(archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QByteArray(utf8);
    const char *raw = archive_entry_pathname(entry);
    if (!raw)
        return QByteArray();
    const QByteArray bytes(raw);
    if (QString::fromUtf8(bytes).toUtf8() == bytes)
        return bytes;
    return QString::fromLocal8Bit(bytes).toUtf8();
}

// Splits an entry path into components that stay below the destination.
// Returns a reason when the path could lead elsewhere.
QString unsafeReason(const QByteArray &path, QList<QByteArray> *parts)
{
    if (path.isEmpty())
        return QStringLiteral("empty name");
    if (path.startsWith('/'))
        return QStringLiteral("absolute path");
    if (path.contains('\\'))
        return QStringLiteral("backslash in path");
    if (path.size() >= 2 && path.at(1) == ':' && std::isalpha(static_cast<unsigned char>(path.at(0))))
        return QStringLiteral("drive letter");
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return QStringLiteral("\"..\" in path");
        parts->append(part);
    }
    if (parts->isEmpty())
        return QStringLiteral("empty name");
    return QString();
}

// Opens (and with create, makes) the first count components below root,
// never following a symbolic link.
Fd openFolders(int root, const QList<QByteArray> &parts, int count, bool create, int *err)
{
    Fd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (int i = 0; i < count && current.valid(); ++i) {
        const char *name = parts.at(i).constData();
        if (create && ::mkdirat(current.get(), name, 0777) != 0 && errno != EEXIST) {
            *err = errno;
            return Fd();
        }
        const int next = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            *err = errno;
            return Fd();
        }
        current = Fd(next);
    }
    if (!current.valid())
        *err = EBADF;
    return current;
}

bool writeAll(int fd, const char *data, size_t size, qint64 offset, int *err)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (n == 0) {
            *err = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// What one worker did; merged into the result after the workers ended.
struct WorkerOutcome
{
    QStringList messages;
    qint64 bytes = 0;
    int entries = 0;
    bool failed = false;
};

struct Job
{
    Source source;
    const std::vector<Entry> *entries = nullptr;
    int root = -1;
    QString shownDest; // destination with a trailing '/', for diagnostics
    UnpackProgress *progress = nullptr;
    std::atomic<bool> *stop = nullptr; // set by a worker that failed
    // Held while libarchive reads headers: it converts entry times with mktime,
    // which rewrites the C library's time-zone state on every call.
    std::mutex *headerLock = nullptr;
};

class Worker final
{
public:
    Worker(const Job &job, int index, WorkerOutcome *out) : m_job(job), m_index(index), m_out(out) {}

    void run()
    {
        QString error;
        PackageReader reader;
        bool opened = false;
        {
            const std::lock_guard<std::mutex> lock(*m_job.headerLock);
            opened = reader.open(m_job.source, &error);
        }
        if (!opened) {
            fail(QStringLiteral("Cannot read the package: ") + error);
            return;
        }
        archive_entry *entry = nullptr;
        for (size_t i = 0; i < m_job.entries->size(); ++i) {
            if (stopRequested())
                return;
            int r = ARCHIVE_FATAL;
            {
                const std::lock_guard<std::mutex> lock(*m_job.headerLock);
                r = archive_read_next_header(reader.get(), &entry);
            }
            if (r == ARCHIVE_EOF || r < ARCHIVE_WARN) {
                fail(QStringLiteral("The package is damaged: ") +
                     QString::fromUtf8(archive_error_string(reader.get())));
                return;
            }
            const Entry &e = m_job.entries->at(i);
            if (e.worker != m_index)
                continue;
            if (e.kind == Kind::Folder)
                makeFolder(e);
            else if (e.kind == Kind::File)
                writeFile(reader.get(), e);
        }
    }

private:
    bool stopRequested()
    {
        if (m_job.progress && m_job.progress->cancel.load()) {
            if (!m_out->failed)
                m_out->messages.append(QStringLiteral("Unpacking was cancelled."));
            m_out->failed = true;
            m_job.stop->store(true);
        }
        return m_job.stop->load();
    }

    void fail(const QString &message)
    {
        m_out->messages.append(message);
        m_out->failed = true;
        m_job.stop->store(true);
    }

    QString shown(const Entry &e) const { return m_job.shownDest + e.name; }

    void makeFolder(const Entry &e)
    {
        qDebug().noquote() << QStringLiteral("Unzip Dir:  ") + shown(e);
        int err = 0;
        if (!openFolders(m_job.root, e.parts, e.parts.size(), true, &err).valid()) {
            fail(QStringLiteral("Cannot create folder %1: %2").arg(e.name, systemError(err)));
            return;
        }
        ++m_out->entries;
    }

    void writeFile(archive *reader, const Entry &e)
    {
        int err = 0;
        const QByteArray &leaf = e.parts.last();
        Fd folder = openFolders(m_job.root, e.parts, e.parts.size() - 1, true, &err);
        Fd file;
        if (folder.valid()) {
            const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
            // Exclusive: entry paths are unique here, so anything in the way is an error, never a link to
            // follow.
            file = Fd(::openat(folder.get(), leaf.constData(), flags, 0666));
            if (!file.valid())
                err = errno;
        }
        if (!file.valid()) {
            qDebug().noquote() << QStringLiteral("Failed to write file: ") + shown(e);
            fail(QStringLiteral("Cannot create %1: %2").arg(e.name, systemError(err)));
            return;
        }
        qDebug().noquote() << QStringLiteral("Unzip file: ") + shown(e);

        QString problem;
        qint64 length = 0;
        for (;;) {
            if (stopRequested()) {
                problem = QStringLiteral("stopped");
                break;
            }
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(reader, &block, &size, &offset);
            if (r == ARCHIVE_EOF)
                break;
            if (r != ARCHIVE_OK) { // a bad CRC arrives as a warning at the end of the data
                problem = QString::fromUtf8(archive_error_string(reader));
                break;
            }
            if (!writeAll(file.get(), static_cast<const char *>(block), size, offset, &err)) {
                problem = systemError(err);
                break;
            }
            length = std::max<qint64>(length, offset + static_cast<qint64>(size));
            m_out->bytes += static_cast<qint64>(size);
            if (m_job.progress)
                m_job.progress->bytesDone.fetch_add(static_cast<qint64>(size));
        }
        if (problem.isEmpty() && e.size >= 0 && length != e.size)
            problem = QStringLiteral("incomplete data");
        if (::close(file.release()) != 0 && problem.isEmpty())
            problem = systemError(errno); // delayed write errors show up here
        if (!problem.isEmpty()) {
            ::unlinkat(folder.get(), leaf.constData(), 0);
            qDebug().noquote() << QStringLiteral("Failed to write file: ") + shown(e) << problem;
            if (problem != QLatin1String("stopped"))
                fail(QStringLiteral("Failed to unpack %1: %2").arg(e.name, problem));
            return;
        }
        ++m_out->entries;
    }

    const Job &m_job;
    const int m_index;
    WorkerOutcome *m_out;
};

// Reads the central directory: every entry's kind, path and size.
bool listEntries(const Source &source, std::vector<Entry> *entries, UnpackResult *result)
{
    const Utf8NamesOnThisThread utf8;
    QString error;
    PackageReader reader;
    if (!reader.open(source, &error)) {
        qDebug() << "Not a readable zip file:" << error;
        result->messages.append(QStringLiteral("The package is not a readable zip file."));
        return false;
    }
    archive_entry *entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(reader.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN) {
            qDebug() << "Damaged package:" << archive_error_string(reader.get());
            result->messages.append(QStringLiteral("The package is damaged: ") +
                                    QString::fromUtf8(archive_error_string(reader.get())));
            return false;
        }
        Entry e;
        const QByteArray path = entryName(entry);
        e.name = QString::fromUtf8(path);
        e.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        const mode_t type = archive_entry_filetype(entry);
        const QString reason = unsafeReason(path, &e.parts);
        if (!reason.isEmpty()) {
            qDebug() << "Skipped unsafe entry:" << e.name << reason;
            result->messages.append(
                QStringLiteral("Skipped unsafe path in package (%1): %2").arg(reason, e.name));
        } else if (e.parts.first() == kPackageStampName) {
            qDebug() << "Skipped reserved entry:" << e.name;
            result->messages.append(QStringLiteral("Skipped reserved name in package: ") + e.name);
        } else if (type == AE_IFLNK) {
            qDebug() << "Skipped link entry:" << e.name;
            result->messages.append(QStringLiteral("Skipped link in package: ") + e.name);
        } else if (type == AE_IFDIR || path.endsWith('/')) {
            e.kind = Kind::Folder;
        } else if (type == AE_IFREG || type == 0) {
            e.kind = Kind::File;
        } else {
            qDebug() << "Skipped special entry:" << e.name;
        }
        entries->push_back(std::move(e));
    }
    return true;
}

// A later entry of the same path replaces an earlier one: only the last is written.
void dropReplacedEntries(std::vector<Entry> *entries)
{
    QHash<QByteArray, size_t> last;
    for (size_t i = 0; i < entries->size(); ++i) {
        const Entry &e = entries->at(i);
        if (e.kind != Kind::File)
            continue;
        const QByteArray key = e.parts.join('/');
        auto it = last.find(key);
        if (it != last.end()) {
            qDebug() << "Replaced by a later entry:" << entries->at(it.value()).name;
            (*entries)[it.value()].kind = Kind::Skip;
            it.value() = i;
        } else {
            last.insert(key, i);
        }
    }
}

// Spreads the file entries over the workers, largest first, each to the least loaded.
void assignWorkers(std::vector<Entry> *entries, int workers)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < entries->size(); ++i)
        if (entries->at(i).kind == Kind::File)
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [entries](size_t a, size_t b) { return entries->at(a).size > entries->at(b).size; });
    std::vector<qint64> load(static_cast<size_t>(workers), 0);
    for (size_t i : order) {
        Entry &e = (*entries)[i];
        e.worker = static_cast<int>(std::min_element(load.begin(), load.end()) - load.begin());
        // A small cost per file too; saturating, as zip64 headers can claim any size.
        qint64 &sum = load[static_cast<size_t>(e.worker)];
        const qint64 cost = std::min<qint64>(std::max<qint64>(0, e.size), LLONG_MAX - 4096) + 4096;
        sum = cost > LLONG_MAX - sum ? LLONG_MAX : sum + cost;
    }
}

// SHA-256 of the package, read sequentially alongside the workers: the pages
// it reads are those the workers read, so the file is read from disk once.
struct Hasher
{
    const Source *source = nullptr;
    std::atomic<bool> *stop = nullptr; // read, and set when hashing fails
    const UnpackProgress *progress = nullptr;
    QByteArray hex;  // the digest, when complete
    QString problem; // why there is none; empty when stopped from outside

    void run()
    {
        if (!hash())
            stop->store(true);
    }

private:
    bool hash()
    {
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
            problem = QStringLiteral("cannot compute SHA-256");
            return false;
        }
        std::vector<unsigned char> block(static_cast<size_t>(kHashBlock));
        qint64 offset = 0;
        while (offset < source->size) {
            if (stop->load(std::memory_order_relaxed) || (progress && progress->cancel.load()))
                return true; // the workers report why
            const size_t want = static_cast<size_t>(std::min<qint64>(kHashBlock, source->size - offset));
            const ssize_t n = ::pread(source->fd, block.data(), want, offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                problem = n < 0 ? systemError(errno) : QStringLiteral("the file became shorter");
                return false;
            }
            if (EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(n)) != 1) {
                problem = QStringLiteral("cannot compute SHA-256");
                return false;
            }
            offset += n;
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
            problem = QStringLiteral("cannot compute SHA-256");
            return false;
        }
        hex = QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length)).toHex();
        return true;
    }
};

// Moves the complete tree tempName in parent to destName. An existing folder
// there is renamed aside first and deleted only once the new tree is in its
// place; if that fails half-way, the old folder is put back.
bool installTree(int parent, const QString &parentPath, const QByteArray &tempName,
                 const QByteArray &destName, const QString &shownDest, QStringList *messages)
{
    struct stat st;
    if (::fstatat(parent, destName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (::renameat(parent, tempName.constData(), parent, destName.constData()) == 0)
            return true;
        messages->append(
            QStringLiteral("Cannot move the unpacked files to %1: %2").arg(shownDest, systemError(errno)));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) { // a link or a file: never written through, never replaced
        qDebug() << "Destination folder not found!";
        messages->append(QStringLiteral("The unpack folder is not a folder: ") + shownDest);
        return false;
    }

    const QByteArray prefix = QFile::encodeName(FileOps::asideNamePrefix(QFile::decodeName(destName)));
    QByteArray aside;
    for (int attempt = 0; attempt < 100 && aside.isEmpty(); ++attempt) {
        const QByteArray candidate = prefix + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        if (::fstatat(parent, candidate.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            aside = candidate;
    }
    if (aside.isEmpty() || ::renameat(parent, destName.constData(), parent, aside.constData()) != 0) {
        messages->append(QStringLiteral("Cannot replace %1: %2")
                             .arg(shownDest, systemError(aside.isEmpty() ? EEXIST : errno)));
        return false;
    }
    if (::renameat(parent, tempName.constData(), parent, destName.constData()) != 0) {
        const int err = errno;
        if (::renameat(parent, aside.constData(), parent, destName.constData()) != 0)
            qDebug() << "Could not put the previous folder back from" << aside << systemError(errno);
        messages->append(QStringLiteral("Cannot replace %1: %2").arg(shownDest, systemError(err)));
        return false;
    }
    QString error;
    if (!FileOps::removeTreeAside(parentPath + QLatin1Char('/') + QFile::decodeName(aside), &error)) {
        qDebug() << "Could not delete the previous images:" << aside << error;
        messages->append(QStringLiteral("The previous images could not all be deleted: ") + error);
    }
    return true;
}

} // namespace

UnpackResult unpackPackage(const QString &zipPath, const QString &destFolder, UnpackProgress *progress,
                           const UnpackOptions &options)
{
    UnpackResult result;
    // An entry larger than the file-size limit then fails like a full disk.
    FileOps::ignoreFileSizeSignal();
    qDebug().noquote() << zipPath + QStringLiteral("!!!!!!!!!!!!!!");
    qDebug().noquote() << destFolder + QStringLiteral("!!!!!!!!!!!!!!");
    if (progress) {
        progress->bytesDone = 0;
        progress->bytesTotal = 0;
    }

    // Opened once, without blocking on a FIFO; every reader reads this file.
    Fd package(::open(QFile::encodeName(zipPath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    PackageIdentity identity;
    if (!package.valid() || !readPackageIdentity(package.get(), zipPath, &identity)) {
        qDebug() << "ZIP file not found!";
        result.messages.append(QStringLiteral("Image package not found: ") + zipPath);
        return result;
    }
    Source source;
    source.fd = package.get();
    source.size = identity.size;

    const QString cleanDest = QDir::cleanPath(QDir(destFolder).absolutePath());
    const QFileInfo destInfo(cleanDest);
    const QString parentPath = destInfo.absolutePath();
    const QByteArray destName = QFile::encodeName(destInfo.fileName());
    Fd parent;
    if (QDir().mkpath(parentPath))
        parent = Fd(::open(QFile::encodeName(parentPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid() || destName.isEmpty()) {
        qDebug() << "Destination folder not found!";
        result.messages.append(QStringLiteral("Cannot create the unpack folder: ") + cleanDest);
        return result;
    }

    std::vector<Entry> entries;
    if (!listEntries(source, &entries, &result))
        return result;
    dropReplacedEntries(&entries);

    qint64 total = 0;
    int fileCount = 0;
    for (const Entry &e : entries) {
        if (e.kind == Kind::File) {
            // Saturating: the sizes zip64 headers claim can add up past the range.
            total = e.size > LLONG_MAX - total ? LLONG_MAX : total + std::max<qint64>(0, e.size);
            ++fileCount;
        }
    }
    if (progress)
        progress->bytesTotal = total;

    int workers = options.workers;
    if (workers <= 0) {
        const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
        workers = total >= kParallelMinBytes ? std::min(2, cores) : 1;
    }
    workers = std::max(1, std::min({workers, kMaxWorkers, std::max(1, fileCount)}));
    assignWorkers(&entries, workers);

    // A package that cannot fit fails at once instead of filling the disk first.
    struct statvfs space;
    if (::fstatvfs(parent.get(), &space) == 0) {
        const auto freeBytes = static_cast<qint64>(std::min<unsigned long long>(
            static_cast<unsigned long long>(space.f_bavail) * space.f_frsize, LLONG_MAX));
        if (total > freeBytes) {
            qDebug() << "Not enough free space:" << total << "needed," << freeBytes << "free";
            result.messages.append(
                QStringLiteral("Not enough free space to unpack: %1 MiB needed, %2 MiB free.")
                    .arg(total / kMiB + (total % kMiB != 0 ? 1 : 0))
                    .arg(freeBytes / kMiB));
            return result;
        }
    }

    // A fresh hidden folder beside the destination; nobody else writes into it.
    QByteArray tempName;
    for (int attempt = 0; attempt < 100 && tempName.isEmpty(); ++attempt) {
        const QByteArray candidate =
            '.' + destName + ".unpack-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        if (::mkdirat(parent.get(), candidate.constData(), 0777) == 0)
            tempName = candidate;
        else if (errno != EEXIST)
            break;
    }
    Fd root;
    if (!tempName.isEmpty())
        root =
            Fd(::openat(parent.get(), tempName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.valid()) {
        qDebug() << "Destination folder not found!";
        result.messages.append(QStringLiteral("Cannot create the unpack folder: ") + cleanDest);
        if (!tempName.isEmpty())
            ::unlinkat(parent.get(), tempName.constData(), AT_REMOVEDIR);
        return result;
    }
    const QString tempPath = parentPath + QLatin1Char('/') + QFile::decodeName(tempName);

    std::atomic<bool> stop{false};
    std::mutex headerLock;
    Job job;
    job.source = source;
    job.entries = &entries;
    job.root = root.get();
    job.shownDest = cleanDest + QLatin1Char('/');
    job.progress = progress;
    job.stop = &stop;
    job.headerLock = &headerLock;

    Hasher hasher;
    hasher.source = &source;
    hasher.stop = &stop;
    hasher.progress = progress;

    std::vector<WorkerOutcome> outcomes(static_cast<size_t>(workers));
    {
        std::vector<std::thread> threads;
        if (options.hashPackage)
            threads.emplace_back([&hasher] { hasher.run(); });
        for (int i = 1; i < workers; ++i)
            threads.emplace_back(
                [&job, &outcomes, i] { Worker(job, i, &outcomes[static_cast<size_t>(i)]).run(); });
        Worker(job, 0, &outcomes[0]).run();
        for (std::thread &t : threads)
            t.join();
    }
    bool failed = false;
    for (const WorkerOutcome &o : outcomes) {
        result.messages += o.messages;
        result.bytesWritten += o.bytes;
        result.entriesWritten += o.entries;
        failed = failed || o.failed;
    }
    if (!failed && options.hashPackage) {
        if (progress && progress->cancel.load()) { // while only the hasher was still reading
            result.messages.append(QStringLiteral("Unpacking was cancelled."));
            failed = true;
        } else if (hasher.hex.isEmpty()) {
            qDebug() << "Cannot hash the package:" << hasher.problem;
            result.messages.append(QStringLiteral("Cannot read the package: ") + hasher.problem);
            failed = true;
        }
        identity.sha256Hex = hasher.hex;
    }
    // Written in place while it was read: what was unpacked may be neither the old nor the new package.
    PackageIdentity after;
    if (!failed && (!readPackageIdentity(package.get(), zipPath, &after) || after.size != identity.size ||
                    after.modifiedMs != identity.modifiedMs)) {
        qDebug() << "The package changed while it was unpacked";
        result.messages.append(
            QStringLiteral("The package changed while it was unpacked; press Start again."));
        failed = true;
    }
    // The stamp last: a folder with a stamp holds the whole package.
    QString error;
    if (!failed && options.hashPackage && !writeStamp(root.get(), identity, &error)) {
        result.messages.append(
            QStringLiteral("Cannot write %1: %2")
                .arg(cleanDest + QLatin1Char('/') + QLatin1String(kPackageStampName), error));
        failed = true;
    }
    root.reset();
    if (!failed)
        failed = !installTree(parent.get(), parentPath, tempName, destName, cleanDest, &result.messages);
    if (failed && !FileOps::removeTreeAside(tempPath, &error)) // never follows links
        qDebug() << "Could not delete the unpack folder" << tempPath << error;
    if (!failed) {
        result.package = identity;
        qDebug().noquote() << QStringLiteral("Unpacked package %1, %2 bytes, SHA-256 %3")
                                  .arg(identity.fileName)
                                  .arg(identity.size)
                                  .arg(QString::fromLatin1(identity.sha256Hex));
    }
    qDebug().noquote() << "";
    result.messages.removeDuplicates();
    result.ok = !failed;
    return result;
}
