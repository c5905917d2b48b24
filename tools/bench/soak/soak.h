// The fault-injection soak: random transfers, listings and firmware updates
// through the main window's own commands and workers, against a simulated
// recorder that corrupts, drops and refuses replies and goes away at random.
#pragma once

#include "simulator.h"

#include <QString>

#include <cstdint>

namespace soak {

struct Options {
    int ops = 200;
    std::uint64_t seed = 1;
    double faultScale = 1.0; // multiplies every fault rate; 0 runs without faults
    QString only;            // one kind of operation only (download, upload, ...)
    bool verbose = false;    // every operation and its outcome on stderr
    // What the simulated recorder does with a frame it receives twice.
    sim::RepeatedFrames repeatedFrames = sim::RepeatedFrames::Recognised;
};

// Runs the soak and prints its summary line on stdout. Needs a QApplication.
// Returns 0 when no operation hung and no data was found damaged.
int run(const Options& options);

} // namespace soak
