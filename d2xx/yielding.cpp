#include "yielding.h"

#include <atomic>
#include <mutex>

namespace d2xx {

namespace {

std::atomic<HoldMode> g_holdMode {HoldMode::Ordinary};
std::mutex g_callbackLock;
TakenCallback g_takenCallback;

} // namespace

void setHoldMode(HoldMode mode)
{
    g_holdMode = mode;
}

HoldMode holdMode()
{
    return g_holdMode;
}

void setTakenCallback(TakenCallback callback)
{
    std::lock_guard lock(g_callbackLock);
    g_takenCallback = std::move(callback);
}

} // namespace d2xx
