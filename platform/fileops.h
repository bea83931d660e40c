#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVector>

class QFile;

// File work whose safe form differs per system. What every implementation
// guarantees: a FIFO, device or socket is never opened for reading (opening
// one would block), links are never followed when something is removed or
// written, and a folder's entries are removed relative to the opened folder,
// never by a path that could be redirected half-way.
namespace FileOps {

// True when path names a regular file (links followed). Never opens it.
bool isRegularFile(const QString &path);

// Appends bytes to path (created when missing) with one open in append mode,
// one write and one close, nothing else: the run logs do this for every
// notification, and QFile's size queries and seek in append mode cost as much
// again. A FIFO or device in the file's place is not waited for. False when
// the file could not be opened or not all bytes were written.
bool appendToFile(const QString &path, const QByteArray &bytes);

// Opens path for reading only when it is a regular file; a special file or a
// folder is refused without blocking. On failure `file` stays closed and
// *error (when given) says why.
bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error = nullptr);

enum class FolderState { Existed, Created, Failed };

// Makes path a real folder of its own: an existing folder is kept, a link (to
// anything) in its place is removed as a link and a fresh folder is created,
// a missing one is created (one level). Anything else in the way fails.
FolderState prepareFolder(const QString &path, QString *error = nullptr);

struct FolderEntry
{
    QString name;
    bool isDir = false;  // a real folder, not a link to one
    bool isFile = false; // a regular file, not a link to one
    bool isLink = false;
    qint64 size = 0;
};

// The entries of folder (without "." and ".."), by name without regard to
// case. The folder itself must not be a link; a link gives an empty list.
QVector<FolderEntry> listFolder(const QString &folder);
// The order listFolder gives on every platform: by name without regard to
// case, names equal but for case by their code points.
void sortFolderEntries(QVector<FolderEntry> &entries);

// Removes one entry of folder as it is: a file or a link goes (the link's
// target is untouched), a folder fails. File modes are never changed first,
// so a hard link to a file elsewhere leaves that file as it was.
bool removeFolderEntry(const QString &folder, const QString &name, QString *reason);

// What path names, links not followed. File: anything that is neither a
// folder nor a link (a regular file, a FIFO, a device).
enum class PathKind { Missing, Folder, Link, File, Unknown };
PathKind pathKind(const QString &path);

// Removes a folder tree completely or not at all as seen by its path: the
// folder is first renamed aside to a hidden name in the same parent, then
// deleted below that name, however deep. A link in its place is removed as a
// link; a file in its place is someone's file and stays (false, *error says
// so). Leftovers of an earlier interrupted removal of the same name are
// deleted too. True when nothing is left under path.
bool removeTreeAside(const QString &path, QString *error = nullptr);

// Deletes the real folder path with everything below it, however deep; links
// below it are removed, never followed. False when path is no real folder or
// something stayed.
bool removeTree(const QString &path, QString *error = nullptr);

// Makes a write past the process's file-size limit fail with an error (as on
// a full disk) instead of ending the process. Process-wide; safe to call often.
void ignoreFileSizeSignal();

// The hidden name a folder is renamed to while it is deleted; such names are
// never taken for the folder itself.
QString asideNamePrefix(const QString &folderName);

// folder as a console program that reads its arguments in the ANSI code page
// (a narrow argv on Windows) can open it: folder itself when every character
// fits that page, else its short (8.3) form; empty when it has none. Other
// systems pass arguments as they are: folder itself.
QString ansiOpenablePath(const QString &folder);

// Whether such a program receives text unchanged (always, but on Windows).
bool fitsAnsiCodePage(const QString &text);

} // namespace FileOps
