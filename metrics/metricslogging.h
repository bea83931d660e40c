#pragma once

#include <QLoggingCategory>

// The live metrics' debug output (see platform/logging.h for how the
// categories are switched).
Q_DECLARE_LOGGING_CATEGORY(lcMetrics) // quor.metrics: the live metrics endpoint
