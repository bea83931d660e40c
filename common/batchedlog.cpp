#include "common/batchedlog.h"

#include <QFile>
#include <QTextStream>

BatchedLog::BatchedLog(const char *fileName, const char *codecName)
    : m_fileName(fileName), m_codecName(codecName)
{
}

void BatchedLog::append(const QString &text)
{
    {
        // A stream of its own per record, as a record written alone has.
        QTextStream stream(&m_pending, QIODevice::WriteOnly | QIODevice::Append);
        if (m_codecName)
            stream.setCodec(m_codecName);
        stream << text << '\n';
    }
    if (m_depth == 0)
        flush();
}

void BatchedLog::flush()
{
    if (m_pending.isEmpty())
        return;
    QFile file(QString::fromLatin1(m_fileName));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(m_pending);
    m_pending.clear();
}
