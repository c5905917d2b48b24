// The recorder's answer to the identification request: a 50-byte record with
// hardware and software version, model name and maximum frame size.
#pragma once

#include <QString>

#include <optional>

namespace kvp {

inline constexpr unsigned DeviceInfoRecordSize = 50;

struct DeviceInfoRecord {
    QString name; // ASCII, at most 39 characters
    unsigned softwareVersion = 0;
    unsigned hardwareVersion = 0;
    unsigned maximumFrameSize = 0; // as reported; the master bounds it
};

// Decodes the record; nothing for a reply of any other length.
std::optional<DeviceInfoRecord> decodeDeviceInfo(const unsigned char* data, unsigned length);

} // namespace kvp
