#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QLockFile;

// Ownership of the hidden folders that unpacks fill beside the image folder
// (".QuorBurnImage.unpack-*"). Each is claimed through a lock file beside it
// ("<folder>.lock") that the filling process holds while it lives, so a
// folder left by a killed program can be told from one another window is
// still filling, and only the first is swept.
namespace UnpackClaim {

// ".<destName>.unpack-": the names of destName's unpack folders begin so.
QByteArray folderPrefix(const QByteArray &destName);

// Claims the unpack folder name in parentPath for this process before it is
// made; null when another live owner holds it. The claim ends (and its lock
// file goes) when the returned object is destroyed.
std::unique_ptr<QLockFile> claim(const QString &parentPath, const QByteArray &name);

// Deletes the unpack folders of destName in parentPath that no live process
// owns, with their lock files. Returns how many folders went.
int sweepStale(const QString &parentPath, const QByteArray &destName);

} // namespace UnpackClaim
