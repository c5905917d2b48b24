#include "simbus.h"

SimSetup::SimSetup(std::vector<sim::DeviceConfig> configs, int timeoutMs)
{
    devices = sim::Bus::instance().install(configs);
    master.attachLink(&link);
    master.setTimeout(timeoutMs);
    master.connectLink();
}

SimSetup::~SimSetup()
{
    master.stopAndReset();
    sim::Bus::instance().uninstall();
}

void SimBusTest::cleanup()
{
    sim::Bus::instance().uninstall();
}
