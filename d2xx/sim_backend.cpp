// Placeholder until the simulated recorder is wired in: no simulated devices.
#include "backend.h"

namespace d2xx {
Backend* simulatorBackend() { return nullptr; }
} // namespace d2xx
