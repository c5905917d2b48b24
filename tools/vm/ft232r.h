// The FT232R's side of USB, as the stand-in serves it: descriptors, the FTDI
// vendor requests and the status bytes in front of every IN packet. Kept
// apart from the usbredir plumbing so it can be checked without a guest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ft232r {

constexpr std::uint16_t kVendorId = 0x0403;
constexpr std::uint16_t kProductId = 0x6001;
constexpr std::uint16_t kDeviceVersion = 0x0600; // what tells an FT232R from its kin
constexpr int kPacketSize = 64;
constexpr int kStatusBytes = 2;

// Line status bits in the second status byte.
constexpr std::uint8_t kOverrun = 0x02;
constexpr std::uint8_t kFramingError = 0x08;

struct Identity {
    std::string manufacturer = "KORVANT";
    std::string product = "KORVANT KVP-DEV";
    std::string serial = "FT000001";
    bool stallLatency = false;
};

struct Setup {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

struct Reply {
    bool stall = false;
    std::vector<std::uint8_t> data; // for IN requests
    bool purgeRx = false;
    bool purgeTx = false;
    std::string meaning;
};

// The baud rate an FT232R runs at for a SET_BAUDRATE request's value and
// index (3 MHz over a divisor with eighths), 0 for a divisor it rejects.
double baudRate(std::uint16_t value, std::uint16_t index);

// Data bytes that fit an IN transfer of this length: each packet carries the
// status bytes first.
std::size_t dataCapacity(int transferLength);

struct Chip {
    std::uint8_t latencyMs = 16;
    std::uint16_t baudValue = 0x4138; // 9600 baud, the chip's reset state
    std::uint16_t baudIndex = 0;
    std::uint16_t dataCharacteristics = 0x0008;
    std::uint16_t flowControl = 0;
    std::uint8_t modemControl = 0;
    bool stallLatency = false;
    std::uint8_t lineError = 0; // reported in every IN packet while set

    Reply control(const Setup& setup, const std::vector<std::uint8_t>& data,
                  const Identity& identity);

    // Data split into packets of at most 64 bytes, each led by the status.
    std::vector<std::uint8_t> packetize(const std::vector<std::uint8_t>& data) const;
};

// One log line's body: the setup packet and data in hex, the outcome and
// what the request meant.
std::string describe(const Setup& setup, const std::vector<std::uint8_t>& out, const Reply& reply);

} // namespace ft232r
