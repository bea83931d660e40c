#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

// Handle-level file work for the package unpacker and its stamp: files and
// folders are opened once and worked on relative to an opened folder, so a
// name swapped for a link half-way is never followed. Names given to the
// "At" functions are one component each, in nameBytes() form.
//
// Names starting with '.' are hidden: on Windows such a file or folder is
// made with the hidden attribute, which a rename to a name without the dot
// clears.
//
// What every implementation guarantees: a link (on Windows any reparse point:
// symbolic link, junction, mount point) is never followed below an opened
// folder and never replaced by a file; files are created exclusively; a FIFO
// or device is never read from and never makes an open block.
namespace FileOps {

class Handle final
{
public:
    struct Data; // per system: a descriptor, or a handle and its path

    Handle() = default;
    explicit Handle(Data *data) : m_data(data) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : m_data(other.m_data) { other.m_data = nullptr; }
    Handle &operator=(Handle &&other) noexcept
    {
        std::swap(m_data, other.m_data);
        return *this;
    }

    bool valid() const { return m_data != nullptr; }
    Data *data() const { return m_data; }
    void reset() { close(); }
    // Closes now and reports a late write error; false with *error set then.
    bool close(QString *error = nullptr) { return !m_data || release(std::exchange(m_data, nullptr), error); }

private:
    // Per system: closes and frees data; false with *error set when the close fails.
    static bool release(Data *data, QString *error);

    Data *m_data = nullptr;
};

enum class Status { Ok, Exists, Missing, Failed };

// A name (one component, or a path) as the "At" functions take it: the local
// 8-bit file-name encoding on Linux, UTF-8 on Windows.
QByteArray nameBytes(const QString &name);
QString nameString(const QByteArray &name);

// Opens path for reading, whatever it is, without ever blocking on a FIFO.
Handle openForReading(const QString &path, QString *error);

// What tells one regular file from another without reading it. The file's
// identity and change time cannot be carried over by a copy that keeps the
// modification time: a replaced file always differs in one of them.
struct RegularFileInfo
{
    qint64 size = -1;
    qint64 modifiedMs = 0; // modification time, ms since the epoch (UTC)
    QByteArray fileId;     // the file system's own identity: device and file number
    qint64 changedNs = 0;  // status change time (ctime; ChangeTime on Windows), ns
};

// RegularFileInfo of an opened regular file, or of the regular file path
// names (links followed). False for anything else.
bool regularFileInfo(const Handle &file, RegularFileInfo *info);
bool regularFileInfo(const QString &path, RegularFileInfo *info);

// Reads up to size bytes at offset; the count read (0 at the end) or -1.
qint64 readAt(const Handle &file, char *data, qint64 size, qint64 offset, QString *error);
// Writes all of data at offset; a full disk or any short write fails.
bool writeAt(const Handle &file, const char *data, qint64 size, qint64 offset, QString *error);

// Opens a folder by path. With noFollow a link in the last component's place
// fails (Missing when nothing is there).
Handle openFolder(const QString &path, bool noFollow, Status *status, QString *error);
// Opens the folder name in folder, never through a link.
Handle openFolderAt(const Handle &folder, const QByteArray &name, QString *error);
// Makes the folder name in folder: Ok, Exists (anything in its place) or Failed.
Status makeFolderAt(const Handle &folder, const QByteArray &name, QString *error);
// Creates the file name in folder for writing; anything in its place (a link
// included) gives Exists.
Handle createFileAt(const Handle &folder, const QByteArray &name, Status *status, QString *error);
// Opens the regular file name in folder for reading when it is at most
// maxBytes long: Missing, Failed for anything else (a link, a special file).
Handle openSmallFileAt(const Handle &folder, const QByteArray &name, qint64 maxBytes, Status *status);

enum class EntryType { Missing, Folder, Other, Unknown };
// What name in folder is, links not followed (a link to a folder is Other);
// Unknown when it could not be looked at.
EntryType entryTypeAt(const Handle &folder, const QByteArray &name);
// Removes a file or link name in folder as it is.
bool removeFileAt(const Handle &folder, const QByteArray &name);
bool removeEmptyFolderAt(const Handle &folder, const QByteArray &name);
// Renames from to to within folder. Callers make sure to is free: what
// happens to something in its place differs per system.
bool renameAt(const Handle &folder, const QByteArray &from, const QByteArray &to, QString *error);

// Free bytes for this user on the folder's file system; -1 when unknown.
qint64 freeSpace(const Handle &folder);

// The character set in which zip entry names without the UTF-8 flag are read,
// as libarchive's hdrcharset option names it: on Windows the OEM code page, as
// Windows' own zip folders read them; empty on Linux (libarchive's choice).
QByteArray legacyZipNameCharset();

// Makes libarchive give entry names as UTF-8 on this thread while it lives,
// whatever the process locale is (in the "C" locale it drops names flagged as
// UTF-8). Windows needs nothing: libarchive converts through wide strings.
class Utf8NamesOnThisThread final
{
public:
    Utf8NamesOnThisThread();
    ~Utf8NamesOnThisThread();
    Utf8NamesOnThisThread(const Utf8NamesOnThisThread &) = delete;
    Utf8NamesOnThisThread &operator=(const Utf8NamesOnThisThread &) = delete;

private:
    void *m_mine = nullptr;
    void *m_previous = nullptr;
};

} // namespace FileOps
