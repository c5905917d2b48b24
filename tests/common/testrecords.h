// Recorder records, recorder files and archive entries with known fields.
#pragma once

#include "mztarchive.h"

#include <QByteArray>
#include <QString>

namespace testcommon {

// A 16-byte content record as the recorder sends it and as every recorder
// file begins.
QByteArray record(qint32 id, qint32 type, quint32 memSize, quint32 duration);

// A recorder file: its record followed by body.
QByteArray recorderFile(qint32 id, qint32 type, quint32 memSize, quint32 duration,
                        const QByteArray& body);

// An archive entry holding content, with the duration its record carries
// (0 when content is shorter than a record).
ArchiveEntry* makeEntry(qint32 id, qint32 type, const QByteArray& content, const QString& name);

// An entry made the way a download makes it: id, type and duration from the
// file's record.
ArchiveEntry* entryFor(const QString& name, const QByteArray& file);

// "SEQUENCE 05", the name a sequence entry gets.
QString sequenceName(qint32 id);

// The content of the first entry with this id in the archive file at path;
// empty when the file cannot be loaded or holds no such entry.
QByteArray archivedContent(const QString& path, qint32 id);

} // namespace testcommon
