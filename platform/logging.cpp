#include "platform/logging.h"

Q_LOGGING_CATEGORY(lcStartup, "quor.startup")
Q_LOGGING_CATEGORY(lcMulti, "quor.multi")
Q_LOGGING_CATEGORY(lcPorts, "quor.ports")
Q_LOGGING_CATEGORY(lcPackage, "quor.package")
Q_LOGGING_CATEGORY(lcSingle, "quor.single")
Q_LOGGING_CATEGORY(lcDevices, "quor.devices")
Q_LOGGING_CATEGORY(lcRecords, "quor.records")
Q_LOGGING_CATEGORY(lcMetrics, "quor.metrics")
