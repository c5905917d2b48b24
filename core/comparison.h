// What a recorder and an archive, or two archives, have in common and where
// they part: from the recorder's content list alone (cheap, never proof of
// equal bytes: a sequence recorded again at the same length keeps its size
// and duration), or byte for byte. Everything is read, nothing is written:
// neither the recorder nor an archive is changed. Inputs and results are
// values, so that the window, the command line and later the automatic
// backups can run a comparison on any thread and keep its result.
#pragma once

#include "contentrecord.h"
#include "operation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <optional>

class KVPMaster;
class MZTArchive;

namespace core {

// One archive entry as a value: the fields a save writes into the record
// header and the content as held (shared, not copied).
struct ArchivedFile {
    FileRef file;
    qint32 type = 0;
    quint32 duration = 0;
    QByteArray content;

    // The record header as a save writes it: id, type and duration from the
    // fields, the memory size recomputed from the content's length.
    ContentRecord writtenRecord() const;
    // The memory size the content's header holds now: the recorder's own
    // figure until the archive is saved, the recomputed one after.
    quint32 heldMemSize() const;
};

// The archive's files, one per id: the last entry with an id, which is the
// one a download refills and a restore writes. Ascending id.
QList<ArchivedFile> archivedFiles(const MZTArchive& archive);

enum class FileState {
    SameRecord,    // the content list and the archive agree on type, size and
                   // duration; the bytes were not compared
    RecordDiffers, // they disagree on type, size or duration
    Identical,     // byte for byte, as the archive writes the file
    Differs,       // byte for byte; firstDifference says where
    OnlyInFirst,   // on the recorder (or in the first archive) only
    OnlyInSecond,  // in the archive (or in the second archive) only
    Unreadable,    // the recorder's copy could not be read; reason says why
};

struct FileComparison {
    FileRef file;
    FileState state = FileState::SameRecord;
    // Differs: offset of the first byte that differs in the file as the
    // archive writes it (the record header included); -1 otherwise.
    qint64 firstDifference = -1;
    QString reason; // Unreadable only
    // Each side's record as far as it holds the file; read from the content
    // list, or as the archive writes it.
    std::optional<ContentRecord> first;
    std::optional<ContentRecord> second;

    // Nothing differs between the two sides for this file.
    bool matches() const { return state == FileState::SameRecord || state == FileState::Identical; }
};

struct Comparison {
    // True when the files' bytes were compared, so that a match proves the
    // copies identical; false for the content list's records alone.
    bool byBytes = false;
    // Ok when every file asked for was compared. Otherwise the reason the
    // comparison stopped (cancelled, the recorder gone); files then holds
    // those compared until then.
    Result result;
    QList<FileComparison> files; // ascending id: the settings first
    QDateTime finishedAt;        // UTC

    const FileComparison* find(int id) const;
    int count(FileState state) const;
    // Files that do not match (differ, lie on one side only, unreadable).
    int mismatches() const;
    bool allMatch() const { return result.ok() && mismatches() == 0; }
};

// Compares the recorder's content list with the archive, per file number.
// The archive rewrites a file's memory size word when it saves, so a size
// matches when the recorder's figure is either the one the archive's copy
// holds or the one its save writes.
Comparison compareWithContentList(const QList<ContentRecord>& recorderList,
                                  const QList<ArchivedFile>& archive);

// Compares two archives byte for byte, as each would write its files.
Comparison compareArchives(const QList<ArchivedFile>& first, const QList<ArchivedFile>& second);

// What a verification reads: the files of these ids (all on either side
// when empty). With the recorder's content list, a file the list does not
// name is taken as absent without asking the recorder, and a file only on
// the recorder is not read. Without it every chosen file is read.
struct VerifyRequest {
    std::optional<QList<ContentRecord>> recorderList;
    QList<ArchivedFile> archive;
    QList<int> ids;
};

// Reads the recorder's files (in its transfer mode, which the caller
// enters) and compares each byte for byte with the archive's copy as the
// archive writes it. Reads are those of a download: the same progress, the
// same cancel and the same retries after a lost reply. A file the recorder
// refuses or sends damaged is Unreadable and the others are still compared;
// a recorder that stops answering or goes away ends the verification.
Comparison verifyWithRecorder(KVPMaster* master, const VerifyRequest& request,
                              const ProgressSink& progress = {},
                              const CancelToken* cancel = nullptr);

} // namespace core
