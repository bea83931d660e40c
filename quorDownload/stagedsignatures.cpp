#include "quorDownload/stagedsignatures.h"

#include "platform/fileops.h"

#include <QFile>

#include <vector>

namespace Staging {

namespace {
constexpr qint64 kReadBlock = 1024 * 1024;
} // namespace

QByteArray fileBlake2b(const QString &path)
{
    QFile file;
    if (!FileOps::openRegularFile(file, path, QIODevice::ReadOnly))
        return QByteArray();
    Signing::Blake2b512 digest;
    std::vector<char> block(static_cast<size_t>(kReadBlock));
    for (;;) {
        const qint64 n = file.read(block.data(), kReadBlock);
        if (n < 0)
            return QByteArray();
        if (n == 0)
            return digest.digest();
        if (!digest.update(block.data(), n))
            return QByteArray();
    }
}

bool verifyChosenImages(const Signing::Policy &policy, const QString &configDir, const QString &stagingDir,
                        const QVector<PartitionRowChoice> &rows, StagingSink &sink, QStringList *keyIds)
{
    if (!policy.require)
        return true;
    bool allSigned = true;
    for (const PartitionRowChoice &row : rows) {
        if (!row.hasCheckBox || !row.checked)
            continue;
        const QString staged = stagingDir + QLatin1Char('/') + row.fileName;
        Signing::Decision decision = Signing::checkFile(policy, configDir + row.fileName);
        if (decision.verdict == Signing::Verdict::Pending)
            decision = Signing::finish(decision, fileBlake2b(staged));
        const QString line = decision.text(row.fileName);
        sink.debug(line);
        sink.appendStatus(line);
        sink.runLog(line);
        if (keyIds && decision.verdict == Signing::Verdict::Signed && !keyIds->contains(decision.keyId))
            keyIds->append(decision.keyId);
        if (decision.refused()) {
            allSigned = false;
            QString reason; // removed relative to the folder: a name with a folder part stays unreachable
            if (!row.fileName.contains(QLatin1Char('/')) && !row.fileName.contains(QLatin1Char('\\')))
                FileOps::removeFolderEntry(stagingDir, row.fileName, &reason);
        }
    }
    return allSigned;
}

} // namespace Staging
