#include "brivanelogging.h"

Q_LOGGING_CATEGORY(brivaneSetup, "brivane.setup")
