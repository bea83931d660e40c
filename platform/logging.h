#pragma once

#include <QLoggingCategory>

// One category per area for the debug output, so that a maintainer can switch
// areas on and off, e.g. QT_LOGGING_RULES="quor.package.debug=false". All are
// on by default, except the echo of every single-board tool line
// (quor.single.output), and the texts are printed as they are, without the category.
// Each area declares its own (multi/multilogging.h, quorDownload/singlelogging.h,
// records/recordslogging.h, metrics/metricslogging.h); these are the ones of
// the device events, of start-up and Board_config.ini, and of the package.
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // quor.startup: start-up, Board_config.ini
Q_DECLARE_LOGGING_CATEGORY(lcPackage) // quor.package: package unpack and stamp
Q_DECLARE_LOGGING_CATEGORY(lcDevices) // quor.devices: device events (udev, the bench)
