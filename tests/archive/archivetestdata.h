// Recorder files and archives with known content, shared by the archive tests
// and the helper that saves in a loop.
#pragma once

#include "mztarchive.h"

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
    QByteArray bytes(std::max<qsizetype>(length, 16), '\0');
    char* p = bytes.data();
    qToLittleEndian<qint32>(id, p);
    qToLittleEndian<qint32>(type, p + 4);
    qToLittleEndian<quint32>(memSize, p + 8);
    qToLittleEndian<quint32>(duration, p + 12);
    quint32 x = seed * 2654435761u + 1;
    for (qsizetype i = 16; i < bytes.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = char(x);
    }
    bytes.resize(length);
    return bytes;
}

// An entry made the way a download makes it: fields from the record header.
inline ArchiveEntry* entryFor(const QString& name, const QByteArray& file)
{
    char header[16] = {};
    std::memcpy(header, file.constData(), size_t(std::min<qsizetype>(file.size(), 16)));
    auto* entry = new ArchiveEntry;
    entry->setId(qFromLittleEndian<qint32>(header));
    entry->setType(qFromLittleEndian<qint32>(header + 4));
    entry->setDuration(qFromLittleEndian<quint32>(header + 12));
    entry->appendContent(file.constData(), file.size());
    entry->setName(name);
    return entry;
}

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
