#include "platform/bench/benchdevicesource.h"

// Placeholder until the bench channel lands: a source that never reports.
DeviceEventSource *createBenchDeviceSource(const QString &benchDir, QObject *parent)
{
    Q_UNUSED(benchDir)
    return new DeviceEventSource(parent);
}
