#include "quorDownload/descriptionpaths.h"

#include "common/toolcontract.h"

#include <QFileInfo>

namespace DescriptionPaths {

Paths derive(const QString &path)
{
    Paths p;
    p.configFilePath = path;
    p.configFileName = QFileInfo(path).fileName();
    p.configDir = path;
    // Only the last occurrence goes: a folder may carry the file's name too.
    const int at = p.configFileName.isEmpty() ? -1 : path.lastIndexOf(p.configFileName);
    if (at >= 0)
        p.configDir.remove(at, p.configFileName.size());
    p.stagingDir = p.configDir + QLatin1String(kStagingFolderName);
    return p;
}

ScriptInfo scriptInfo(const QString &chipType, const QString &osType, const QString &configDir,
                      const QString &stagingDir)
{
    const QString head = QLatin1String(ToolContract::kExecutable) + QLatin1Char(' ') +
                         QLatin1String(ToolContract::kOptChip) + QLatin1Char(' ') + chipType +
                         QLatin1Char(' ') + QLatin1String(ToolContract::kOptOs) + QLatin1Char(' ') + osType +
                         QLatin1Char(' ') + QLatin1String(ToolContract::kOptImages);
    ScriptInfo info;
    info.shownText = head + QLatin1String(" \"") + configDir + QLatin1Char('"');
    info.downloadCommand = head + QLatin1String(" \"") + stagingDir + QLatin1String("\"\n");
    return info;
}

} // namespace DescriptionPaths
