#include "common/batchedlog.h"

#include "platform/fileops.h"

#include <QTextCodec>

BatchedLog::BatchedLog(const char *fileName, const char *codecName)
    : m_fileName(fileName), m_codecName(codecName)
{
}

void BatchedLog::append(const QString &text)
{
    // The bytes a text stream of its own would write for the record (no byte
    // order mark, the text and its "\n" through one converter state), without
    // the cost of a stream per record.
    // A named codec is looked up once; the locale's can change, so it is asked for each time.
    if (m_codecName && !m_namedCodec)
        m_namedCodec = QTextCodec::codecForName(m_codecName);
    QTextCodec *codec = m_namedCodec ? m_namedCodec : QTextCodec::codecForLocale();
    if (codec) {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        m_pending += codec->fromUnicode(text.constData(), text.size(), &state);
        const QChar lineFeed(QLatin1Char('\n'));
        m_pending += codec->fromUnicode(&lineFeed, 1, &state);
    } else {
        m_pending += text.toLatin1();
        m_pending += '\n';
    }
    if (m_depth == 0)
        flush();
}

void BatchedLog::flush()
{
    if (m_pending.isEmpty())
        return;
    FileOps::appendToFile(QString::fromLatin1(m_fileName), m_pending); // a file that will not open loses them
    m_pending.clear();
}
