#pragma once

#include <QFileDevice>
#include <QString>
#include <QStringList>
#include <QVector>

// The staging folder of a single-board run: the folder beside the partition
// description file that receives exactly the files the download tool reads.
// The operations report line by line through a StagingSink, so the window
// decides where the lines go and tests can record them.

struct PartitionRowChoice
{                             // one row of the partition table, rows 0..partitionRowCount-1
    QString fileName;         // text of column 2 ("File Name"), empty when the cell has no item
    bool hasCheckBox = false; // partitionCheckBoxes[row] exists
    bool checked = false;     // ... and is checked
};

// Where the staging lines go.
class StagingSink
{
public:
    virtual ~StagingSink() = default;
    virtual void debug(const QString &text) = 0;
    virtual void appendStatus(const QString &text) = 0; // new paragraph in the status view
    virtual void insertStatus(const QString &text) = 0; // at the status view's cursor
    virtual void runLog(const QString &text) = 0;       // one record of the run log
};

namespace Staging {

// Read and write for everyone, no execute bits: what staged files carry.
inline constexpr QFileDevice::Permissions kStagedPermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;

// 0 when stagingDir is a folder afterwards (found or created), -1 otherwise.
int createTmpFolder(const QString &stagingDir, StagingSink &sink);

// An entry of the staging folder that stayed when it was emptied, and why.
struct Leftover
{
    QString name;
    QString reason;
};

// Removes the entries of stagingDir, one report line each. Returns those
// that stayed.
QVector<Leftover> deleteOldFiles(const QString &stagingDir, StagingSink &sink);

// The files to stage, in order: the regular files of the description folder
// that no row names (the description file itself excepted, it is copied on
// its own), then the file name of every checked row.
QStringList collectNewFiles(const QString &configFilePath, const QString &configFileName,
                            const QVector<PartitionRowChoice> &rows, StagingSink &sink);

// Copies the collected files and then the description file into stagingDir.
// Returns the files whose copy failed while an earlier copy of the same name
// (one of leftovers) is still in stagingDir: the tool would read that
// earlier file. A copy that fails with nothing left in its place (a missing
// source) is only reported.
QVector<Leftover> copyNewFiles(const QString &configFilePath, const QString &configFileName,
                               const QString &configDir, const QString &stagingDir,
                               const QVector<PartitionRowChoice> &rows, StagingSink &sink,
                               const QVector<Leftover> &leftovers = {});

} // namespace Staging
