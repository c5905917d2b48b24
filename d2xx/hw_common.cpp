#include "hw_common.h"

#include "ftd2xx.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include <libusb.h>

namespace fs = std::filesystem;

namespace d2xx::hw {

bool isFtdiProduct(std::uint16_t productId)
{
    switch (productId) {
    case 0x6001: // FT232R, FT232BM/AM
    case 0x6010: // FT2232C/H
    case 0x6011: // FT4232H
    case 0x6014: // FT232H
    case 0x6015: // FT-X series
        return true;
    default:
        return false;
    }
}

std::uint32_t chipTypeFromBcd(std::uint16_t bcdDevice)
{
    switch (bcdDevice) {
    case 0x0200:
        return FT_DEVICE_AM;
    case 0x0400:
        return FT_DEVICE_BM;
    case 0x0500:
        return FT_DEVICE_2232C;
    case 0x0600:
        return FT_DEVICE_232R;
    case 0x0700:
        return FT_DEVICE_2232H;
    case 0x0800:
        return FT_DEVICE_4232H;
    case 0x0900:
        return FT_DEVICE_232H;
    case 0x1000:
        return FT_DEVICE_X_SERIES;
    default:
        return FT_DEVICE_UNKNOWN;
    }
}

int interfaceCount(std::uint32_t chipType)
{
    switch (chipType) {
    case FT_DEVICE_2232C:
    case FT_DEVICE_2232H:
        return 2;
    case FT_DEVICE_4232H:
        return 4;
    default:
        return 1;
    }
}

bool isHighSpeed(std::uint32_t chipType)
{
    return chipType == FT_DEVICE_2232H || chipType == FT_DEVICE_4232H || chipType == FT_DEVICE_232H;
}

bool UsbPlace::operator<(const UsbPlace& other) const
{
    if (bus != other.bus)
        return bus < other.bus;
    if (ports != other.ports)
        return ports < other.ports;
    return interface < other.interface;
}

namespace {

bool parseInt(std::string_view text, int* value)
{
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && p == end && *value >= 0;
}

bool parsePortPath(std::string_view text, std::vector<int>* ports)
{
    ports->clear();
    while (!text.empty()) {
        const std::size_t dot = text.find('.');
        int port = 0;
        if (!parseInt(text.substr(0, dot), &port))
            return false;
        ports->push_back(port);
        if (dot == std::string_view::npos)
            break;
        text.remove_prefix(dot + 1);
        if (text.empty())
            return false;
    }
    return !ports->empty();
}

std::string trimmed(std::string_view text)
{
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

std::string usbKey(const UsbPlace& place)
{
    std::string key = "usb:" + std::to_string(place.bus) + "-";
    for (std::size_t i = 0; i < place.ports.size(); ++i) {
        if (i)
            key += '.';
        key += std::to_string(place.ports[i]);
    }
    return key + ":" + std::to_string(place.interface);
}

bool parseUsbKey(const std::string& key, UsbPlace* place)
{
    std::string_view text(key);
    if (!text.starts_with("usb:"))
        return false;
    text.remove_prefix(4);
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    UsbPlace parsed;
    if (!parseInt(text.substr(colon + 1), &parsed.interface))
        return false;
    const std::string name(text.substr(0, colon));
    if (!parseSysfsUsbName(name, &parsed))
        return false;
    *place = parsed;
    return true;
}

bool parseSysfsUsbName(const std::string& name, UsbPlace* place)
{
    const std::size_t dash = name.find('-');
    if (dash == std::string::npos)
        return false;
    int bus = 0;
    std::vector<int> ports;
    if (!parseInt(std::string_view(name).substr(0, dash), &bus) || bus == 0)
        return false;
    if (!parsePortPath(std::string_view(name).substr(dash + 1), &ports))
        return false;
    place->bus = bus;
    place->ports = std::move(ports);
    return true;
}

std::uint32_t locationId(const UsbPlace& place)
{
    std::uint32_t id = static_cast<std::uint32_t>(place.bus & 0xFF) << 24;
    for (std::size_t i = 0; i < place.ports.size() && i < 6; ++i)
        id |= static_cast<std::uint32_t>(place.ports[i] & 0xF) << (20 - 4 * i);
    return id;
}

DeviceInfo describeInterface(std::uint16_t productId, std::uint16_t bcdDevice,
                             const std::string& product, const std::string& serial,
                             const UsbPlace& place, int usbAddress)
{
    DeviceInfo info;
    info.type = chipTypeFromBcd(bcdDevice);
    info.flags = isHighSpeed(info.type) ? ULONG {FT_FLAGS_HISPEED} : ULONG {0};
    info.id = std::uint32_t {kFtdiVendor} << 16 | productId;
    info.locId = locationId(place);
    info.description = product;
    info.serial = serial;
    if (interfaceCount(info.type) > 1) {
        const char letter = static_cast<char>('A' + place.interface);
        info.description += ' ';
        info.description += letter;
        if (!info.serial.empty())
            info.serial += letter;
    }
    info.usbBus = place.bus;
    info.usbAddress = usbAddress;
    info.key = usbKey(place);
    info.place = info.key;
    return info;
}

void sortByUsbPlace(std::vector<DeviceInfo>* devices)
{
    std::stable_sort(devices->begin(), devices->end(),
                     [](const DeviceInfo& a, const DeviceInfo& b) {
                         UsbPlace pa, pb;
                         const bool ha = parseUsbKey(a.key, &pa);
                         const bool hb = parseUsbKey(b.key, &pb);
                         if (ha != hb)
                             return ha;
                         return ha && pa < pb;
                     });
}

bool supportedDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits, std::uint8_t parity)
{
    return (bits == 7 || bits == 8) && (stopBits == 0 || stopBits == 2) && parity <= 2;
}

UsbOutcome classifyUsbResult(int libusbResult)
{
    if (libusbResult >= 0)
        return UsbOutcome::Ok;
    switch (libusbResult) {
    case LIBUSB_ERROR_TIMEOUT:
        return UsbOutcome::TimedOut;
    case LIBUSB_ERROR_NO_DEVICE:
        return UsbOutcome::Gone;
    default:
        return UsbOutcome::Failed;
    }
}

std::string openFailureText(int ftdiOpenResult, int libusbOpenResult)
{
    if (libusbOpenResult == LIBUSB_ERROR_ACCESS || ftdiOpenResult == -8)
        return "permission denied on the USB device: install the udev rule for FTDI devices "
               "or use its serial port";
    if (libusbOpenResult == LIBUSB_ERROR_NO_DEVICE)
        return "the USB device is no longer connected";
    if (libusbOpenResult == LIBUSB_ERROR_BUSY || ftdiOpenResult == -5 || ftdiOpenResult == -11)
        return "cannot claim the USB interface: another program or driver is using it";
    switch (ftdiOpenResult) {
    case -4:
        return "cannot open the USB device";
    case -6:
        return "the USB device did not accept a reset";
    case -7:
        return "the USB device did not accept the baud rate";
    default:
        return "cannot open the USB device (libftdi error " + std::to_string(ftdiOpenResult) + ")";
    }
}

bool usbOpenMeansInUse(int ftdiOpenResult, int libusbOpenResult)
{
    return ftdiOpenResult < 0 && libusbOpenResult == LIBUSB_ERROR_BUSY;
}

bool isGoneErrno(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO || error == ENOENT || error == EBADF;
}

std::string serialOpenFailureText(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied: the user needs to be in the group owning the port "
               "(usually dialout)";
    case EBUSY:
        return "the port is in use by another program";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "the port does not exist";
    case ENOTTY:
        return "not a serial port";
    default:
        return std::strerror(error);
    }
}

std::vector<NamedPort> parsePortsVariable(const std::string& value)
{
    std::vector<NamedPort> ports;
    std::set<std::string> seen;
    std::string_view rest(value);
    while (!rest.empty()) {
        const std::size_t semicolon = rest.find(';');
        const std::string_view entry = rest.substr(0, semicolon);
        rest =
            semicolon == std::string_view::npos ? std::string_view {} : rest.substr(semicolon + 1);
        const std::size_t equals = entry.find('=');
        NamedPort port {trimmed(entry.substr(0, equals)),
                        equals == std::string_view::npos ? std::string {}
                                                         : trimmed(entry.substr(equals + 1))};
        if (port.path.empty() || !seen.insert(port.path).second)
            continue;
        ports.push_back(std::move(port));
    }
    return ports;
}

namespace {

std::string readLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    return trimmed(line);
}

int readNumber(const fs::path& file, int base)
{
    const std::string text = readLine(file);
    int value = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc() && p == end && !text.empty() ? value : -1;
}

} // namespace

std::vector<DeviceInfo> scanTtyUsbPorts(const std::string& sysRoot, const std::string& devRoot)
{
    std::vector<std::pair<UsbPlace, DeviceInfo>> found;
    std::error_code ec;
    const fs::path ttyClass = fs::path(sysRoot) / "class" / "tty";
    fs::directory_iterator it(ttyClass, ec);
    if (ec)
        return {};
    for (const fs::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("ttyUSB"))
            continue;
        // device -> the usb-serial port, below the USB interface, below the
        // USB device that carries the strings and the bus address.
        const fs::path port = fs::canonical(entry.path() / "device", ec);
        if (ec)
            continue;
        const fs::path interfaceDir = port.parent_path();
        const fs::path usbDir = interfaceDir.parent_path();
        const int vendor = readNumber(usbDir / "idVendor", 16);
        const std::string driver = fs::canonical(port / "driver", ec).filename().string();
        if (vendor != kFtdiVendor && driver != "ftdi_sio")
            continue;
        UsbPlace place;
        place.interface = std::max(0, readNumber(interfaceDir / "bInterfaceNumber", 16));
        if (!parseSysfsUsbName(usbDir.filename().string(), &place))
            continue;
        const int product = readNumber(usbDir / "idProduct", 16);
        const int bcd = readNumber(usbDir / "bcdDevice", 16);
        DeviceInfo info = describeInterface(
            static_cast<std::uint16_t>(std::max(0, product)),
            static_cast<std::uint16_t>(std::max(0, bcd)), readLine(usbDir / "product"),
            readLine(usbDir / "serial"), place, std::max(0, readNumber(usbDir / "devnum", 10)));
        if (vendor > 0)
            info.id =
                static_cast<std::uint32_t>(vendor) << 16 | static_cast<std::uint16_t>(product);
        const int busnum = readNumber(usbDir / "busnum", 10);
        if (busnum > 0)
            info.usbBus = busnum;
        info.key = (fs::path(devRoot) / name).string();
        found.emplace_back(place, std::move(info));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.first == b.first)
            return a.second.key < b.second.key;
        return a.first < b.first;
    });
    std::vector<DeviceInfo> ports;
    for (auto& [place, info] : found)
        ports.push_back(std::move(info));
    return ports;
}

std::vector<DeviceInfo> serialListing(const std::vector<DeviceInfo>& ttyUsbPorts,
                                      const std::vector<NamedPort>& namedPorts)
{
    std::set<std::string> named;
    for (const NamedPort& p : namedPorts) {
        std::error_code ec;
        const fs::path real = fs::weakly_canonical(p.path, ec);
        named.insert(ec ? p.path : real.string());
    }
    std::vector<DeviceInfo> out;
    for (const DeviceInfo& d : ttyUsbPorts) {
        std::error_code ec;
        const fs::path real = fs::weakly_canonical(d.key, ec);
        if (!named.count(ec ? d.key : real.string()))
            out.push_back(d);
    }
    for (const NamedPort& p : namedPorts) {
        DeviceInfo info;
        info.type = FT_DEVICE_UNKNOWN;
        info.description = p.description;
        info.key = p.path;
        info.place = p.path;
        out.push_back(std::move(info));
    }
    return out;
}

} // namespace d2xx::hw
