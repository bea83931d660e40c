#include "quorDownload/staging.h"

#include "platform/filecopy.h"
#include "platform/fileops.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace Staging {

namespace {

// The toolkit's default listing (all entries, by name without regard to case),
// without "." and "..": removing those as files could only fail.
QFileInfoList listFolder(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

// A row's file name must name a file inside the description folder; anything
// with a folder part would read or write outside the two folders.
bool isPlainFileName(const QString &name)
{
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           name != QLatin1String(".") && name != QLatin1String("..");
}

bool copyOne(const QString &source, const QString &stagingDir, const QString &name, QString *reason)
{
    if (!isPlainFileName(name)) {
        *reason = QStringLiteral("%1 is not a plain file name").arg(name);
        return false;
    }
    return FileCopy::copyFileInto(source, stagingDir, name, reason, kStagedPermissions);
}

// One result line: to the debug output (in its own words), the status view
// and the run log.
void report(StagingSink &sink, const QString &debugText, const QString &line)
{
    sink.debug(debugText);
    sink.appendStatus(line);
    sink.runLog(line);
}

} // namespace

int createTmpFolder(const QString &stagingDir, StagingSink &sink)
{
    // A link in the folder's place is removed as a link and a real folder made:
    // emptying and filling a linked folder would work on another folder.
    switch (FileOps::prepareFolder(stagingDir)) {
    case FileOps::FolderState::Existed:
        sink.debug(QStringLiteral("Folder already exists."));
        return 0;
    case FileOps::FolderState::Created:
        sink.debug(QStringLiteral("Folder created successfully."));
        return 0;
    case FileOps::FolderState::Failed:
        break;
    }
    std::fputs("Failed to create folder.\n", stdout);
    std::fflush(stdout);
    return -1;
}

QVector<Leftover> deleteOldFiles(const QString &stagingDir, StagingSink &sink)
{
    // Listed and removed relative to the opened folder, never through a link,
    // and without changing any file's mode first: a hard link to a file
    // elsewhere must leave that file as it was.
    const QVector<FileOps::FolderEntry> entries = FileOps::listFolder(stagingDir);
    const QString absoluteDir = QDir(stagingDir).absolutePath() + QLatin1Char('/');
    for (const FileOps::FolderEntry &entry : entries) {
        sink.debug(QStringLiteral("fileName：") + entry.name);
        sink.debug(QStringLiteral("fileName：") + entry.name + QStringLiteral("inserted!"));
        sink.debug(QStringLiteral("absoluteFilePath：") + absoluteDir + entry.name);
        sink.debug(QStringLiteral("size：") + QString::number(entry.size));
        sink.debug(QStringLiteral("isDir：") +
                   (entry.isDir ? QStringLiteral("true") : QStringLiteral("false")));
        sink.debug(QStringLiteral("isFile：") +
                   (entry.isFile ? QStringLiteral("true") : QStringLiteral("false")));
        sink.debug(QString(25, QLatin1Char('-')));
    }

    sink.insertStatus(QStringLiteral("Delete the file that already exit before: "));
    sink.appendStatus(QStringLiteral(" "));

    QVector<Leftover> leftovers;
    for (const FileOps::FolderEntry &entry : entries) {
        const QString &name = entry.name;
        QString reason;
        if (FileOps::removeFolderEntry(stagingDir, name, &reason)) {
            const QString line = name + QStringLiteral(" deleted!");
            report(sink, line, line);
        } else {
            report(sink, name + QStringLiteral(" delete failed! Becasue ") + reason,
                   name + QStringLiteral(" deleted  failed! Because ") + reason);
            leftovers.append(Leftover{name, reason});
        }
    }
    return leftovers;
}

QStringList collectNewFiles(const QString &configFilePath, const QString &configFileName,
                            const QVector<PartitionRowChoice> &rows, StagingSink &sink)
{
    QStringList rowNames;
    rowNames.reserve(rows.size());
    for (const PartitionRowChoice &row : rows)
        rowNames << row.fileName;

    QStringList result;
    const QFileInfoList entries = listFolder(QFileInfo(configFilePath).absolutePath());
    for (const QFileInfo &entry : entries) {
        if (!entry.isFile())
            continue;
        const QString name = entry.fileName();
        // The description file is copied on its own afterwards.
        if (name == configFileName)
            continue;
        if (!rowNames.contains(name, Qt::CaseSensitive))
            result << name;
    }
    for (const PartitionRowChoice &row : rows) {
        if (row.hasCheckBox && row.checked)
            result << row.fileName;
    }
    for (const QString &name : qAsConst(result))
        sink.debug(QStringLiteral("file: ") + name);
    return result;
}

QVector<Leftover> copyNewFiles(const QString &configFilePath, const QString &configFileName,
                               const QString &configDir, const QString &stagingDir,
                               const QVector<PartitionRowChoice> &rows, StagingSink &sink,
                               const QVector<Leftover> &leftovers)
{
    const QStringList names = collectNewFiles(configFilePath, configFileName, rows, sink);

    sink.appendStatus(QStringLiteral(" "));
    sink.appendStatus(QStringLiteral("copy new file to temporary folder: "));
    sink.appendStatus(QStringLiteral(" "));

    // Names compared without regard to case: on a file system that ignores
    // case, an earlier "A.IMG" is what the tool opens for "a.img".
    QVector<Leftover> stale;
    const auto noteStale = [&](const QString &name) {
        for (const Leftover &left : leftovers) {
            if (left.name.compare(name, Qt::CaseInsensitive) == 0) {
                stale.append(Leftover{name, left.reason});
                return;
            }
        }
    };

    for (const QString &name : names) {
        QString reason;
        const bool copied = copyOne(configDir + name, stagingDir, name, &reason);
        const QString line = copied ? QString(name + QStringLiteral(" is copied successfully"))
                                    : QString(name + QStringLiteral(" failed to copy, Becasue ") + reason);
        report(sink, line, line);
        if (!copied)
            noteStale(name);
    }

    QString reason;
    if (copyOne(configFilePath, stagingDir, configFileName, &reason)) {
        const QString line = configFileName + QStringLiteral(" is copied successfully");
        report(sink, line, line);
    } else {
        report(sink, configFileName + QStringLiteral(" failed to copy, Becasue ") + reason,
               configFileName + QStringLiteral(" failed to copy, Because ") + reason);
        noteStale(configFileName);
    }
    return stale;
}

} // namespace Staging
