#pragma once

#include "platform/deviceeventsource.h"

// Device events from the simulated bench (usb_dl_bench plug/unplug/event).
// The program listens on a local socket tied to the bench folder; each client
// writes lines "arrival NAME\n" or "removal NAME\n" and gets "ok\n" back for
// every line once it has been taken, before the event is handed on.
DeviceEventSource *createBenchDeviceSource(const QString &benchDir, QObject *parent);

namespace BenchChannel {

inline constexpr char kArrival[] = "arrival";
inline constexpr char kRemoval[] = "removal";
inline constexpr char kAck[] = "ok";

// The socket path for a bench folder: "events.sock" inside it when the path
// fits a socket address, otherwise a name under the temporary folder derived
// from the folder's canonical path. Both ends compute it the same way.
QString socketPath(const QString &benchDir);

} // namespace BenchChannel
