#pragma once

#include <QLoggingCategory>

// The multi-board side's debug output (see platform/logging.h for how the
// categories are switched).
Q_DECLARE_LOGGING_CATEGORY(lcMulti) // quor.multi: the multi-board window, its session and slots
Q_DECLARE_LOGGING_CATEGORY(lcPorts) // quor.ports: port listings and port-to-slot binding
