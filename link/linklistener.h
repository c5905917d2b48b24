// What the link needs from the side that takes its bytes (the protocol
// master). The link sits below the protocol: it moves bytes and reports a
// lost device through this interface and knows nothing else of the master.
#pragma once

#include <cstddef>

class LinkListener {
public:
    // A transaction waits for its reply; the reader reads only then, so that
    // bytes arriving at other times stay queued for the next exchange.
    virtual bool isBusy() const = 0;
    // Received bytes in the order they came; called on the reader thread.
    virtual void feedBytes(const unsigned char* bytes, std::size_t count) = 0;
    // A write failed or the device went away: the waiting exchange fails now
    // rather than at its time-out. Called from the reader or a sender thread.
    virtual void cancel() = 0;

protected:
    ~LinkListener() = default;
};
