#include "quorDownload/singlelogging.h"

Q_LOGGING_CATEGORY(lcSingle, "quor.single")
