#include "kvpdeviceinfo.h"

#include <cstring>

namespace kvp {

std::optional<DeviceInfoRecord> decodeDeviceInfo(const unsigned char* data, unsigned length)
{
    if (!data || length != DeviceInfoRecordSize)
        return std::nullopt;
    const auto u16 = [data](unsigned offset) {
        return unsigned(data[offset]) | unsigned(data[offset + 1]) << 8;
    };
    // The name field runs from offset 6 and is cut at offset 45 whether or
    // not the recorder terminated it, so it never runs into the frame size.
    const char* text = reinterpret_cast<const char*>(data + 6);
    DeviceInfoRecord record;
    record.name = QString::fromLatin1(text, qsizetype(strnlen(text, 39)));
    record.softwareVersion = u16(4);
    record.hardwareVersion = u16(2);
    record.maximumFrameSize = u16(46);
    return record;
}

} // namespace kvp
