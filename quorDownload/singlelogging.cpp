#include "quorDownload/singlelogging.h"

Q_LOGGING_CATEGORY(lcSingle, "quor.single")
Q_LOGGING_CATEGORY(lcSingleOutput, "quor.single.output", QtInfoMsg)
