// The channel between an ordinary open and the yielding holder of its
// device (see yielding.h): the holder listens on an abstract unix socket
// named after the user and the device; the requester connects, which is
// the request, and reads until the holder closes the connection, which it
// does once the device is let go.
#pragma once

#include "backend.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace d2xx {

// The device's name on the channel, the same in every process that lists
// it: its serial number, else its place. Simulated devices exist in one
// process only, so theirs carries the process too.
std::string yieldKey(const Backend* backend, const DeviceInfo& device);

// The holder's side, for one open handle: waits in a thread of its own,
// blocked on the socket, for one request, and hands its connection to
// onRequest, which closes it once the device is let go.
class YieldListener {
public:
    // Null (and logged) when the socket cannot be had.
    static std::unique_ptr<YieldListener> start(const std::string& key,
                                                std::function<void(int connection)> onRequest);
    ~YieldListener();

private:
    YieldListener() = default;
    int m_socket = -1;
    int m_stop = -1;
    std::thread m_thread;
};

// Closes the connection of a request once the port it waited for is gone,
// which tells the requester the device is free.
class ReleaseNotice {
public:
    ~ReleaseNotice() { release(); }
    void hold(int connection);
    void release();

private:
    std::mutex m_lock;
    int m_connection = -1;
};

// The requester's side: asks the holder of the device to let go and waits
// until it has or the deadline passes. False when no yielding holder of the
// same user listens, or it did not let go in time.
bool askToYield(const std::string& key, WaitClock::time_point deadline);

// Runs the taken callback (yielding.h) for that device.
void reportTaken(const std::string& device);

} // namespace d2xx
