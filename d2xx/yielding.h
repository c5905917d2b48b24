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
#pragma once

#include <functional>
#include <string>

namespace d2xx {

enum class HoldMode {
    Ordinary, // keeps the device until closed
    Yielding, // lets it go when another open asks
};

// How the opens of this process hold their devices from now on; devices
// already open keep the mode they were opened with.
void setHoldMode(HoldMode mode);
HoldMode holdMode();

// How long an ordinary open waits for a yielding holder to let go.
constexpr int kYieldWaitMs = 3000;

// Called once for every yielding handle of this process that was taken,
// with the device's serial number (else its place), on a thread of the
// device layer: it only takes note (posts to its own thread). Replaces the
// callback set before; an empty one removes it.
using TakenCallback = std::function<void(const std::string& device)>;
void setTakenCallback(TakenCallback callback);

} // namespace d2xx
