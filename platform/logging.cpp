#include "platform/logging.h"

Q_LOGGING_CATEGORY(lcStartup, "quor.startup")
Q_LOGGING_CATEGORY(lcPackage, "quor.package")
Q_LOGGING_CATEGORY(lcDevices, "quor.devices")
