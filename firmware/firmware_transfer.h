// Sends an update image to one recorder: identifies it, writes the header
// block (command 3) and then every section (command 4, the section index as
// parameter). Runs on the calling thread with the update's reply time-out
// and sets the master's previous time-out back before it returns.
#pragma once

#include "operation.h"

class KVPMaster;
class KVPmPhyUSB;
class UpdateImage;

namespace core {

Result sendFirmware(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex, const UpdateImage& image);

} // namespace core
