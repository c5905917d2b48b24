// Backends behind the D2XX-shaped calls of ftd2xx.h. Each backend lists the
// devices it can reach and opens ports on them; the dispatcher in ftd2xx.cpp
// merges the listings into the one list D2XX callers expect.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace d2xx {

struct DeviceInfo {
    std::uint32_t flags = 0;
    std::uint32_t type = 0; // FT_DEVICE_*
    std::uint32_t id = 0;   // vendor << 16 | product
    std::uint32_t locId = 0;
    std::string serial;      // at most 15 characters reach the D2XX record
    std::string description; // at most 63 characters reach the D2XX record
    // USB bus number and device address, 0 when unknown: lets the dispatcher
    // drop a serial port whose USB device the libftdi backend already listed.
    int usbBus = 0;
    int usbAddress = 0;
    // Identity inside the backend (bus/port path, tty path, simulator slot);
    // two entries with the same backend and key are the same device.
    std::string key;
    // Where the device is plugged in, the same whichever backend lists it:
    // "usb:<bus>-<port path>:<interface>" for USB devices, the port's path
    // for a named serial port, the slot for a simulated device. Stays the
    // same while the device stays in its socket, even across a new USB
    // address, so a device without a serial number can be found again.
    std::string place;
};

// The signal of an event (FT_SetEvent) as a port's wait sees it: a flag, a
// descriptor that is readable while the flag is set (for ports that wait in
// poll()) and a notifier a port installs for the length of a wait that
// sleeps on a condition of its own.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    void set();
    // Clears the signal; true when it was set.
    bool take();
    bool isSet() const { return m_set.load(std::memory_order_acquire); }
    // Empties the descriptor when the signal is clear: a take() that ran
    // between set()'s flag and its write leaves it readable, which would
    // make every later poll() return at once.
    void dropStaleWakeup();
    // Readable while set; -1 when the system gave no descriptor (the ports
    // then also wake on the flag within their own short waits).
    int fd() const { return m_fd; }
    void setNotifier(std::function<void()> notifier);

private:
    std::atomic<bool> m_set {false};
    int m_fd = -1;
    std::mutex m_notifierLock;
    std::function<void()> m_notifier;
};

using WaitClock = std::chrono::steady_clock;

// One open device. read() and write() may run concurrently on two threads
// (the link's reader and the master); everything else comes from one thread
// at a time and never concurrently with read().
class Port {
public:
    virtual ~Port() = default;
    virtual bool reset() = 0;
    virtual bool setBaudRate(std::uint32_t baud) = 0;
    virtual bool setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits,
                                        std::uint8_t parity) = 0;
    virtual bool setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) = 0;
    // false on an I/O error; *written is what the device took.
    virtual bool write(const std::uint8_t* data, std::size_t length, std::size_t* written) = 0;
    // Waits until length bytes arrived or the read time-out expired; false
    // only on an I/O error (a time-out is success with fewer bytes).
    virtual bool read(std::uint8_t* data, std::size_t length, std::size_t* got) = 0;
    // false once the device has gone.
    virtual bool status(std::uint32_t* rxQueued) = 0;
    // Blocks until bytes wait to be read, the wakeup is set or the deadline
    // passes; *readable tells whether bytes wait. false once the device has
    // gone or on an I/O error. Runs beside write() like read(), never
    // beside read().
    virtual bool waitForInput(WaitClock::time_point deadline, Wakeup& wakeup, bool* readable) = 0;
};

// Why a device could not be opened.
struct OpenFailure {
    std::string reason; // for the log
    // The device is there but held by another program (or another handle):
    // waiting for it to be let go helps, checking cable and rights does not.
    bool inUse = false;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* name() const = 0;
    virtual std::vector<DeviceInfo> list() = 0;
    // Opens the device; on failure returns null and says why in *failure.
    virtual std::unique_ptr<Port> open(const DeviceInfo& device, OpenFailure* failure) = 0;
};

// The simulated recorders; non-null when the environment variable
// MZT500_SIMULATOR is set or a test installed a simulated bus. While it is
// active the list holds the simulated devices and nothing else.
Backend* simulatorBackend();
// True when MZT500_NO_HARDWARE is set (and not "0"): the USB devices of the
// machine are then left alone (no libftdi scan, no sysfs ttyUSB scan), while
// the ports named in MZT500_PORTS are still listed, so tests can reach a
// pseudo-terminal through the serial backend.
bool usbScanDisabled();

// Real hardware through libftdi1.
Backend* ftdiBackend();
// Real hardware through the kernel's FTDI serial driver: ttyUSB ports of FTDI
// devices plus the ports named in MZT500_PORTS ("path=description;...").
Backend* serialBackend();

struct ListedDevice {
    Backend* backend = nullptr;
    DeviceInfo info;
};

// The one list: the libftdi devices, then the serial ports whose USB device
// libftdi did not list (matched by bus number and device address), then the
// serial ports without a USB identity (MZT500_PORTS entries), each group in
// the order its backend gave.
std::vector<ListedDevice> mergeListings(Backend* ftdi, const std::vector<DeviceInfo>& ftdiDevices,
                                        Backend* serial,
                                        const std::vector<DeviceInfo>& serialDevices);

// The one list as the backends see it now. Only FT_CreateDeviceInfoList
// makes it the list that FT_Open's positions refer to.
std::vector<ListedDevice> listAllDevices();

} // namespace d2xx
