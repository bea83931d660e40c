#pragma once

// The benchmarks' working folder, device events and window helpers are the
// tests' (tests/support/windowtestenv.h); what only the benchmarks need is here.

#include "windowtestenv.h"

#include <QByteArray>

// Board_config.ini and the replaying stand-in (bench_replay_tool beside this
// program) as the tool: what the window benchmarks start from.
bool prepareReplay(const WindowTestFolder &folder);

// A recorded download of the simulated tool (scenario ok, no pauses) on port
// 1,1, with the tool's own CRLF line ends; empty when the tool could not run.
QByteArray recordSimulatedRun(const WindowTestFolder &folder);

// Lines of a file in the folder starting with prefix.
int countLines(const WindowTestFolder &folder, const QString &relative, const QByteArray &prefix);
