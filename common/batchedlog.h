#pragma once

#include <QByteArray>
#include <QString>

class QTextCodec;

// A run log in the current directory, appended to one record (text and "\n")
// at a time. Outside a batch each record opens the file in append mode, is
// written and closes it again; inside one the records are kept and written
// with one open-append-close when the outermost batch ends or flush() is
// called (on Windows the antivirus scans a written file at every close). The
// bytes are the same either way. A file that cannot be opened loses the
// records silently.
class BatchedLog final
{
public:
    // codecName: how text is encoded; nullptr for the locale's encoding.
    BatchedLog(const char *fileName, const char *codecName);

    void append(const QString &text);
    void flush();

    class Batch final
    {
    public:
        explicit Batch(BatchedLog &log) : m_log(log) { ++m_log.m_depth; }
        ~Batch()
        {
            if (--m_log.m_depth == 0)
                m_log.flush();
        }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        BatchedLog &m_log;
    };

private:
    const char *m_fileName;
    const char *m_codecName;
    QTextCodec *m_namedCodec = nullptr; // m_codecName's, once looked up
    QByteArray m_pending;
    int m_depth = 0;
};
