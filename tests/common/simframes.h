// The frames the simulated recorder took in, by command.
#pragma once

#include "simulator.h"

#include <vector>

namespace testcommon {

std::vector<sim::Frame> framesOf(const sim::Recorder& recorder, int command);

} // namespace testcommon
