// The backup folder read as a history: per recorder its backups, oldest to
// newest, and what changed from one to the next, by content. Archives are
// read one at a time and only their digests kept, so a folder of hundreds
// of backups never sits in memory whole; what was read is cached in an
// index beside the backups, which is checked against every file and rebuilt
// where it does not match. Everything here is widget-free and its results
// are values, so the window can read a folder on a worker thread and the
// command line prints the same results.
#pragma once

#include "archive_summary.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

namespace history {

// What tells that a file is the one an index entry describes.
struct FileStamp {
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 inode = 0;

    bool operator==(const FileStamp&) const = default;
};

struct Backup {
    QString path;
    FileStamp stamp;
    // From the name ("MZT-500 KV000001 2026-12-08 14-05.mzt"), else when the
    // archive was written, else the file's time; local time.
    QDateTime takenAt;
    int copy = 1; // n of " (n)": backups of the same minute
    // Named as "Back up recorder" names its backups. Other archives in the
    // folder are the user's own: part of the history, never pruned.
    bool dated = false;
    QDateTime writtenAt;
    // As the archive records it, or the serial its name carries.
    RecorderIdentity recorder;
    QList<SummarizedFile> files; // ascending id
    // Against the recorder's backup before this one; for its first backup
    // every file is added. removed holds the files as the one before had them.
    QList<SummarizedFile> added;
    QList<SummarizedFile> changed;
    QList<SummarizedFile> removed;

    QString fileName() const;
};

struct RecorderHistory {
    // What groups backups: the serial as file names carry it, else the
    // place, else nothing (backups of an unknown recorder).
    QString key;
    RecorderIdentity recorder; // the fullest that any of its backups records
    QList<Backup> backups;     // oldest first

    // The serial number, "port PLACE" or "unknown recorder".
    QString displayName() const;
    // Whether the serial (as typed, or as file names write it) is this one's.
    bool matches(const QString& serial) const;
};

struct UnreadableFile {
    QString path;
    QString reason;
};

struct FolderHistory {
    QString folder;
    QList<RecorderHistory> recorders; // by key
    // Files named like archives that are not one (damaged, foreign, half
    // written, no regular file): listed, never touched.
    QList<UnreadableFile> unreadable;
    // Why the folder could not be read; empty when it was.
    QString problem;
    int archivesRead = 0;      // read from the files this time
    int archivesFromIndex = 0; // taken from the index, which matched the file
    // Why the index could not be written; the history is complete anyway.
    QString indexProblem;

    const RecorderHistory* find(const QString& serial) const;
};

// The index beside the backups. Its name starts with a dot, so that it
// stays out of the way in file dialogs.
inline constexpr char indexFileName[] = ".mzt500-history";

struct ReadOptions {
    bool useIndex = true; // read and update the index
    const std::atomic<bool>* cancel = nullptr;
};

// Reads every "*.mzt" file of the folder (not its subfolders).
FolderHistory readFolder(const QString& folder, const ReadOptions& options = {});

// When a file changed in a recorder's history.
struct FileChange {
    enum Kind { Added, Changed, Removed };
    Kind kind = Added;
    QDateTime takenAt;
    QString path;
    SummarizedFile version; // as this backup holds it; Removed: as it was
};

// The backups where the file of this id appeared, changed or went away.
QList<FileChange> fileHistory(const RecorderHistory& recorder, qint32 id);

// Keeping the last backups and the first of each month. A backup that is the
// only one holding some version of a file is kept whatever the policy says,
// the newest is always kept, and so is every archive not named as a backup.
struct PrunePolicy {
    int keepLast = 1;
    bool firstOfMonth = true;
};

struct PrunePlan {
    struct Kept {
        QString path;
        QString reason;
    };
    QList<Kept> kept;       // oldest first
    QList<Backup> toRemove; // oldest first
};

PrunePlan planPruning(const RecorderHistory& recorder, const PrunePolicy& policy);

struct PruneResult {
    QStringList removed;
    QList<UnreadableFile> notRemoved; // changed since it was read, or the removal failed
};

// Removes the plan's backups, each only while it is still the file that was
// read; logs every removal.
PruneResult applyPruning(const PrunePlan& plan);

} // namespace history
