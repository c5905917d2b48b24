// The file operations on a recorder in its transfer mode: download, the
// check before an upload, the upload with its delete-then-write sequence,
// and deletion. Each runs on the calling thread with the longer transfer
// reply time-out and sets the master's previous time-out back before it
// returns. None of them touches an archive: a download hands each file
// over as a value, an upload takes its entries as values, so the caller
// keeps its archive on the thread it belongs to.
#pragma once

#include "contentrecord.h"
#include "operation.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

class ArchiveEntry;
class KVPMaster;
class MZTArchive;

namespace core {

// One file of a download: missing when the recorder does not hold it, else
// its bytes as the recorder sent them, with the record they begin with.
struct DownloadedFile {
    FileRef file;
    bool missing = false;
    ContentRecord record;
    QByteArray data;
};

// Reads the files in order and hands each (read or missing) to onFile as
// soon as it is complete. A file that is too short to hold its record or of
// odd length is damaged and ends the download before it is handed over, as
// does a failed read. A read that fails on a lost or spoilt reply is made
// again from the file's start, up to three attempts in all, with the file's
// byte count starting again. The cancel token is looked at before each file
// and before each further attempt.
Result downloadFiles(KVPMaster* master, const QList<FileRef>& files,
                     const std::function<void(const DownloadedFile&)>& onFile,
                     const ProgressSink& progress = {}, const CancelToken* cancel = nullptr);

// Whether a download may go on after a file failed so: the recorder
// refused the file's read, sent a damaged copy, or lost every attempt's
// replies for it while answering the other requests. A recorder that
// answers nothing or is gone, and a stop, end the download.
bool recorderServesOtherFiles(const Result& failedFile);

// A download that goes on past the files the recorder cannot deliver while
// it still answers (recorderServesOtherFiles): result is a success when
// every other file was read, and unreadable holds each file passed over,
// with its reason in one sentence. Otherwise as downloadFiles.
struct PartialDownload {
    Result result;
    QList<Result> unreadable;
};
PartialDownload downloadReadableFiles(KVPMaster* master, const QList<FileRef>& files,
                                      const std::function<void(const DownloadedFile&)>& onFile,
                                      const ProgressSink& progress = {},
                                      const CancelToken* cancel = nullptr);

// An archive entry to write to the recorder, as the caller's archive holds
// it. inArchive false stands for a selected id the archive has no entry for.
struct UploadItem {
    FileRef file;
    qint32 type = 0;
    QByteArray content; // the entry's content with its refreshed record
    bool inArchive = true;
    // Only if the recorder does not hold it: a file found under the number
    // when the upload comes to it (one made at the recorder's own keys since
    // the check) is passed over, never replaced.
    bool keepIfHeld = false;
};

// Why an upload refuses this item: the settings live only under id 0 and
// sequences never do. Empty when the item may be written.
QString uploadRefusal(const UploadItem& item);

// The recorder files an upload of these items would overwrite ("SETTINGS"
// for the settings, which the recorder always holds, else the item's name).
// Stops with Refused at an item without an entry or with a sequence id out
// of range, with QueryFailed when the recorder does not answer the query;
// overwritten then holds what was found until there.
struct UploadCheck {
    Result result;
    QStringList overwritten;
};
UploadCheck checkUpload(KVPMaster* master, const QList<UploadItem>& items,
                        const CancelToken* cancel = nullptr);

// Writes the items in order. A file the recorder already holds under the
// same number is deleted there first, unless the item keeps it (keepIfHeld);
// onWritten is not called for a file passed over so. The settings live only under id 0 and
// sequences never do: an item that breaks this is Refused. Items of other
// types are passed over. onWritten tells for each written item whether it
// replaced a file. A cancel (the token, or the master's abort request) ends
// the run at the next frame boundary, except once the recorder has begun to
// delete a file to replace it: that file is written completely first. Either
// way the run ends as Cancelled, never as a success. When a replaced file
// cannot be written after its deletion began, the result is
// WriteFailedAfterDelete and its reason says that the recorder lost the file
// and the archive still holds it. A write that fails on a lost or spoilt
// reply is ended on the recorder and made again from the file's start
// (deleting what the failed attempt may have stored), up to three attempts
// in all; so is a replacing deletion whose reply was lost. A cancel is looked
// at before each further attempt.
Result uploadFiles(KVPMaster* master, const QList<UploadItem>& items,
                   const std::function<void(const UploadItem&, bool replaced)>& onWritten = {},
                   const ProgressSink& progress = {}, const CancelToken* cancel = nullptr);

// Deletes the files in order, never the settings (passed over). The token
// is looked at during every deletion, after its start request and between
// polls; with cancelBeforeEachFile also before each file's deletion starts.
Result deleteFiles(KVPMaster* master, const QList<FileRef>& files,
                   const ProgressSink& progress = {}, const CancelToken* cancel = nullptr,
                   bool cancelBeforeEachFile = true);

// The archive entry a transfer of this id works on: the last one with the
// id, so that a check, a question and the transfer agree when an archive
// holds the same id twice. Null when there is none.
ArchiveEntry* lastEntryWithId(const MZTArchive* archive, int id);

// Puts a downloaded file into the archive: the entry with its id refilled,
// or a new entry. The id is the one the file was read as, also when its
// record says another (logged; the record's id words are made to agree).
// Returns true when the entry is new.
bool storeInArchive(MZTArchive* archive, const DownloadedFile& file, const QString& entryName);

} // namespace core
