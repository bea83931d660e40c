#pragma once

#include <QLoggingCategory>

// The records' debug output (see platform/logging.h for how the categories
// are switched).
Q_DECLARE_LOGGING_CATEGORY(lcRecords) // quor.records: the run records and their database
