// How a read or write of the protocol master ended, as a value: whether it
// worked, why not, and what the recorder said. The callers decide from it
// whether making a transfer again from its start can help.
#pragma once

#include <cstdint>

namespace kvp {

enum class FailureCause {
    None,
    // No valid reply in time: a reply was lost or corrupted on the line.
    // The recorder answered other requests of the same attempt.
    NoReply,
    // The recorder answered none of the attempt's requests: switched off,
    // hung, or not a recorder.
    Silent,
    // The recorder answered with an error status, or a reply of the wrong
    // length or value; so would it again.
    Refused,
    // The link to the recorder is down: unplugged or closed.
    Gone,
    // Stopped on request (an abort) before it was complete.
    Aborted,
};

// For the log: a few words on the cause.
const char* describeCause(FailureCause cause);

struct TransferOutcome {
    FailureCause cause = FailureCause::None;
    // The status the failing reply carried: the recorder's error status, or
    // the engine's own for corrupt or malformed replies. 0 otherwise.
    std::uint8_t status = 0;
    // A read: the bytes delivered into the caller's buffer. A write: the
    // bytes of the frames the recorder acknowledged.
    unsigned length = 0;

    bool ok() const { return cause == FailureCause::None; }
    explicit operator bool() const { return ok(); }
};

} // namespace kvp
