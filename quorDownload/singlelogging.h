#pragma once

#include <QLoggingCategory>

// The single-board side's debug output (see platform/logging.h for how the
// categories are switched).
Q_DECLARE_LOGGING_CATEGORY(lcSingle) // quor.single: the single-board window, staging and run
// quor.single.output: every line of the tool echoed as "from cmd: <line>". Off
// unless switched on (QT_LOGGING_RULES="quor.single.output.debug=true"): the run
// log holds the same lines, and writing each to the debug output costs more
// than everything else done for the line.
Q_DECLARE_LOGGING_CATEGORY(lcSingleOutput)
