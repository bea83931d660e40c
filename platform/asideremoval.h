#pragma once

// Removing a folder by renaming it aside first: the policy, written once over
// the primitives each system gives for one parent folder (held open while the
// removal runs). Used by FileOps::removeTreeAside on both systems.

#include <QString>
#include <QStringList>

namespace FileOps {

class AsideParent
{
public:
    enum class Kind { Missing, Link, Folder, Other };

    virtual ~AsideParent() = default;
    // What name is in the parent, without following a link; Missing when it
    // cannot be told.
    virtual Kind kindOf(const QString &name) = 0;
    virtual bool removeLink(const QString &name, QString *error) = 0;
    // Renames the folder `from` to the hidden `to`; *taken says `to` exists.
    virtual bool renameAside(const QString &from, const QString &to, bool *taken, QString *error) = 0;
    // The real folders (no links) in the parent.
    virtual QStringList folderNames() = 0;
    virtual bool deleteTree(const QString &name) = 0;
};

// A link in leaf's place goes as it is; a folder is renamed aside to a
// random hidden name, so a removal that stops half-way never leaves a partial
// folder under the name; a file is refused. Then every folder moved aside
// from this name (this time's, and any an interrupted removal left) is deleted.
bool removeAside(AsideParent &parent, const QString &leaf, QString *error);

} // namespace FileOps
