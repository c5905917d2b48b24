// Placeholder until the kernel serial backend lands: lists nothing.
#include "backend.h"

namespace d2xx {
Backend* serialBackend() { return nullptr; }
} // namespace d2xx
