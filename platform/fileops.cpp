#include "platform/fileops.h"

#include <algorithm>

namespace FileOps {

void sortFolderEntries(QVector<FolderEntry> &entries)
{
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &a, const FolderEntry &b) {
        const int c = QString::compare(a.name, b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.name < b.name;
    });
}

} // namespace FileOps
