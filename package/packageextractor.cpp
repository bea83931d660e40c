#include "package/packageextractor.h"

#include "package/sha256.h"
#include "package/unpackclaim.h"
#include "platform/filehandle.h"
#include "platform/fileops.h"
#include "platform/logging.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QRandomGenerator>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kParallelMinBytes = 16 * kMiB; // below this a second worker does not pay off
constexpr size_t kReadBlock = 256 * 1024;
constexpr qint64 kHashBlock = kMiB; // the hasher's read size
constexpr int kMaxWorkers = 4;

using FileOps::Handle;

// The package, opened once. Every reader and the hasher read it at offsets of
// their own, so all of them see the same file whatever happens to its name
// meanwhile.
struct Source
{
    const Handle *file = nullptr;
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
        // Names without the UTF-8 flag in the system's zip code page (Windows).
        const QByteArray charset = FileOps::legacyZipNameCharset();
        const QByteArray option = QByteArrayLiteral("hdrcharset=") + charset;
        if (!charset.isEmpty() && archive_read_set_options(m_archive, option.constData()) != ARCHIVE_OK)
            qCDebug(lcPackage) << "Unflagged entry names are read in libarchive's default, not" << charset;
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
        QString error;
        const qint64 n = FileOps::readAt(*r->m_source.file, r->m_buffer.data(),
                                         static_cast<qint64>(r->m_buffer.size()), r->m_offset, &error);
        if (n < 0) {
            archive_set_error(a, EIO, "Read error: %s", error.toLocal8Bit().constData());
            return ARCHIVE_FATAL;
        }
        r->m_offset += n;
        *block = r->m_buffer.data();
        return static_cast<la_ssize_t>(n);
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
#ifdef Q_OS_WIN
    // libarchive keeps names as wide strings here; its narrow forms fail for
    // characters outside the ANSI code page.
    if (const wchar_t *wide = archive_entry_pathname_w(entry))
        return QString::fromWCharArray(wide).toUtf8();
#endif
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

// Opens (and with create, makes) the first count (at least one) components
// below root, never following a link.
Handle openFolders(const Handle &root, const QList<QByteArray> &parts, int count, bool create, QString *error)
{
    Handle current;
    const Handle *at = &root;
    for (int i = 0; i < count; ++i) {
        const QByteArray &name = parts.at(i);
        if (create && FileOps::makeFolderAt(*at, name, error) == FileOps::Status::Failed)
            return Handle();
        current = FileOps::openFolderAt(*at, name, error);
        if (!current.valid())
            return Handle();
        at = &current;
    }
    return current;
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
    const Handle *root = nullptr;
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
        qCDebug(lcPackage).noquote() << QStringLiteral("Unzip Dir:  ") + shown(e);
        QString err;
        if (!openFolders(*m_job.root, e.parts, e.parts.size(), true, &err).valid()) {
            fail(QStringLiteral("Cannot create folder %1: %2").arg(e.name, err));
            return;
        }
        ++m_out->entries;
    }

    void writeFile(archive *reader, const Entry &e)
    {
        QString err;
        const QByteArray &leaf = e.parts.last();
        Handle below;
        if (e.parts.size() > 1)
            below = openFolders(*m_job.root, e.parts, e.parts.size() - 1, true, &err);
        const Handle &folder = e.parts.size() > 1 ? below : *m_job.root;
        Handle file;
        // Exclusive: entry paths are unique here, so anything in the way is an error, never a link to follow.
        if (folder.valid())
            file = FileOps::createFileAt(folder, leaf, nullptr, &err);
        if (!file.valid()) {
            qCDebug(lcPackage).noquote() << QStringLiteral("Failed to write file: ") + shown(e);
            fail(QStringLiteral("Cannot create %1: %2").arg(e.name, err));
            return;
        }
        qCDebug(lcPackage).noquote() << QStringLiteral("Unzip file: ") + shown(e);

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
            if (!FileOps::writeAt(file, static_cast<const char *>(block), static_cast<qint64>(size), offset,
                                  &err)) {
                problem = err;
                break;
            }
            length = std::max<qint64>(length, offset + static_cast<qint64>(size));
            m_out->bytes += static_cast<qint64>(size);
            if (m_job.progress)
                m_job.progress->bytesDone.fetch_add(static_cast<qint64>(size));
        }
        if (problem.isEmpty() && e.size >= 0 && length != e.size)
            problem = QStringLiteral("incomplete data");
        if (!file.close(&err) && problem.isEmpty())
            problem = err; // delayed write errors show up here
        if (!problem.isEmpty()) {
            FileOps::removeFileAt(folder, leaf);
            qCDebug(lcPackage).noquote() << QStringLiteral("Failed to write file: ") + shown(e) << problem;
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
    const FileOps::Utf8NamesOnThisThread utf8;
    QString error;
    PackageReader reader;
    if (!reader.open(source, &error)) {
        qCDebug(lcPackage) << "Not a readable zip file:" << error;
        result->messages.append(QStringLiteral("The package is not a readable zip file."));
        return false;
    }
    archive_entry *entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(reader.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN) {
            qCDebug(lcPackage) << "Damaged package:" << archive_error_string(reader.get());
            result->messages.append(QStringLiteral("The package is damaged: ") +
                                    QString::fromUtf8(archive_error_string(reader.get())));
            return false;
        }
        Entry e;
        const QByteArray path = entryName(entry);
        e.name = QString::fromUtf8(path);
        e.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        const auto type = archive_entry_filetype(entry);
        const QString reason = unsafeReason(path, &e.parts);
        if (!reason.isEmpty()) {
            qCDebug(lcPackage) << "Skipped unsafe entry:" << e.name << reason;
            result->messages.append(
                QStringLiteral("Skipped unsafe path in package (%1): %2").arg(reason, e.name));
        } else if (e.parts.first() == kPackageStampName) {
            qCDebug(lcPackage) << "Skipped reserved entry:" << e.name;
            result->messages.append(QStringLiteral("Skipped reserved name in package: ") + e.name);
        } else if (type == AE_IFLNK) {
            qCDebug(lcPackage) << "Skipped link entry:" << e.name;
            result->messages.append(QStringLiteral("Skipped link in package: ") + e.name);
        } else if (type == AE_IFDIR || path.endsWith('/')) {
            e.kind = Kind::Folder;
        } else if (type == AE_IFREG || type == 0) {
            e.kind = Kind::File;
        } else {
            qCDebug(lcPackage) << "Skipped special entry:" << e.name;
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
            qCDebug(lcPackage) << "Replaced by a later entry:" << entries->at(it.value()).name;
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

// BLAKE2b-512 of the blocks the hasher has read, on a thread of its own: the
// reader fills the next block while this digests the last, so checking a
// signature costs a core rather than time on the reader's path. The blocks
// go round a small ring; the reader waits only when all of them are queued.
class Blake2bThread
{
public:
    Blake2bThread() : m_thread([this] { run(); }) {}
    ~Blake2bThread() { finish(); }
    Blake2bThread(const Blake2bThread &) = delete;
    Blake2bThread &operator=(const Blake2bThread &) = delete;

    // The buffer for the next block, once its last contents are digested.
    char *next()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_posted - m_done < kSlots; });
        return m_buffers[m_posted % kSlots].data();
    }

    // Queues the n bytes written to next()'s buffer.
    void post(qint64 n)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_sizes[m_posted % kSlots] = n;
            ++m_posted;
        }
        m_changed.notify_all();
    }

    // Waits until every posted block is digested; empty when a step failed.
    QByteArray finish()
    {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_closing = true;
            }
            m_changed.notify_all();
            m_thread.join();
        }
        if (m_ok && m_result.isEmpty())
            m_result = m_digest.digest();
        return m_ok ? m_result : QByteArray();
    }

private:
    static constexpr size_t kSlots = 4;

    void run()
    {
        for (;;) {
            size_t slot = 0;
            qint64 size = 0;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_changed.wait(lock, [this] { return m_done < m_posted || m_closing; });
                if (m_done == m_posted)
                    return; // closing, all digested
                slot = m_done % kSlots;
                size = m_sizes[slot];
            }
            m_ok = m_ok && m_digest.update(m_buffers[slot].data(), size);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_done;
            }
            m_changed.notify_all();
        }
    }

    Signing::Blake2b512 m_digest; // made before the thread starts: only a signed package pays for it
    std::vector<std::vector<char>> m_buffers{kSlots, std::vector<char>(static_cast<size_t>(kHashBlock))};
    qint64 m_sizes[kSlots] = {};
    std::mutex m_lock;
    std::condition_variable m_changed;
    size_t m_posted = 0; // blocks queued, and digested
    size_t m_done = 0;
    bool m_closing = false;
    bool m_ok = true; // written by the thread only, read after it has ended
    QByteArray m_result;
    std::thread m_thread; // last: starts once everything it uses exists
};

// SHA-256 of the package, read sequentially alongside the workers. Both read
// the same pages of the page cache, so the file comes from disk once; the
// cost left is the digest itself. The BLAKE2b-512 a signature is checked with
// is computed from the same read, on a thread of its own.
struct Hasher
{
    const Source *source = nullptr;
    std::atomic<bool> *stop = nullptr; // read, and set when hashing fails
    const UnpackProgress *progress = nullptr;
    bool blake2b = false; // also the BLAKE2b-512 a signature is checked with
    QByteArray hex;       // the digest, when complete
    QByteArray blake2bDigest;
    QString problem; // why there is none; empty when stopped from outside

    void run()
    {
        if (!hash())
            stop->store(true);
    }

private:
    bool hash()
    {
        Sha256 digest;
        // Only a package with a signature to check pays for (and initialises) BLAKE2b.
        std::optional<Blake2bThread> signed512;
        if (blake2b)
            signed512.emplace();
        std::vector<char> own(signed512 ? 0 : static_cast<size_t>(kHashBlock));
        qint64 offset = 0;
        while (offset < source->size) {
            if (stop->load(std::memory_order_relaxed) || (progress && progress->cancel.load()))
                return true; // the workers report why
            const qint64 want = std::min<qint64>(kHashBlock, source->size - offset);
            char *block = signed512 ? signed512->next() : own.data();
            QString error;
            const qint64 n = FileOps::readAt(*source->file, block, want, offset, &error);
            if (n <= 0) {
                problem = n < 0 ? error : QStringLiteral("the file became shorter");
                return false;
            }
            if (!digest.update(block, n)) {
                problem = QStringLiteral("cannot compute SHA-256");
                return false;
            }
            if (signed512)
                signed512->post(n);
            offset += n;
        }
        if (signed512) {
            blake2bDigest = signed512->finish();
            if (blake2bDigest.isEmpty()) {
                problem = QStringLiteral("cannot compute BLAKE2b-512");
                return false;
            }
        }
        hex = digest.hexDigest();
        if (hex.isEmpty()) {
            problem = QStringLiteral("cannot compute SHA-256");
            return false;
        }
        return true;
    }
};

// Moves the complete tree tempName in parent to destName. An existing folder
// there is renamed aside first and deleted only once the new tree is in its
// place; if that fails half-way, the old folder is put back. *swapFailed (when
// given) tells a failed rename, which another program holding the folder
// causes, from a destination that is no folder.
bool installTree(const Handle &parent, const QString &parentPath, const QByteArray &tempName,
                 const QByteArray &destName, const QString &shownDest, QStringList *messages,
                 bool *swapFailed = nullptr)
{
    QString error;
    const FileOps::EntryType type = FileOps::entryTypeAt(parent, destName);
    if (swapFailed)
        *swapFailed = type != FileOps::EntryType::Other;
    if (type == FileOps::EntryType::Missing || type == FileOps::EntryType::Unknown) {
        if (FileOps::renameAt(parent, tempName, destName, &error))
            return true;
        // An unpack beside this one (another window on the package) may have put
        // its tree there in between: that folder is replaced like any other.
        if (FileOps::entryTypeAt(parent, destName) != FileOps::EntryType::Folder) {
            messages->append(
                QStringLiteral("Cannot move the unpacked files to %1: %2").arg(shownDest, error));
            return false;
        }
    } else if (type != FileOps::EntryType::Folder) {
        // A link or a file: never written through, never replaced.
        qCDebug(lcPackage) << "Destination folder not found!";
        messages->append(QStringLiteral("The unpack folder is not a folder: ") + shownDest);
        return false;
    }

    const QByteArray prefix = FileOps::nameBytes(FileOps::asideNamePrefix(FileOps::nameString(destName)));
    QByteArray aside;
    for (int attempt = 0; attempt < 100 && aside.isEmpty(); ++attempt) {
        const QByteArray candidate = prefix + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        if (FileOps::entryTypeAt(parent, candidate) == FileOps::EntryType::Missing)
            aside = candidate;
    }
    if (aside.isEmpty())
        error = qt_error_string(EEXIST);
    if (aside.isEmpty() || !FileOps::renameAt(parent, destName, aside, &error)) {
        messages->append(QStringLiteral("Cannot replace %1: %2").arg(shownDest, error));
        return false;
    }
    if (!FileOps::renameAt(parent, tempName, destName, &error)) {
        QString backError;
        if (!FileOps::renameAt(parent, aside, destName, &backError))
            qCDebug(lcPackage) << "Could not put the previous folder back from" << aside << backError;
        messages->append(QStringLiteral("Cannot replace %1: %2").arg(shownDest, error));
        return false;
    }
    if (swapFailed)
        *swapFailed = false;
    if (!FileOps::removeTreeAside(parentPath + QLatin1Char('/') + FileOps::nameString(aside), &error)) {
        qCDebug(lcPackage) << "Could not delete the previous images:" << aside << error;
        messages->append(QStringLiteral("The previous images could not all be deleted: ") + error);
    }
    return true;
}

// A complete unpack whose swap into place failed waits under this name (after
// a dot and the folder's name) for the next Start.
const char kReadyInfix[] = ".ready-";

QString heldFolderMessage(const QString &shownDest)
{
    return QStringLiteral("A program is using %1: close Explorer windows and consoles open in it, then press "
                          "Start again. The unpacked images are kept and put in place then.")
        .arg(shownDest);
}

// One unpack in its steps: open the package, plan the entries and check the
// space, prepare the temporary folder, write (with the hash alongside), seal
// the tree with its stamp, then commit it into place or roll it back. A step
// that fails has put its reason into the result.
class Unpacker final
{
public:
    Unpacker(const QString &zipPath, const QString &destFolder, UnpackProgress *progress,
             const UnpackOptions &options)
        : m_zipPath(zipPath), m_destFolder(destFolder), m_progress(progress), m_options(options)
    {
    }

    UnpackResult run()
    {
        // An entry larger than the file-size limit then fails like a full disk.
        FileOps::ignoreFileSizeSignal();
        qCDebug(lcPackage).noquote() << m_zipPath + QStringLiteral("!!!!!!!!!!!!!!");
        qCDebug(lcPackage).noquote() << m_destFolder + QStringLiteral("!!!!!!!!!!!!!!");
        if (m_progress) {
            m_progress->bytesDone = 0;
            m_progress->bytesTotal = 0;
        }
        if (!openPackage() || !openParent())
            return m_result;
        // Gigabytes a killed run left behind go before the space is checked.
        UnpackClaim::sweepStale(m_parentPath, m_destName);
        const Ready ready = useReadyTree();
        if (ready != Ready::None) {
            m_result.ok = ready == Ready::Installed;
            return m_result;
        }
        if (!planEntries() || !checkSpace() || !prepareTempFolder())
            return m_result;
        bool failed = !writeEntries() || !seal();
        m_root.reset();
        failed = !commit(failed);
        if (!failed) {
            m_result.package = m_identity;
            qCDebug(lcPackage).noquote() << QStringLiteral("Unpacked package %1, %2 bytes, SHA-256 %3")
                                                .arg(m_identity.fileName)
                                                .arg(m_identity.size)
                                                .arg(QString::fromLatin1(m_identity.sha256Hex));
        }
        qCDebug(lcPackage).noquote() << "";
        m_result.messages.removeDuplicates();
        m_result.ok = !failed;
        return m_result;
    }

private:
    // Opened once, without blocking on a FIFO; every reader reads this file.
    bool openPackage()
    {
        m_package = FileOps::openForReading(m_zipPath, nullptr);
        if (!m_package.valid() || !readPackageIdentity(m_package, m_zipPath, &m_identity)) {
            qCDebug(lcPackage) << "ZIP file not found!";
            m_result.messages.append(QStringLiteral("Image package not found: ") + m_zipPath);
            return false;
        }
        m_source.file = &m_package;
        m_source.size = m_identity.size;
        return true;
    }

    bool openParent()
    {
        m_cleanDest = QDir::cleanPath(QDir(m_destFolder).absolutePath());
        const QFileInfo destInfo(m_cleanDest);
        m_parentPath = destInfo.absolutePath();
        m_destName = FileOps::nameBytes(destInfo.fileName());
        if (QDir().mkpath(m_parentPath))
            m_parent = FileOps::openFolder(m_parentPath, false, nullptr, nullptr);
        if (!m_parent.valid() || m_destName.isEmpty()) {
            qCDebug(lcPackage) << "Destination folder not found!";
            m_result.messages.append(QStringLiteral("Cannot create the unpack folder: ") + m_cleanDest);
            return false;
        }
        return true;
    }

    bool planEntries()
    {
        if (!listEntries(m_source, &m_entries, &m_result))
            return false;
        dropReplacedEntries(&m_entries);

        int fileCount = 0;
        for (const Entry &e : m_entries) {
            if (e.kind == Kind::File) {
                // Saturating: the sizes zip64 headers claim can add up past the range.
                m_total = e.size > LLONG_MAX - m_total ? LLONG_MAX : m_total + std::max<qint64>(0, e.size);
                ++fileCount;
            }
        }
        if (m_progress)
            m_progress->bytesTotal = m_total;

        m_workers = m_options.workers;
        if (m_workers <= 0) {
            const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
            m_workers = m_total >= kParallelMinBytes ? std::min(2, cores) : 1;
        }
        m_workers = std::max(1, std::min({m_workers, kMaxWorkers, std::max(1, fileCount)}));
        assignWorkers(&m_entries, m_workers);
        return true;
    }

    // A package that cannot fit fails at once instead of filling the disk first.
    bool checkSpace()
    {
        const qint64 freeBytes = FileOps::freeSpace(m_parent);
        if (freeBytes >= 0 && m_total > freeBytes) {
            qCDebug(lcPackage) << "Not enough free space:" << m_total << "needed," << freeBytes << "free";
            m_result.messages.append(
                QStringLiteral("Not enough free space to unpack: %1 MiB needed, %2 MiB free.")
                    .arg(m_total / kMiB + (m_total % kMiB != 0 ? 1 : 0))
                    .arg(freeBytes / kMiB));
            return false;
        }
        return true;
    }

    // A fresh hidden folder beside the destination; nobody else writes into it.
    // It is claimed before it is made, so another program's sweep leaves it
    // while this one lives.
    bool prepareTempFolder()
    {
        for (int attempt = 0; attempt < 100 && m_tempName.isEmpty(); ++attempt) {
            const QByteArray candidate = UnpackClaim::folderPrefix(m_destName) +
                                         QByteArray::number(QRandomGenerator::global()->generate(), 16);
            std::unique_ptr<QLockFile> claim = UnpackClaim::claim(m_parentPath, candidate);
            if (!claim)
                continue;
            const FileOps::Status made = FileOps::makeFolderAt(m_parent, candidate, nullptr);
            if (made == FileOps::Status::Ok) {
                m_tempName = candidate;
                m_tempClaim = std::move(claim);
            } else if (made != FileOps::Status::Exists) {
                break;
            }
        }
        if (!m_tempName.isEmpty())
            m_root = FileOps::openFolderAt(m_parent, m_tempName, nullptr);
        if (!m_root.valid()) {
            qCDebug(lcPackage) << "Destination folder not found!";
            m_result.messages.append(QStringLiteral("Cannot create the unpack folder: ") + m_cleanDest);
            if (!m_tempName.isEmpty())
                FileOps::removeEmptyFolderAt(m_parent, m_tempName);
            return false;
        }
        m_tempPath = m_parentPath + QLatin1Char('/') + FileOps::nameString(m_tempName);
        return true;
    }

    // The workers write the entries; the hasher reads the package beside them.
    bool writeEntries()
    {
        std::atomic<bool> stop{false};
        std::mutex headerLock;
        Job job;
        job.source = m_source;
        job.entries = &m_entries;
        job.root = &m_root;
        job.shownDest = m_cleanDest + QLatin1Char('/');
        job.progress = m_progress;
        job.stop = &stop;
        job.headerLock = &headerLock;

        m_hasher.source = &m_source;
        m_hasher.stop = &stop;
        m_hasher.progress = m_progress;
        m_hasher.blake2b = m_options.signature.verdict == Signing::Verdict::Pending;

        std::vector<WorkerOutcome> outcomes(static_cast<size_t>(m_workers));
        {
            std::vector<std::thread> threads;
            if (m_options.hashPackage)
                threads.emplace_back([this] { m_hasher.run(); });
            for (int i = 1; i < m_workers; ++i)
                threads.emplace_back(
                    [&job, &outcomes, i] { Worker(job, i, &outcomes[static_cast<size_t>(i)]).run(); });
            Worker(job, 0, &outcomes[0]).run();
            for (std::thread &t : threads)
                t.join();
        }
        bool failed = false;
        for (const WorkerOutcome &o : outcomes) {
            m_result.messages += o.messages;
            m_result.bytesWritten += o.bytes;
            m_result.entriesWritten += o.entries;
            failed = failed || o.failed;
        }
        return !failed;
    }

    // The digest, a check that the package stayed as it was, and the stamp last:
    // a folder with a stamp holds the whole package.
    bool seal()
    {
        if (m_options.hashPackage) {
            if (m_progress && m_progress->cancel.load()) { // while only the hasher was still reading
                m_result.messages.append(QStringLiteral("Unpacking was cancelled."));
                return false;
            }
            if (m_hasher.hex.isEmpty()) {
                qCDebug(lcPackage) << "Cannot hash the package:" << m_hasher.problem;
                m_result.messages.append(QStringLiteral("Cannot read the package: ") + m_hasher.problem);
                return false;
            }
            m_identity.sha256Hex = m_hasher.hex;
            if (!checkSignature())
                return false;
        }
        // A package rewritten in place meanwhile may have given parts of two versions.
        PackageIdentity after;
        if (!readPackageIdentity(m_package, m_zipPath, &after) || !sameFile(after, m_identity)) {
            qCDebug(lcPackage) << "The package changed while it was unpacked";
            m_result.messages.append(
                QStringLiteral("The package changed while it was unpacked; press Start again."));
            return false;
        }
        QString error;
        if (m_options.hashPackage && !writeStamp(m_root, m_identity, &error)) {
            m_result.messages.append(
                QStringLiteral("Cannot write %1: %2")
                    .arg(m_cleanDest + QLatin1Char('/') + QLatin1String(kPackageStampName), error));
            return false;
        }
        return true;
    }

    // A package that does not match its signature is never moved into place;
    // the result's decision says why.
    bool checkSignature()
    {
        m_result.signature = Signing::finish(m_options.signature, m_hasher.blake2bDigest);
        if (m_result.signature.refused())
            return false;
        if (m_result.signature.verdict == Signing::Verdict::Signed) {
            m_identity.signedBy = m_result.signature.keyId;
            m_identity.blake2bHex = m_hasher.blake2bDigest.toHex();
        }
        return true;
    }

    // Moves the sealed tree into place, or deletes it after a failure. A sealed
    // tree that only could not be swapped in is kept for the next Start.
    bool commit(bool failed)
    {
        bool swapFailed = false;
        if (!failed)
            failed = !installTree(m_parent, m_parentPath, m_tempName, m_destName, m_cleanDest,
                                  &m_result.messages, &swapFailed);
        if (failed && swapFailed && keepReadyTree())
            return false;
        QString error;
        // Deleted under its own name while still claimed: whatever a failure
        // leaves is swept as a stale unpack folder later.
        if (failed && !FileOps::removeTree(m_tempPath, &error)) // never follows links
            qCDebug(lcPackage) << "Could not delete the unpack folder" << m_tempPath << error;
        m_tempClaim.reset();
        return !failed;
    }

    bool keepReadyTree()
    {
        const QByteArray ready =
            '.' + m_destName + kReadyInfix + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        QString error;
        if (FileOps::entryTypeAt(m_parent, ready) != FileOps::EntryType::Missing ||
            !FileOps::renameAt(m_parent, m_tempName, ready, &error))
            return false;
        qCDebug(lcPackage) << "Unpacked images kept as" << ready;
        m_result.messages.append(heldFolderMessage(m_cleanDest));
        return true;
    }

    enum class Ready { None, Installed, Held };

    // A tree kept by an earlier Start of this very package goes into place
    // instead of a new unpack; kept trees of other packages are deleted.
    Ready useReadyTree()
    {
        const QString prefix =
            QLatin1Char('.') + FileOps::nameString(m_destName) + QLatin1String(kReadyInfix);
        Ready ready = Ready::None;
        for (const FileOps::FolderEntry &e : FileOps::listFolder(m_parentPath)) {
            if (!e.isDir || !e.name.startsWith(prefix))
                continue;
            const QString path = m_parentPath + QLatin1Char('/') + e.name;
            PackageIdentity stamped;
            QString error;
            if (ready != Ready::None || checkStamp(m_zipPath, path, &stamped) != StampCheck::Matches) {
                if (!FileOps::removeTreeAside(path, &error))
                    qCDebug(lcPackage) << "Could not delete the kept images" << e.name << error;
                continue;
            }
            bool swapFailed = false;
            if (installTree(m_parent, m_parentPath, FileOps::nameBytes(e.name), m_destName, m_cleanDest,
                            &m_result.messages, &swapFailed)) {
                qCDebug(lcPackage) << "Kept images put in place from" << e.name;
                m_result.package = stamped;
                ready = Ready::Installed;
            } else {
                if (swapFailed)
                    m_result.messages.append(heldFolderMessage(m_cleanDest));
                ready = Ready::Held;
            }
        }
        return ready;
    }

    const QString m_zipPath;
    const QString m_destFolder;
    UnpackProgress *const m_progress;
    const UnpackOptions m_options;
    UnpackResult m_result;

    Handle m_package;
    PackageIdentity m_identity;
    Source m_source;
    QString m_cleanDest;
    QString m_parentPath;
    QByteArray m_destName;
    Handle m_parent;
    std::vector<Entry> m_entries;
    qint64 m_total = 0;
    int m_workers = 1;
    QByteArray m_tempName;
    std::unique_ptr<QLockFile> m_tempClaim; // held while the unpack folder is this run's
    Handle m_root;
    QString m_tempPath;
    Hasher m_hasher;
};

} // namespace

UnpackResult unpackPackage(const QString &zipPath, const QString &destFolder, UnpackProgress *progress,
                           const UnpackOptions &options)
{
    return Unpacker(zipPath, destFolder, progress, options).run();
}
