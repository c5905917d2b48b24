// The 16-byte content record that describes one recorder file: four
// little-endian 32-bit words. The recorder's content list is a run of these,
// and the same bytes begin every recorder file.
#pragma once

#include <QList>

#include <cstdint>
#include <optional>

struct ContentRecord {
    std::uint32_t id = 0;
    std::uint32_t type = 0;     // 0 settings, 1 sequence, 2 unknown
    std::uint32_t memSize = 0;  // bytes in the recorder's memory
    std::uint32_t duration = 0; // milliseconds, sequences only

    static constexpr int Size = 16;
    // Decodes the record that starts at bytes (at least Size bytes).
    static ContentRecord fromBytes(const unsigned char* bytes);
};

// The records of a content list in the order the recorder sent them; nothing
// when the length is not a whole number of records.
std::optional<QList<ContentRecord>> decodeContentList(const void* data, int length);
