// What an archive file holds, read without keeping its content: per file a
// digest of the bytes as a save writes them, so that two archives can be
// compared by content while neither is held in memory. Reading is the
// loader's: a file load() refuses is refused here too, for the same reason.
#pragma once

#include "mztarchive.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

struct SummarizedFile {
    qint32 id = 0;
    QString name;
    qint32 type = 0;
    quint32 duration = 0;
    qint64 length = 0; // the content's length, record header included
    // SHA-256 of the file as a save writes it: the record header's id, type
    // and duration from the entry, the memory size recomputed from the
    // length, then the content after the header. Equal digests mean what
    // compareArchives() calls identical.
    QByteArray digest;

    bool operator==(const SummarizedFile&) const = default;
};

struct ArchiveSummary {
    RecorderIdentity recorder;
    // When the file was written, from the gzip header; invalid when the
    // header carries no time.
    QDateTime writtenAt;
    // One per id, the last entry with that id (the one a restore writes);
    // ascending id.
    QList<SummarizedFile> files;
};

// Reads fileName (a regular file only) to its end; nullopt with *error set
// when it is not an intact archive.
std::optional<ArchiveSummary> summarizeArchive(const QString& fileName, QString* error);

// The SHA-256 of content written under these fields, as in SummarizedFile.
QByteArray writtenDigest(qint32 id, qint32 type, quint32 duration, const QByteArray& content);
