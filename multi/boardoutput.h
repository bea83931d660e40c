#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The decisions a board slot's output handler makes for one line of the
// tool's output: what kind of line it is, whether it completes the transfer,
// the slot's new progress value and the operator messages to show. The
// handler itself does the logging, pictures, flags and process control.
struct BoardLineResult
{
    enum class Kind { Plain, NotFound, Waiting, CommFailed, TooLarge, DownloadFailed, Progress, Break };
    Kind kind = Kind::Plain;
    bool complete = false;   // completion text seen (never for NotFound or Waiting)
    float progress = 0.0f;   // the slot's progress after this line
    QString statusMessage;   // failure message for this line with the slot's digit, or empty
    QString completeMessage; // "Board N download complete!\n" when complete, else empty
};

// Decodes a chunk of the tool's output as UTF-8, every byte of it: a NUL
// byte does not end the text (QString::fromUtf8(QByteArray) would stop there
// and lose the lines after it).
QString decodeToolOutput(const QByteArray &bytes);

// Cuts a decoded output chunk at "\r\n", keeping empty parts: an empty chunk
// gives one empty line, a chunk ending in "\r\n" an empty last line.
QStringList splitBoardOutput(const QString &text);

// "[Board N] ": the run-log prefix of slot N's output lines.
QString boardLogPrefix(int slotNumber);

// Decides one line for slot slotNumber (1..8) whose progress is `progress`.
// Tests in this order: not found, waiting, communication failure, transfer
// failure, progress ("updated size" counts or "break"); then, except for not
// found and waiting, the completion text. An "updated size" line whose total
// is below 100 or does not convert keeps the last value.
BoardLineResult interpretBoardLine(const QString &line, int slotNumber, float progress);
