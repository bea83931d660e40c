#pragma once

#include "platform/deviceeventsource.h"

// Device events from the simulated bench (usb_dl_bench plug/unplug/event).
DeviceEventSource *createBenchDeviceSource(const QString &benchDir, QObject *parent);
