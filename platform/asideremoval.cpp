#include "platform/asideremoval.h"

#include "platform/fileops.h"

#include <QRandomGenerator>

namespace FileOps {

QString asideNamePrefix(const QString &folderName)
{
    return QLatin1Char('.') + folderName + QStringLiteral(".removing-");
}

bool removeAside(AsideParent &parent, const QString &leaf, QString *error)
{
    const QString prefix = asideNamePrefix(leaf);
    bool ok = true;
    switch (parent.kindOf(leaf)) {
    case AsideParent::Kind::Missing:
        break;
    case AsideParent::Kind::Link:
        if (!parent.removeLink(leaf, error))
            return false;
        break;
    case AsideParent::Kind::Other:
        ok = false;
        if (error)
            *error = QStringLiteral("a file of that name is in the way");
        break;
    case AsideParent::Kind::Folder: {
        bool moved = false;
        bool taken = true;
        for (int attempt = 0; attempt < 100 && !moved && taken; ++attempt) {
            taken = false;
            moved = parent.renameAside(
                leaf, prefix + QString::number(QRandomGenerator::global()->generate(), 16), &taken, error);
        }
        if (!moved)
            return false;
        break;
    }
    }
    for (const QString &name : parent.folderNames()) {
        if (name.startsWith(prefix) && !parent.deleteTree(name)) {
            ok = false;
            if (error)
                *error = QStringLiteral("could not delete everything below %1").arg(name);
        }
    }
    return ok;
}

} // namespace FileOps
