#pragma once

#include <QLoggingCategory>

// One category per area for the debug output, so that a maintainer can switch
// areas on and off, e.g. QT_LOGGING_RULES="quor.package.debug=false". All are
// on by default and the texts are printed as they are, without the category.
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // quor.startup: start-up, Board_config.ini
Q_DECLARE_LOGGING_CATEGORY(lcMulti)   // quor.multi: the multi-board window and its slots
Q_DECLARE_LOGGING_CATEGORY(lcPorts)   // quor.ports: port listings and port-to-slot binding
Q_DECLARE_LOGGING_CATEGORY(lcPackage) // quor.package: package unpack and stamp
Q_DECLARE_LOGGING_CATEGORY(lcSingle)  // quor.single: the single-board window, staging and run
Q_DECLARE_LOGGING_CATEGORY(lcDevices) // quor.devices: device events (udev, the bench)
Q_DECLARE_LOGGING_CATEGORY(lcRecords) // quor.records: the run records and their database
Q_DECLARE_LOGGING_CATEGORY(lcMetrics) // quor.metrics: the live metrics endpoint
