#include "contentrecord.h"

namespace {

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
        | std::uint32_t(p[3]) << 24;
}

} // namespace

ContentRecord ContentRecord::fromBytes(const unsigned char* bytes)
{
    ContentRecord r;
    r.id = le32(bytes);
    r.type = le32(bytes + 4);
    r.memSize = le32(bytes + 8);
    r.duration = le32(bytes + 12);
    return r;
}

std::optional<QList<ContentRecord>> decodeContentList(const void* data, int length)
{
    if (length < 0 || length % ContentRecord::Size != 0 || (length > 0 && !data))
        return std::nullopt;
    QList<ContentRecord> records;
    records.reserve(length / ContentRecord::Size);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int offset = 0; offset < length; offset += ContentRecord::Size)
        records.append(ContentRecord::fromBytes(bytes + offset));
    return records;
}
