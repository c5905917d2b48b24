// The update-file loader fed arbitrary files. Whatever a valid image claims
// about its sections must lie inside the file.
#include "fuzz_common.h"
#include "updateimage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    mztQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    UpdateImage image;
    image.loadFromBytes(bytes, QStringLiteral("fuzz.kv2"));
    (void)image.statusText(QStringLiteral("MZT-500"));
    if (!image.isValid())
        return 0;
    qsizetype total = 0;
    for (int i = 0; i < image.sectionCount(); ++i) {
        const auto section = image.section(i);
        if (!section)
            std::abort();
        // Touch every byte so ASan sees a view that runs past the file.
        unsigned sum = 0;
        for (char c : *section)
            sum += static_cast<unsigned char>(c);
        (void)sum;
        total += section->size();
    }
    if (total > bytes.size())
        std::abort();
    const auto header = image.headerBlock();
    if (!header || header->size() > bytes.size())
        std::abort();
    (void)image.transmissionSize();
    (void)image.matchesDevice(QStringLiteral("MZT-500"));
    return 0;
}
