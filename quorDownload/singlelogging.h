#pragma once

#include <QLoggingCategory>

// The single-board side's debug output (see platform/logging.h for how the
// categories are switched).
Q_DECLARE_LOGGING_CATEGORY(lcSingle) // quor.single: the single-board window, staging and run
