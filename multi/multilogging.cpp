#include "multi/multilogging.h"

Q_LOGGING_CATEGORY(lcMulti, "quor.multi")
Q_LOGGING_CATEGORY(lcPorts, "quor.ports")
