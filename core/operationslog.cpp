#include "operationslog.h"

Q_LOGGING_CATEGORY(lcOperations, "mzt.operations")
