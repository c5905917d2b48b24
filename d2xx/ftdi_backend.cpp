// Placeholder until the libftdi1 backend lands: lists nothing.
#include "backend.h"

namespace d2xx {
Backend* ftdiBackend() { return nullptr; }
} // namespace d2xx
