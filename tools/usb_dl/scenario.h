#pragma once

#include "tools/benchcommon/benchstate.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

// What the simulated tool prints: the port listing and the download scenarios.
namespace Sim {

// Writes CRLF-terminated lines and flushes after each one, as a pipe reader
// must see every line as soon as it is printed.
class Output final
{
public:
    explicit Output(std::FILE *stream) : m_stream(stream) {}
    void line(const QByteArray &text);
    void raw(const QByteArray &bytes);

private:
    std::FILE *m_stream;
};

inline constexpr int kDefaultDelayMs = 60;
inline constexpr int kSlowFactor = 8;
inline constexpr int kFloodLines = 100000;
inline constexpr int kLongLineBytes = 50 * 1024 * 1024;

int delayFromEnvironment();
quint32 seedFromEnvironment();

void printListing(Output &out, const Bench::State &state);

inline constexpr int kHelperSeconds = 60; // how long a "spawn" helper runs on its own
inline constexpr char kHoldOption[] = "--hold";

// Plays a known scenario; returns the exit code (0 on completion). "crash"
// does not return, "hang" and "spawn" return only when nobody reads the output
// any more, "presskey" when its standard input gives a byte or ends. "spawn"
// notes its helper's process id in benchDir.
int play(Output &out, const QString &scenario, int delayMs, quint32 seed,
         const QString &benchDir = QString());

// The helper "spawn" starts: waits seconds, then ends.
int hold(int seconds);

// What a transfer prints when the image folder is missing or holds no file:
// one waiting line, the reason, then the download-failure line. Exit code 1.
int playMissingImages(Output &out, const QString &imageFolder, int delayMs);

} // namespace Sim
