#include "FirmwareLog.h"

Q_LOGGING_CATEGORY(lcFirmware, "mzt.firmware")
