// A background holder in a process of its own: opens the first listed
// device yielding, says "held", and once another program took the device
// says "taken <device> <status of a later call>" and ends.
#include "ftd2xx.h"
#include "yielding.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

int main()
{
    d2xx::setHoldMode(d2xx::HoldMode::Yielding);
    std::promise<std::string> taken;
    d2xx::setTakenCallback([&taken](const std::string& device) { taken.set_value(device); });
    DWORD count = 0;
    FT_HANDLE h = nullptr;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0 || FT_Open(0, &h) != FT_OK) {
        std::puts("cannot open");
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    std::future<std::string> device = taken.get_future();
    if (device.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::puts("never taken");
        return 1;
    }
    DWORD queued = 0;
    const FT_STATUS after = FT_GetStatus(h, &queued, nullptr, nullptr);
    std::printf("taken %s %u\n", device.get().c_str(), unsigned(after));
    FT_Close(h);
    return 0;
}
