#include "quorDownload/staging.h"

#include "quorDownload/filecopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>

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

bool copyOne(const QString &source, const QString &destination, const QString &name, QString *reason)
{
    if (!isPlainFileName(name)) {
        *reason = QStringLiteral("%1 is not a plain file name").arg(name);
        return false;
    }
    return FileCopy::copyFile(source, destination, reason, kStagedPermissions);
}

} // namespace

int createTmpFolder(const QString &stagingDir, StagingSink &sink)
{
    const QByteArray path = QFile::encodeName(stagingDir);
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        sink.debug(QStringLiteral("Folder already exists."));
        return 0;
    }
    if (::mkdir(path.constData(), 0777) != 0) {
        std::fputs("Failed to create folder.\n", stdout);
        std::fflush(stdout);
        return -1;
    }
    sink.debug(QStringLiteral("Folder created successfully."));
    return 0;
}

void deleteOldFiles(const QString &stagingDir, StagingSink &sink)
{
    const QFileInfoList entries = listFolder(stagingDir);
    for (const QFileInfo &entry : entries) {
        sink.debug(QStringLiteral("fileName：") + entry.fileName());
        sink.debug(QStringLiteral("fileName：") + entry.fileName() + QStringLiteral("inserted!"));
        sink.debug(QStringLiteral("absoluteFilePath：") + entry.absoluteFilePath());
        sink.debug(QStringLiteral("size：") + QString::number(entry.size()));
        sink.debug(QStringLiteral("isDir：") +
                   (entry.isDir() ? QStringLiteral("true") : QStringLiteral("false")));
        sink.debug(QStringLiteral("isFile：") +
                   (entry.isFile() ? QStringLiteral("true") : QStringLiteral("false")));
        sink.debug(QString(25, QLatin1Char('-')));
    }

    sink.insertStatus(QStringLiteral("Delete the file that already exit before: "));
    sink.appendStatus(QStringLiteral(" "));

    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        QFile file(entry.absoluteFilePath());
        // Permissions make read-only staged files removable. Folders would lose
        // their execute bits and links would pass the change on to their target,
        // so only plain files get them.
        if (!entry.isSymLink() && !entry.isDir())
            file.setPermissions(kStagedPermissions);
        if (file.remove()) {
            sink.debug(name + QStringLiteral(" deleted!"));
            const QString line = name + QStringLiteral(" deleted!");
            sink.appendStatus(line);
            sink.runLog(line);
        } else {
            const QString reason = file.errorString();
            sink.debug(name + QStringLiteral(" delete failed! Becasue ") + reason);
            const QString line = name + QStringLiteral(" deleted  failed! Because ") + reason;
            sink.appendStatus(line);
            sink.runLog(line);
        }
        file.close();
    }
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

void copyNewFiles(const QString &configFilePath, const QString &configFileName, const QString &configDir,
                  const QString &stagingDir, const QVector<PartitionRowChoice> &rows, StagingSink &sink)
{
    const QStringList names = collectNewFiles(configFilePath, configFileName, rows, sink);

    sink.appendStatus(QStringLiteral(" "));
    sink.appendStatus(QStringLiteral("copy new file to temporary folder: "));
    sink.appendStatus(QStringLiteral(" "));

    for (const QString &name : names) {
        QString reason;
        if (copyOne(configDir + name, stagingDir + QLatin1Char('/') + name, name, &reason)) {
            const QString line = name + QStringLiteral(" is copied successfully");
            sink.debug(line);
            sink.appendStatus(line);
            sink.runLog(line);
        } else {
            const QString line = name + QStringLiteral(" failed to copy, Becasue ") + reason;
            sink.debug(line);
            sink.appendStatus(line);
            sink.runLog(line);
        }
    }

    QString reason;
    if (copyOne(configFilePath, stagingDir + QLatin1Char('/') + configFileName, configFileName, &reason)) {
        const QString line = configFileName + QStringLiteral(" is copied successfully");
        sink.debug(line);
        sink.appendStatus(line);
        sink.runLog(line);
    } else {
        sink.debug(configFileName + QStringLiteral(" failed to copy, Becasue ") + reason);
        const QString line = configFileName + QStringLiteral(" failed to copy, Because ") + reason;
        sink.appendStatus(line);
        sink.runLog(line);
    }
}

} // namespace Staging
