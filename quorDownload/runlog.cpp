#include "quorDownload/runlog.h"

#include <QFile>
#include <QTextStream>

namespace RunLog {

void appendLog(const QString &text)
{
    QFile file(QString::fromLatin1(kFileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file); // locale codec by default
    stream << text << '\n';
    stream.flush();
    file.close();
}

} // namespace RunLog
