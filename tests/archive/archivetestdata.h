// Recorder files and archives with known content, shared by the archive tests
// and the helper that saves in a loop.
#pragma once

#include "mztarchive.h"
#include "testrecords.h"

#include <QByteArray>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace testdata {

// A recorder file: the 16-byte record header followed by bytes that gzip
// cannot shrink much, so that compressing and checking them does real work.
inline QByteArray recorderFile(qint32 id, qint32 type, quint32 memSize, quint32 duration,
                               qsizetype length, quint32 seed)
{
    QByteArray body(std::max<qsizetype>(length - 16, 0), '\0');
    quint32 x = seed * 2654435761u + 1;
    for (char& byte : body) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = char(x);
    }
    QByteArray bytes = testcommon::recorderFile(id, type, memSize, duration, body);
    bytes.resize(length);
    return bytes;
}

using testcommon::entryFor;

// The content a save writes for an entry: its fields in the record header,
// with the memory size recomputed from the length.
inline QByteArray storedContent(const ArchiveEntry& entry)
{
    QByteArray bytes = entry.content();
    char* p = bytes.data();
    qToLittleEndian<qint32>(entry.id(), p);
    qToLittleEndian<qint32>(entry.type(), p + 4);
    qToLittleEndian<quint32>(MZTArchive::storedMemSize(bytes.size()), p + 8);
    qToLittleEndian<quint32>(entry.duration(), p + 12);
    return bytes;
}

// One of two large archives told apart by generation; the crash test checks
// that whatever survives a kill is exactly one of them.
constexpr int bigEntryCount = 24;
constexpr qsizetype bigEntrySize = 256 * 1024;

inline void fillBig(MZTArchive& archive, int generation)
{
    for (int i = 0; i < bigEntryCount; ++i) {
        const QByteArray file =
            recorderFile(i + 1, 1, 0, 1000u * i, bigEntrySize, quint32(generation * 1000 + i));
        archive.addEntry(
            entryFor(QStringLiteral("SEQUENCE %1").arg(i + 1, 2, 10, QLatin1Char('0')), file));
    }
}

} // namespace testdata
