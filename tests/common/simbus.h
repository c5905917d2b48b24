// Tests on the simulated bus: recorders installed on it with a master and a
// USB link connected to the first, and a test case that empties the bus
// after each test function, so that no recorder outlives the test that made
// it.
#pragma once

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "simulator.h"

#include <QObject>

#include <memory>
#include <vector>

// Installs the given devices on the simulated bus and connects a master to
// the first recorder.
struct SimSetup {
    std::vector<std::shared_ptr<sim::Recorder>> devices;
    KVPmPhyUSB link;
    KVPMaster master;

    explicit SimSetup(std::vector<sim::DeviceConfig> configs = {sim::DeviceConfig::recorder()},
                      int timeoutMs = 1000);
    ~SimSetup();
    sim::Recorder& recorder(std::size_t i = 0) { return *devices.at(i); }
};

// A test case whose test functions put devices on the simulated bus.
class SimBusTest : public QObject {
    Q_OBJECT

private slots:
    // Also after a failed test function, which returns before its own
    // clean-up.
    void cleanup();
};
