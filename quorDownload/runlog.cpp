#include "quorDownload/runlog.h"

namespace RunLog {

BatchedLog &log()
{
    static BatchedLog log(kFileName, nullptr); // locale codec
    return log;
}

void appendLog(const QString &text)
{
    log().append(text);
}

} // namespace RunLog
