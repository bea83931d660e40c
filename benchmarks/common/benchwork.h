#pragma once

// The benchmarks' working folder, device events and window views are the
// tests' (tests/support/windowtestenv.h); what only the benchmarks need is here.

#include "windowtestenv.h"

#include <QByteArray>

#include <functional>
#include <memory>

class MainWindow;

// Board_config.ini and the replaying stand-in (bench_replay_tool beside this
// program) as the tool: what the window benchmarks start from.
bool prepareReplay(const WindowTestFolder &folder);

// A recorded download of the simulated tool (scenario ok, no pauses) on port
// 1,1, with the tool's own CRLF line ends; empty when the tool could not run.
QByteArray recordSimulatedRun(const WindowTestFolder &folder);

// Lines of a file in the folder starting with prefix.
int countLines(const WindowTestFolder &folder, const QString &relative, const QByteArray &prefix);

// Clicks the push button with that object name; false when there is none.
bool pressButton(QWidget *window, const char *name);

// Runs a real event loop until done() is true or timeoutMs has passed, looking
// every 2 ms (the wait itself does not spin); returns done().
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// A shown multi-board window with a remembered package whose unpack folder
// exists; Start pressed when pressStart is true.
std::unique_ptr<MainWindow> openMultiWindow(const WindowTestFolder &folder, DeviceEventSource *devices,
                                            bool pressStart);
