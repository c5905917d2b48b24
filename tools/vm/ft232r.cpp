#include "ft232r.h"

#include <cstdio>

namespace ft232r {
namespace {

enum : std::uint8_t {
    SioReset = 0x00,
    SioModemCtrl = 0x01,
    SioSetFlowCtrl = 0x02,
    SioSetBaudRate = 0x03,
    SioSetData = 0x04,
    SioGetModemStatus = 0x05,
    SioSetEventChar = 0x06,
    SioSetErrorChar = 0x07,
    SioSetLatencyTimer = 0x09,
    SioGetLatencyTimer = 0x0A,
    SioSetBitmode = 0x0B,
    SioReadPins = 0x0C,
    SioReadEeprom = 0x90,
};

// Modem status: bit 0 always set, CTS and DSR asserted, as a recorder's
// bridge with its handshake lines tied reports them.
constexpr std::uint8_t kModemStatus = 0x31;
// Line status with the transmitter empty.
constexpr std::uint8_t kLineIdle = 0x60;

const std::vector<std::uint8_t> kDeviceDescriptor = {18,
                                                     0x01,
                                                     0x00,
                                                     0x02,
                                                     0x00,
                                                     0x00,
                                                     0x00,
                                                     8,
                                                     kVendorId & 0xFF,
                                                     kVendorId >> 8,
                                                     kProductId & 0xFF,
                                                     kProductId >> 8,
                                                     kDeviceVersion & 0xFF,
                                                     kDeviceVersion >> 8,
                                                     1,
                                                     2,
                                                     3,
                                                     1};

const std::vector<std::uint8_t> kConfigurationDescriptor = {
    // configuration: one interface, bus powered, 90 mA
    9, 0x02, 32, 0, 1, 1, 0, 0xA0, 45,
    // interface 0: vendor specific, two endpoints
    9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
    // bulk IN 0x81 and bulk OUT 0x02, 64 bytes
    7, 0x05, 0x81, 0x02, kPacketSize, 0, 0, 7, 0x05, 0x02, 0x02, kPacketSize, 0, 0};

std::vector<std::uint8_t> stringDescriptor(const std::string& text)
{
    std::vector<std::uint8_t> d = {std::uint8_t(2 + 2 * text.size()), 0x03};
    for (const char c : text) {
        d.push_back(std::uint8_t(c));
        d.push_back(0);
    }
    return d;
}

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char b[4];
    for (const std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        text += b;
    }
    return text;
}

std::string dataText(std::uint16_t value)
{
    static const char* const parity[] = {"no", "odd", "even", "mark", "space"};
    static const char* const stop[] = {"1", "1.5", "2"};
    const unsigned p = (value >> 8) & 7, s = (value >> 11) & 3;
    char text[96];
    std::snprintf(text, sizeof text, "%u data bits, %s parity, %s stop bits%s", value & 0xFF,
                  p < 5 ? parity[p] : "bad", s < 3 ? stop[s] : "bad",
                  value & 0x4000 ? ", break" : "");
    return text;
}

} // namespace

double baudRate(std::uint16_t value, std::uint16_t index)
{
    static const double eighths[] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const unsigned integer = value & 0x3FFF;
    const unsigned fraction = (value >> 14) | ((index & 1u) << 2);
    if (integer == 0 && fraction == 0)
        return 3000000;
    if (integer == 1)
        return fraction == 0 ? 2000000 : 0;
    return integer == 0 ? 0 : 3000000 / (integer + eighths[fraction]);
}

std::size_t dataCapacity(int transferLength)
{
    const int packets = transferLength < kPacketSize ? 1 : transferLength / kPacketSize;
    const int room = transferLength < kPacketSize ? transferLength : kPacketSize;
    return room <= kStatusBytes
        ? 0
        : std::size_t(packets * (kPacketSize - kStatusBytes) - (kPacketSize - room));
}

std::vector<std::uint8_t> Chip::packetize(const std::vector<std::uint8_t>& data) const
{
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    do {
        out.push_back(kModemStatus);
        out.push_back(kLineIdle | lineError);
        const std::size_t n = std::min<std::size_t>(data.size() - at, kPacketSize - kStatusBytes);
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
        at += n;
    } while (at < data.size());
    return out;
}

Reply Chip::control(const Setup& s, const std::vector<std::uint8_t>& data, const Identity& identity)
{
    (void)data;
    Reply r;
    char text[96];
    const bool vendorOut = s.requestType == 0x40, vendorIn = s.requestType == 0xC0;
    if (s.requestType == 0x80 && s.request == 0x06) {
        const unsigned type = s.value >> 8, index = s.value & 0xFF;
        if (type == 1) {
            r.data = kDeviceDescriptor;
            r.meaning = "device descriptor";
        } else if (type == 2 && index == 0) {
            r.data = kConfigurationDescriptor;
            r.meaning = "configuration descriptor";
        } else if (type == 3 && index == 0) {
            r.data = {4, 0x03, 0x09, 0x04};
            r.meaning = "languages";
        } else if (type == 3 && index >= 1 && index <= 3) {
            const std::string& text = index == 1 ? identity.manufacturer
                : index == 2                     ? identity.product
                                                 : identity.serial;
            r.data = stringDescriptor(text);
            r.meaning = "string \"" + text + "\"";
        } else {
            r.stall = true;
            r.meaning = "no such descriptor";
        }
    } else if ((s.requestType & 0xE0) == 0x80 && s.request == 0x00) {
        r.data = {0, 0};
        r.meaning = "get status";
    } else if ((s.requestType & 0xE0) == 0x00 && (s.request == 0x01 || s.request == 0x03)) {
        r.meaning = s.request == 0x01 ? "clear feature" : "set feature";
    } else if (vendorOut && s.request == SioReset) {
        r.purgeRx = s.value == 0 || s.value == 1;
        r.purgeTx = s.value == 0 || s.value == 2;
        r.meaning = s.value == 0 ? "reset"
            : s.value == 1       ? "purge RX"
            : s.value == 2       ? "purge TX"
                                 : "bad reset";
        r.stall = s.value > 2;
    } else if (vendorOut && s.request == SioModemCtrl) {
        const std::uint8_t mask = s.value >> 8;
        modemControl = std::uint8_t((modemControl & ~mask) | (s.value & mask));
        std::snprintf(text, sizeof text, "modem control: DTR %s, RTS %s",
                      modemControl & 1 ? "on" : "off", modemControl & 2 ? "on" : "off");
        r.meaning = text;
    } else if (vendorOut && s.request == SioSetFlowCtrl) {
        flowControl = s.index >> 8;
        r.meaning =
            flowControl == 0 ? "no flow control" : "flow control " + std::to_string(flowControl);
    } else if (vendorOut && s.request == SioSetBaudRate) {
        const double baud = baudRate(s.value, s.index);
        r.stall = baud == 0;
        if (!r.stall) {
            baudValue = s.value;
            baudIndex = s.index;
        }
        std::snprintf(text, sizeof text, "baud divisor %u+%u/8: %.0f baud", s.value & 0x3FFF,
                      unsigned((s.value >> 14) | ((s.index & 1u) << 2)), baud);
        r.meaning = text;
    } else if (vendorOut && s.request == SioSetData) {
        dataCharacteristics = s.value;
        r.meaning = dataText(s.value);
    } else if (vendorIn && s.request == SioGetModemStatus) {
        r.data = {kModemStatus, std::uint8_t(kLineIdle | lineError)};
        r.meaning = "modem status";
    } else if (vendorOut && (s.request == SioSetEventChar || s.request == SioSetErrorChar)) {
        std::snprintf(text, sizeof text, "%s character 0x%02x %s",
                      s.request == SioSetEventChar ? "event" : "error", s.value & 0xFF,
                      s.value & 0x100 ? "on" : "off");
        r.meaning = text;
    } else if (s.request == SioSetLatencyTimer && vendorOut) {
        r.stall = stallLatency || (s.value & 0xFF) == 0;
        if (!r.stall)
            latencyMs = std::uint8_t(s.value);
        r.meaning = "set latency timer " + std::to_string(s.value & 0xFF) + " ms";
    } else if (s.request == SioGetLatencyTimer && vendorIn) {
        r.stall = stallLatency;
        if (!r.stall)
            r.data = {latencyMs};
        r.meaning = "get latency timer";
    } else if (vendorOut && s.request == SioSetBitmode) {
        r.meaning = "bit mode " + std::to_string(s.value >> 8);
    } else if (vendorIn && s.request == SioReadPins) {
        r.data = {0xFF};
        r.meaning = "read pins";
    } else if (vendorIn && s.request == SioReadEeprom) {
        r.data = {0, 0};
        r.meaning = "read EEPROM word";
    } else {
        r.stall = true;
        r.meaning = "unknown request";
    }
    if (r.stall)
        r.data.clear();
    return r;
}

std::string describe(const Setup& s, const std::vector<std::uint8_t>& out, const Reply& reply)
{
    char text[64];
    std::snprintf(text, sizeof text, "%02x %02x %04x %04x %04x", s.requestType, s.request, s.value,
                  s.index, s.length);
    std::string line = text;
    if (!out.empty())
        line += " " + hex(out);
    line += reply.stall ? " -> stall" : " -> ok";
    if (!reply.data.empty())
        line += " " + hex(reply.data);
    return line + "  " + reply.meaning;
}

} // namespace ft232r
