// Line settings of a kernel serial port. Kept in a file of its own because
// the termios2 interface (needed for baud rates outside the B* table) comes
// from kernel headers that cannot be mixed with <termios.h>.
#pragma once

#include <cstdint>

namespace d2xx {

struct LineSettings {
    std::uint32_t baud = 250000;
    int dataBits = 8; // 7 or 8
    bool twoStopBits = true;
    int parity = 0; // 0 none, 1 odd, 2 even
};

// Puts the port into raw mode with the given settings and a custom baud
// rate. A pseudo-terminal has no baud rate: when ignoreSpeed is set, a port
// that refuses the custom speed keeps its own and the rest still applies.
// Returns 0 or an errno value; EINVAL when a real port cannot run at the
// requested speed within 3 %.
int applyLineSettings(int fd, const LineSettings& settings, bool ignoreSpeed);

// Drops whatever waits in the receive and transmit queues. 0 or an errno.
int flushLine(int fd);

// Bytes waiting in the receive queue, or -1 with errno set.
int queuedInput(int fd);

} // namespace d2xx
