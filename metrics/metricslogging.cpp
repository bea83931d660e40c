#include "metrics/metricslogging.h"

Q_LOGGING_CATEGORY(lcMetrics, "quor.metrics")
