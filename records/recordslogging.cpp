#include "records/recordslogging.h"

Q_LOGGING_CATEGORY(lcRecords, "quor.records")
