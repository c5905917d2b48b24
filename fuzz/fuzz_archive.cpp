// The archive loader fed arbitrary files. A load either fails and leaves the
// archive empty, or succeeds with entries that hold at least their record.
#include "fuzz_common.h"
#include "mztarchive.h"

#include <QBuffer>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    mztQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    MZTArchive archive;
    const bool ok = archive.loadFrom(&buffer);
    if (!ok && !archive.entries().isEmpty())
        std::abort(); // a failed load must leave nothing behind
    if (archive.isModified())
        std::abort();
    for (const ArchiveEntry* e : archive.entries()) {
        if (e->content().size() > MZTArchive::maxEntrySize)
            std::abort();
        (void)e->memSizeText();
        (void)e->durationText();
    }
    return 0;
}
