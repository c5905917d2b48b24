// Pure logic shared by the real-hardware backends (libftdi1 and the kernel's
// serial driver): naming and ordering of FTDI USB devices, classification of
// libusb results and errno values, the MZT500_PORTS variable and the sysfs
// scan for ttyUSB ports. Nothing here touches a device, so all of it can be
// checked without hardware.
#pragma once

#include "backend.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcD2xx)

namespace d2xx::hw {

constexpr std::uint16_t kFtdiVendor = 0x0403;

// The product ids of FTDI's own USB-serial chips that we look for.
bool isFtdiProduct(std::uint16_t productId);

// Chip family (FT_DEVICE_*) from the USB device release number (bcdDevice).
std::uint32_t chipTypeFromBcd(std::uint16_t bcdDevice);
// Serial interfaces of that chip family (2 for FT2232C/H, 4 for FT4232H).
int interfaceCount(std::uint32_t chipType);
bool isHighSpeed(std::uint32_t chipType);

// Where a device sits on the USB: bus number, then the port numbers from the
// root hub down, then the serial interface on multi-interface chips.
struct UsbPlace {
    int bus = 0;
    std::vector<int> ports;
    int interface = 0;

    bool operator<(const UsbPlace& other) const;
    bool operator==(const UsbPlace& other) const = default;
};

// "usb:<bus>-<port>.<port>...:<interface>": stable while the device stays in
// the same socket, even when it re-enumerates with a new address.
std::string usbKey(const UsbPlace& place);
bool parseUsbKey(const std::string& key, UsbPlace* place);
// A sysfs USB device name such as "1-2.3" (bus 1, ports 2 then 3); sets the
// bus and ports of *place and leaves its interface alone.
bool parseSysfsUsbName(const std::string& name, UsbPlace* place);
// Bus in the top byte, then one nibble per port level (deeper levels than
// six do not fit and are left out).
std::uint32_t locationId(const UsbPlace& place);

// Fills type, flags, ID, location and the D2XX-style names of one interface
// of an FTDI device: multi-interface chips get " A", " B" ... after the
// description and "A", "B" ... after the serial number, as D2XX lists them.
DeviceInfo describeInterface(std::uint16_t productId, std::uint16_t bcdDevice,
                             const std::string& product, const std::string& serial,
                             const UsbPlace& place, int usbAddress);

// What the ports of both hardware backends share. read() and write() may run
// at the same time on two threads, so each takes only its own lock; the
// settings calls take both, so they never change the line under a transfer.
class HardwarePort : public Port {
public:
    bool setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override
    {
        readTimeoutMs_ = readMs;
        writeTimeoutMs_ = writeMs;
        return true;
    }

protected:
    std::mutex readMutex_;
    std::mutex writeMutex_;
    // Set once the device has vanished; every later call fails.
    std::atomic<bool> gone_ {false};
    // A read time-out of 0 returns what has already arrived.
    std::atomic<std::uint32_t> readTimeoutMs_ {0};
    std::atomic<std::uint32_t> writeTimeoutMs_ {2000};
};

// Orders devices by bus, port path and interface (their UsbPlace); entries
// whose key is not a USB place keep their relative order after those.
void sortByUsbPlace(std::vector<DeviceInfo>* devices);

// The word lengths, stop bits and parities both hardware backends can set:
// 7 or 8 bits, 1 (0) or 2 stop bits, no (0), odd (1) or even (2) parity.
bool supportedDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits, std::uint8_t parity);

// What a libusb result means for a port.
enum class UsbOutcome { Ok, TimedOut, Gone, Failed };
UsbOutcome classifyUsbResult(int libusbResult);

// The reason a libftdi open failed, for the log. libusbOpenResult is what a
// plain libusb_open of the device returned (0 when not tried or it worked).
std::string openFailureText(int ftdiOpenResult, int libusbOpenResult);
// Whether that failure means another program holds the device: libusb found
// its interface claimed. A claim libftdi could not make for another reason
// (the device gone, the rights) is not that.
bool usbOpenMeansInUse(int ftdiOpenResult, int libusbOpenResult);

// An errno that means the serial device has gone away.
bool isGoneErrno(int error);
// The reason opening a serial port failed, for the log.
std::string serialOpenFailureText(int error);

// One "path=description" entry of MZT500_PORTS.
struct NamedPort {
    std::string path;
    std::string description;
};
// Parses "path=description;path=description". Blanks around paths and
// descriptions are dropped, empty entries and entries without a path are
// skipped, an entry without "=" gets an empty description, and a path named
// twice is listed once (the first wins).
std::vector<NamedPort> parsePortsVariable(const std::string& value);

// The ttyUSB ports of FTDI devices, found in the sysfs tree at sysRoot
// ("/sys" on a live system) and named after the /dev entries below devRoot.
// Ordered by bus, port path and interface.
std::vector<DeviceInfo> scanTtyUsbPorts(const std::string& sysRoot,
                                        const std::string& devRoot = "/dev");

// The serial backend's list: the ttyUSB ports (when scanUsb) followed by the
// MZT500_PORTS entries. A ttyUSB port that an MZT500_PORTS entry also names
// is listed once, as that entry, with the user's description.
std::vector<DeviceInfo> serialListing(const std::vector<DeviceInfo>& ttyUsbPorts,
                                      const std::vector<NamedPort>& namedPorts);

} // namespace d2xx::hw
