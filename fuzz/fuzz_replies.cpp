// The decoders of the recorder's content list and identification record fed
// arbitrary replies, and the row texts made from every decoded record.
#include "contentrecord.h"
#include "contenttext.h"
#include "fuzz_common.h"
#include "kvpdeviceinfo.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    mztQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65536)
        return 0;
    const int length = static_cast<int>(size);

    if (const auto info = kvp::decodeDeviceInfo(data, static_cast<unsigned>(size))) {
        if (size != kvp::DeviceInfoRecordSize || info->name.size() > 39)
            std::abort();
    } else if (size == kvp::DeviceInfoRecordSize) {
        std::abort();
    }

    const auto records = decodeContentList(data, length);
    if (records.has_value() != (length % ContentRecord::Size == 0))
        std::abort();
    if (records) {
        if (records->size() * ContentRecord::Size != length)
            std::abort();
        for (const ContentRecord& r : *records) {
            (void)mzt::contentNameText(r.type, r.id);
            (void)mzt::memSizeText(r.memSize);
            (void)mzt::durationText(r.duration);
        }
    }
    return 0;
}
