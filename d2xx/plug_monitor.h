// Tells when a device may have been plugged in or unplugged, so that the
// window and the command line list the devices again without being asked.
//
// PlugMonitor says only "look again": whoever listens re-lists through
// FT_CreateDeviceInfoList as always and compares the new listing with the
// one it had (diffListings), so the list the program works with has one
// source. The monitor watches, with no timer of its own while nothing
// happens:
// - the USB devices with FTDI's vendor and product ids and the kernel's
//   serial ports, through udev (not while MZT500_NO_HARDWARE is set or the
//   simulator is selected);
// - the paths named in MZT500_PORTS, through inotify on their folders: a
//   path that appears or goes (a link to a pseudo-terminal, say) is a plug
//   or an unplug;
// - the simulated devices: those plugged or unplugged through the
//   simulator's API, and those that follow a presentWhile path.
#pragma once

#include <QObject>

#include <memory>
#include <string>
#include <vector>

namespace d2xx {

class PlugMonitor : public QObject {
    Q_OBJECT

public:
    // A burst of events (a USB device brings its serial port a moment
    // later) ends in one devicesChanged(), this long after its last event.
    static constexpr int kSettleMs = 150;

    explicit PlugMonitor(QObject* parent = nullptr);
    ~PlugMonitor() override;

    // Starts watching what the environment selects now (MZT500_SIMULATOR,
    // MZT500_PORTS, MZT500_NO_HARDWARE). Calling it again starts over with
    // the environment of then. Runs in the thread the monitor lives in,
    // which needs an event loop.
    void start();
    void stop();
    bool isRunning() const;

signals:
    // A device may have come or gone: list again and compare.
    void devicesChanged();

private:
    void noteEvent();
    void readUdev();
    void readInotify();
    void watchPath(const std::string& path);

    struct Watches;
    std::unique_ptr<Watches> m_watches;
};

// A device as a listing shows it, for telling listings apart.
struct PluggedDevice {
    std::string serial;      // as FT_GetDeviceInfoList shows it; may be empty
    std::string place;       // as FT_GetDevicePlace reports it
    std::string description; // for messages
    bool operator==(const PluggedDevice&) const = default;
};

// What came and what went between two listings. A device is the same in
// both when its serial number is (devices without one: when its place is),
// whatever its position in either list.
struct PlugDiff {
    std::vector<PluggedDevice> appeared; // in the order of the newer listing
    std::vector<PluggedDevice> gone;     // in the order of the older listing
    bool empty() const { return appeared.empty() && gone.empty(); }
};

PlugDiff diffListings(const std::vector<PluggedDevice>& before,
                      const std::vector<PluggedDevice>& after);

// The devices present now, through FT_CreateDeviceInfoList (which replaces
// the list that FT_Open's positions refer to, as every listing does).
std::vector<PluggedDevice> listPluggedDevices();

// A device as it is plugged in now: the same USB address as long as it
// stays plugged in, a new one once it was plugged in again.
struct PresentDevice {
    PluggedDevice device;
    int usbBus = 0; // 0 for a device without a USB identity
    int usbAddress = 0;
    bool operator==(const PresentDevice&) const = default;
};

// What is plugged in now, in listing order, to tell whether a change the
// monitor reported changed anything: a recorder's kernel serial port goes
// while libftdi has the recorder open and comes back when it is closed, and
// udev reports both although nothing was plugged. Leaves the list that
// FT_Open's positions refer to as it is, so it may run while another thread
// opens a device by its position.
std::vector<PresentDevice> presentDevices();

} // namespace d2xx
