#include "package/unpackclaim.h"

#include "platform/filehandle.h"
#include "platform/fileops.h"
#include "platform/logging.h"

#include <QDebug>
#include <QDir>
#include <QLockFile>

namespace UnpackClaim {

namespace {

const char kLockSuffix[] = ".lock";

std::unique_ptr<QLockFile> tryClaim(const QString &lockPath)
{
    auto lock = std::make_unique<QLockFile>(lockPath);
    // Only a dead owner makes a claim stale, never its age: an unpack of
    // gigabytes takes minutes.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}

} // namespace

QByteArray folderPrefix(const QByteArray &destName)
{
    return '.' + destName + ".unpack-";
}

std::unique_ptr<QLockFile> claim(const QString &parentPath, const QByteArray &name)
{
    return tryClaim(parentPath + QLatin1Char('/') + FileOps::nameString(name) + QLatin1String(kLockSuffix));
}

int sweepStale(const QString &parentPath, const QByteArray &destName)
{
    const QString prefix = FileOps::nameString(folderPrefix(destName));
    const QStringList names =
        QDir(parentPath)
            .entryList(QStringList{prefix + QLatin1Char('*')},
                       QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    int swept = 0;
    for (const QString &name : names) {
        const bool isLock = name.endsWith(QLatin1String(kLockSuffix));
        const QString folderName = isLock ? name.chopped(int(qstrlen(kLockSuffix))) : name;
        const QString folder = parentPath + QLatin1Char('/') + folderName;
        // A lock file is handled with its folder; one without a folder only
        // when no live owner holds it (its owner may not have made it yet).
        if (isLock && FileOps::pathKind(folder) != FileOps::PathKind::Missing)
            continue;
        const std::unique_ptr<QLockFile> lock = tryClaim(folder + QLatin1String(kLockSuffix));
        if (!lock)
            continue; // a live program is filling it
        if (isLock || FileOps::pathKind(folder) != FileOps::PathKind::Folder)
            continue; // the claim's end removes the orphan lock file
        QString error;
        if (FileOps::removeTree(folder, &error)) {
            ++swept;
            qCDebug(lcPackage).noquote() << QStringLiteral("Deleted a stale unpack folder: ") + folderName;
        } else {
            qCDebug(lcPackage).noquote()
                << QStringLiteral("Could not delete the stale unpack folder %1: %2").arg(folderName, error);
        }
    }
    return swept;
}

} // namespace UnpackClaim
