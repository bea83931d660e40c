#pragma once

#include <QString>

// The paths and the tool command line derived from the chosen partition
// description file. Pure string work, so the window and the tests share it.
namespace DescriptionPaths {

inline constexpr char kStagingFolderName[] = "downloadImageFile";

struct Paths
{
    QString configFilePath; // the chosen file as given
    QString configFileName; // its file-name part
    QString configDir;      // the path without the last occurrence of the name
    QString stagingDir;     // configDir + "downloadImageFile"
};

// A cancelled choice (empty path) gives empty paths and a staging folder
// relative to the working directory.
Paths derive(const QString &path);

struct ScriptInfo
{
    QString shownText;       // names the description folder, for the operator
    QString downloadCommand; // names the staging folder, sent to the tool
};

// "usb_dl.exe -c <chip> -s <os> -i" followed by the folder in double quotes;
// the command ends with a line feed.
ScriptInfo scriptInfo(const QString &chipType, const QString &osType, const QString &configDir,
                      const QString &stagingDir);

} // namespace DescriptionPaths
