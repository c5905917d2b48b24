// Holding a device yielding: a program that reads recorders in the
// background (the watcher) gives a device up as soon as any other program,
// or another part of itself, opens it in the ordinary way.
//
// An ordinary open (FT_Open, FT_OpenEx) that finds its device held yielding
// asks the holder to let go and waits for that, at most kYieldWaitMs,
// before it reports FT_DEVICE_IN_USE. The holder's handle then fails every
// call but FT_Close with FT_DEVICE_TAKEN, and the taken callback runs, so a
// backup in progress ends at once and writes nothing. Yielding holders do
// not ask each other: of two background readers the first one keeps it.
//
// The request travels over an abstract unix socket named after the user and
// the device, which the holder listens on while it holds the device: it
// vanishes with the holder, so a holder that died leaves nothing behind
// that would make an open wait.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace d2xx {

enum class HoldMode {
    Ordinary, // keeps the device until closed
    Yielding, // lets it go when another open asks
};

// How the opens of this process hold their devices from now on; devices
// already open keep the mode they were opened with.
void setHoldMode(HoldMode mode);
// The mode of the next open on this thread.
HoldMode holdMode();

// Opens on this thread use this mode while the scope lasts, whatever the
// process's mode: for a process that both backs up in the background and
// lets its window open recorders.
class HoldModeScope {
public:
    explicit HoldModeScope(HoldMode mode);
    ~HoldModeScope();
    HoldModeScope(const HoldModeScope&) = delete;
    HoldModeScope& operator=(const HoldModeScope&) = delete;

private:
    std::optional<HoldMode> m_previous;
};

// How long an ordinary open waits for a yielding holder to let go.
constexpr int kYieldWaitMs = 3000;

// Called once for every yielding handle of this process that was taken,
// with the device's serial number (else its place), on a thread of the
// device layer, after the device was let go: it only takes note (posts to
// its own thread) and does not close the handle there. Replaces the
// callback set before; an empty one removes it.
using TakenCallback = std::function<void(const std::string& device)>;
void setTakenCallback(TakenCallback callback);

} // namespace d2xx
