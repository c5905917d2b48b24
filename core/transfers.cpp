#include "transfers.h"

#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mztarchive.h"
#include "operationslog.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QScopeGuard>
#include <QtEndian>
#include <QThread>

#include <memory>

namespace core {
namespace {

// Passes the master's byte counts of this thread's transfers on as
// progress. The master reports on the thread that runs the transaction;
// counts from other threads (the window's connection poll) are not ours.
// An upload counts only what it writes: the short reads around the write
// (the selection, the end of a failed write) are not the file's bytes.
class ByteProgress {
public:
    enum class Direction { Reading, Writing };
    ByteProgress(KVPMaster* master, const ProgressSink& sink, Progress* current,
                 Direction direction)
        : m_thread(QThread::currentThread())
    {
        if (!sink)
            return;
        if (direction == Direction::Reading)
            m_received = QObject::connect(
                master, &KVPMaster::sigReceived, master,
                [this, &sink, current](uint bytes) {
                    if (QThread::currentThread() != m_thread || current->bytesTotal == 0)
                        return;
                    current->stage = Progress::Stage::Transferring;
                    current->bytesDone =
                        bytes == mzt500::EndOfReadMark ? current->bytesTotal : quint64(bytes);
                    sink(*current);
                },
                Qt::DirectConnection);
        else
            m_transferred = QObject::connect(
                master, &KVPMaster::sigTransferred, master,
                [this, &sink, current](uint percent) {
                    if (QThread::currentThread() != m_thread || current->bytesTotal == 0)
                        return;
                    current->stage = Progress::Stage::Transferring;
                    current->bytesDone = current->bytesTotal * std::min(percent, 100u) / 100;
                    sink(*current);
                },
                Qt::DirectConnection);
    }
    ~ByteProgress()
    {
        QObject::disconnect(m_received);
        QObject::disconnect(m_transferred);
    }
    ByteProgress(const ByteProgress&) = delete;
    ByteProgress& operator=(const ByteProgress&) = delete;

private:
    QThread* m_thread;
    QMetaObject::Connection m_received;
    QMetaObject::Connection m_transferred;
};

void report(const ProgressSink& sink, Progress* current, Progress::Stage stage)
{
    current->stage = stage;
    if (sink)
        sink(*current);
}

// The next file of a transfer begins: its byte counts start from nothing.
void reportFileStarted(const ProgressSink& sink, Progress* current, const FileRef& file)
{
    current->file = file;
    ++current->fileIndex;
    current->bytesDone = 0;
    current->bytesTotal = 0;
    report(sink, current, Progress::Stage::FileStarted);
}

// The caller cancelled, or someone asked the master to abort.
bool stopRequested(const KVPMaster* master, const CancelToken* cancel)
{
    return cancelled(cancel) || master->isAbortRequested();
}

// The recorder-side deletion of one file, its polls reported as progress.
// beforeStart, when given, may still refuse just before the deletion starts.
kvp::TransferOutcome deleteOnRecorder(KVPMaster* master, int fileNumber, const ProgressSink& sink,
                                      Progress* current, const CancelToken* cancel,
                                      const char* logText, bool reconnectAfterStatusFailure,
                                      const std::function<bool()>& beforeStart = {})
{
    current->deletion = -1;
    report(sink, current, Progress::Stage::Deleting);
    kvp::DeleteSequenceHooks hooks;
    hooks.beforeStart = beforeStart;
    // A started deletion that belongs to a rewrite is never abandoned.
    hooks.abortRequested = [cancel, rewrite = bool(beforeStart)] {
        return !rewrite && cancelled(cancel);
    };
    hooks.onProgress = [&](uint value) {
        qCDebug(lcOperations).noquote().nospace() << logText << value;
        current->deletion = int(value);
        report(sink, current, Progress::Stage::Deleting);
    };
    hooks.pollIntervalMs = mzt500::DeletionPollIntervalMs;
    hooks.reconnectAfterStatusFailure = reconnectAfterStatusFailure;
    return kvp::deleteStoredFile(master, fileNumber, hooks);
}

// One file's transfer is made at most this often: a reply lost or spoilt on
// the line costs the file, not the whole operation.
constexpr int AttemptsPerFile = 3;

// Counts the attempts at one file and decides whether a failed one is made
// again from the file's start. Only a lost or spoilt reply from a recorder
// that still answers is worth it: a refusal, a wrong answer, a recorder that
// is gone or answers nothing would fail again. A stop (the user's cancel,
// unless the file must be finished) ends the file as it stands.
class FileAttempts {
public:
    FileAttempts(KVPMaster* master, const FileRef& file, const char* what,
                 std::function<bool()> stop)
        : m_master(master)
        , m_file(file)
        , m_what(what)
        , m_stop(std::move(stop))
    {
    }

    bool again(kvp::FailureCause cause)
    {
        if (cause != kvp::FailureCause::NoReply || m_attempt >= AttemptsPerFile || m_stop()) {
            if (m_attempt > 1 || cause != kvp::FailureCause::NoReply)
                qCDebug(lcOperations).noquote().nospace()
                    << m_what << " " << m_file.name << " failed for good (attempt " << m_attempt
                    << " of " << AttemptsPerFile << "): " << kvp::describeCause(cause);
            return false;
        }
        ++m_attempt;
        qCDebug(lcOperations).noquote().nospace()
            << m_what << " " << m_file.name << " again from its start (attempt " << m_attempt
            << " of " << AttemptsPerFile << "): " << kvp::describeCause(cause);
        m_master->resetFrameEngine();
        return true;
    }

private:
    KVPMaster* m_master;
    FileRef m_file;
    const char* m_what;
    std::function<bool()> m_stop;
    int m_attempt = 1;
};

// A retried file's bytes start again from 0; its total stays, so that an
// overall count built from the files' sizes counts it once.
void restartBytes(const ProgressSink& sink, Progress* current, quint64 total)
{
    current->bytesDone = 0;
    current->bytesTotal = total;
    report(sink, current, Progress::Stage::Transferring);
}

} // namespace

namespace {

// Why a read failed for good, in a sentence that names the file.
QString readFailure(const FileRef& file, kvp::FailureCause cause)
{
    switch (cause) {
    case kvp::FailureCause::Refused:
        return QStringLiteral("The recorder answered the read of %1 with an error.").arg(file.name);
    case kvp::FailureCause::NoReply:
        return QStringLiteral("The recorder's replies for %1 were lost on every attempt.")
            .arg(file.name);
    default:
        return QStringLiteral("Reading %1 from the recorder failed.").arg(file.name);
    }
}

// One file, made again where a lost reply may be the only fault.
Result downloadOne(KVPMaster* master, const FileRef& file, Progress* current,
                   const std::function<void(const DownloadedFile&)>& onFile,
                   const ProgressSink& progress, const CancelToken* cancel)
{
    reportFileStarted(progress, current, file);
    qCDebug(lcOperations) << "Going to download " << file.id;

    DownloadedFile got;
    got.file = file;
    FileAttempts attempts(master, file, "Reading", [&] { return stopRequested(master, cancel); });
    kvp::StoredFileRead read = kvp::StoredFileRead::Failed;
    kvp::FailureCause cause = kvp::FailureCause::None;
    for (;;) {
        read = kvp::readStoredFile(
            master, mzt500::fileNumberForId(file.id), &got.data,
            [&](quint32 size) {
                current->bytesTotal = size;
                report(progress, current, Progress::Stage::Transferring);
            },
            &cause);
        if (read != kvp::StoredFileRead::Failed || !attempts.again(cause))
            break;
        // Until the size is asked again no count is this file's.
        if (current->bytesTotal != 0)
            restartBytes(progress, current, current->bytesTotal);
        current->bytesTotal = 0;
    }
    current->bytesTotal = 0;
    if (read == kvp::StoredFileRead::Missing) {
        got.missing = true;
        if (onFile)
            onFile(got);
        return Result::success();
    }
    if (read == kvp::StoredFileRead::Failed)
        return Result::failure(ResultCode::ReadFailed, readFailure(file, cause), file, cause);
    // Checked before the file is handed over: a file that is too short or
    // of odd length is damaged, and whatever the caller already holds
    // under this id must survive a failed copy.
    if (got.data.size() < ContentRecord::Size || got.data.size() % 2 != 0)
        return Result::failure(
            ResultCode::DamagedFile,
            QStringLiteral("The recorder sent a damaged copy of %1.").arg(file.name), file);
    got.record =
        ContentRecord::fromBytes(reinterpret_cast<const unsigned char*>(got.data.constData()));
    qCDebug(lcOperations) << "Duration: " << got.record.duration;
    qCDebug(lcOperations) << "Id: " << got.record.id;
    qCDebug(lcOperations) << "Size: " << got.record.memSize;
    qCDebug(lcOperations) << "len: " << got.data.size();
    report(progress, current, Progress::Stage::FileDone);
    if (onFile)
        onFile(got);
    return Result::success();
}

// Both downloads: with passOverUnreadable, a file the recorder cannot
// deliver while it serves the others is noted in the outcome and the
// download goes on.
PartialDownload download(KVPMaster* master, const QList<FileRef>& files,
                         const std::function<void(const DownloadedFile&)>& onFile,
                         const ProgressSink& progress, const CancelToken* cancel,
                         bool passOverUnreadable)
{
    PartialDownload outcome;
    if (!master) {
        outcome.result =
            Result::failure(ResultCode::Failed, QStringLiteral("There is no recorder."));
        return outcome;
    }
    ReplyTimeout timeout(master, mzt500::TransferReplyTimeoutMs);
    Progress current;
    current.fileCount = int(files.size());
    const ByteProgress bytes(master, progress, &current, ByteProgress::Direction::Reading);

    for (const FileRef& file : files) {
        if (cancelled(cancel)) {
            outcome.result =
                Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), file);
            return outcome;
        }
        const Result one = downloadOne(master, file, &current, onFile, progress, cancel);
        if (one.ok())
            continue;
        // A stop that came while the file failed is the stop's, not the
        // file's: it ends the download.
        if (!passOverUnreadable || !recorderServesOtherFiles(one)
            || stopRequested(master, cancel)) {
            outcome.result = one;
            return outcome;
        }
        qCDebug(lcOperations).noquote() << "Passed over:" << one.reason;
        outcome.unreadable.append(one);
    }
    outcome.result = Result::success();
    return outcome;
}

} // namespace

Result downloadFiles(KVPMaster* master, const QList<FileRef>& files,
                     const std::function<void(const DownloadedFile&)>& onFile,
                     const ProgressSink& progress, const CancelToken* cancel)
{
    return download(master, files, onFile, progress, cancel, false).result;
}

bool recorderServesOtherFiles(const Result& failedFile)
{
    if (failedFile.code == ResultCode::DamagedFile)
        return true;
    return failedFile.code == ResultCode::ReadFailed
        && (failedFile.cause == kvp::FailureCause::Refused
            || failedFile.cause == kvp::FailureCause::NoReply);
}

PartialDownload downloadReadableFiles(KVPMaster* master, const QList<FileRef>& files,
                                      const std::function<void(const DownloadedFile&)>& onFile,
                                      const ProgressSink& progress, const CancelToken* cancel)
{
    return download(master, files, onFile, progress, cancel, true);
}

QString uploadRefusal(const UploadItem& item)
{
    const int id = item.file.id;
    if ((item.type == mzt500::SettingsRecord) == (id == mzt500::SettingsId))
        return QString();
    return item.type == mzt500::SettingsRecord
        ? QStringLiteral("%1 is a settings entry with id %2; settings must have id 0.")
              .arg(item.file.name)
              .arg(id)
        : QStringLiteral("%1 has id 0, which only the settings may have.").arg(item.file.name);
}

UploadCheck checkUpload(KVPMaster* master, const QList<UploadItem>& items,
                        const CancelToken* cancel)
{
    UploadCheck check;
    if (!master) {
        check.result = Result::failure(ResultCode::Failed, QStringLiteral("There is no recorder."));
        return check;
    }
    ReplyTimeout timeout(master, mzt500::TransferReplyTimeoutMs);
    qCDebug(lcOperations) << "Checking planned upload";
    for (const UploadItem& item : items) {
        if (cancelled(cancel)) {
            check.result =
                Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), item.file);
            return check;
        }
        const int id = item.file.id;
        qCDebug(lcOperations).nospace() << "Checking whether \"" << id << "\" exists";
        if (!item.inArchive) {
            check.result =
                Result::failure(ResultCode::Refused,
                                QStringLiteral("The archive holds no file %1.").arg(id), item.file);
            return check;
        }
        if (item.type == mzt500::SettingsRecord) {
            // The recorder always keeps a settings block.
            check.overwritten.append(QStringLiteral("SETTINGS"));
        } else if (item.type == mzt500::SequenceRecord) {
            if (id < mzt500::FirstSequenceId || id > mzt500::LastSequenceId) {
                check.result =
                    Result::failure(ResultCode::Refused,
                                    QStringLiteral("%1 has id %2, which no sequence may have.")
                                        .arg(item.file.name)
                                        .arg(id),
                                    item.file);
                return check;
            }
            bool exists = false;
            if (!kvp::queryFileExists(master, id, &exists).ok()) {
                check.result = Result::failure(
                    ResultCode::QueryFailed,
                    QStringLiteral("Checking which files the recorder holds failed."), item.file);
                return check;
            }
            if (exists)
                check.overwritten.append(item.file.name);
        }
    }
    check.result = Result::success();
    return check;
}

Result uploadFiles(KVPMaster* master, const QList<UploadItem>& items,
                   const std::function<void(const UploadItem&, bool replaced)>& onWritten,
                   const ProgressSink& progress, const CancelToken* cancel)
{
    if (!master)
        return Result::failure(ResultCode::Failed, QStringLiteral("There is no recorder."));
    ReplyTimeout timeout(master, mzt500::TransferReplyTimeoutMs);
    Progress current;
    current.fileCount = int(items.size());
    const ByteProgress bytes(master, progress, &current, ByteProgress::Direction::Writing);
    const auto cancelledAt = [](const FileRef& file) {
        return Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), file);
    };

    for (const UploadItem& item : items) {
        if (stopRequested(master, cancel))
            return cancelledAt(item.file);
        const int id = item.file.id;
        reportFileStarted(progress, &current, item.file);
        qCDebug(lcOperations).nospace() << "Going to upload \"" << id << "\"";
        if (!item.inArchive)
            return Result::failure(ResultCode::Refused,
                                   QStringLiteral("The archive holds no file %1.").arg(id),
                                   item.file);
        const QString refusal = uploadRefusal(item);
        if (!refusal.isEmpty())
            return Result::failure(ResultCode::Refused, refusal, item.file);
        if (!mzt500::isRecorderFile(item.type, id)) {
            report(progress, &current, Progress::Stage::FileDone);
            continue;
        }

        const int fileNumber = mzt500::fileNumberForId(id);
        // Whether the recorder held a file under this number when the upload
        // came to it; a later attempt only finds a copy an earlier one wrote.
        bool replaced = false;
        // Once the recorder has begun to delete its copy, the file lives only
        // in the caller's archive until it is written again: a cancel then
        // waits for the end of this file, and only a failure can stop it.
        bool deferring = false;
        bool deletionStarted = false;
        const auto endDeferral = qScopeGuard([&] {
            if (deferring)
                master->endAbortDeferral();
        });
        const auto startDeletion = [&] {
            if (!deferring) {
                master->deferAbort();
                deferring = true;
                deletionStarted = !stopRequested(master, cancel);
            }
            return deletionStarted;
        };
        const QString lostText =
            QStringLiteral("%1 is now missing from the recorder, and the archive still holds it.")
                .arg(item.file.name);
        FileAttempts attempts(master, item.file, "Writing",
                              [&] { return !deletionStarted && stopRequested(master, cancel); });
        // The recorder answered the previous attempt's first request: a
        // time-out of this attempt's first one is then a lost reply, not a
        // recorder that answers nothing.
        bool answeredBefore = true;
        bool passedOver = false;
        for (bool firstAttempt = true;; firstAttempt = false) {
            bool exists = false;
            kvp::FailureCause cause = kvp::FailureCause::None;
            if (const kvp::TransferOutcome query =
                    kvp::queryFileExists(master, fileNumber, &exists);
                !query) {
                cause = query.cause;
                if (cause == kvp::FailureCause::NoReply && !answeredBefore)
                    cause = kvp::FailureCause::Silent;
                answeredBefore = false;
                if (attempts.again(cause))
                    continue;
                if (deletionStarted)
                    return Result::failure(ResultCode::WriteFailedAfterDelete,
                                           QStringLiteral("Writing %1 to the recorder failed "
                                                          "after its old copy was deleted; ")
                                                   .arg(item.file.name)
                                               + lostText,
                                           item.file);
                return stopRequested(master, cancel)
                    ? cancelledAt(item.file)
                    : Result::failure(
                        ResultCode::QueryFailed,
                        QStringLiteral("Writing %1 to the recorder failed.").arg(item.file.name),
                        item.file);
            }
            answeredBefore = true;
            if (firstAttempt && exists && item.keepIfHeld) {
                passedOver = true;
                break;
            }
            replaced = replaced || (firstAttempt && exists);
            if (exists) {
                const kvp::TransferOutcome deleted =
                    deleteOnRecorder(master, fileNumber, progress, &current, cancel,
                                     "Replacing, delete progress ", true, startDeletion);
                if (!deleted) {
                    if (!deletionStarted && stopRequested(master, cancel))
                        return cancelledAt(item.file);
                    if (attempts.again(deleted.cause))
                        continue;
                    if (deletionStarted && deleted.cause != kvp::FailureCause::Refused)
                        return Result::failure(ResultCode::WriteFailedAfterDelete,
                                               QStringLiteral("The recorder stopped answering "
                                                              "while it deleted %1 to replace it; ")
                                                       .arg(item.file.name)
                                                   + lostText,
                                               item.file);
                    return Result::failure(ResultCode::DeleteFailed,
                                           QStringLiteral("Replacing %1 failed: the recorder did "
                                                          "not delete its old copy.")
                                               .arg(item.file.name),
                                           item.file);
                }
            }
            restartBytes(progress, &current, quint64(item.content.size()));
            bool dataSent = false;
            const kvp::TransferOutcome written =
                kvp::writeStoredFile(master, fileNumber, item.content, &dataSent);
            if (written)
                break;
            if (attempts.again(written.cause))
                continue;
            // Frames of the data may have been taken in before the failure,
            // the last one included when only its acknowledgement was lost:
            // what the recorder holds now is not known.
            const QString partText =
                QStringLiteral("%1 may be incomplete on the recorder or missing from it, and the "
                               "archive still holds it.")
                    .arg(item.file.name);
            if (deletionStarted)
                return Result::failure(
                    ResultCode::WriteFailedAfterDelete,
                    QStringLiteral("Writing %1 to the recorder failed after its old copy "
                                   "was deleted; ")
                            .arg(item.file.name)
                        + (dataSent ? partText : lostText),
                    item.file);
            if (stopRequested(master, cancel))
                return cancelledAt(item.file);
            return Result::failure(
                ResultCode::WriteFailed,
                QStringLiteral("Writing %1 to the recorder failed.").arg(item.file.name)
                    + (dataSent ? QStringLiteral(" ") + partText : QString()),
                item.file);
        }
        if (passedOver) {
            report(progress, &current, Progress::Stage::FileDone);
            continue;
        }
        // A write of one frame reports no share of its own.
        if (current.bytesDone != current.bytesTotal) {
            current.bytesDone = current.bytesTotal;
            report(progress, &current, Progress::Stage::Transferring);
        }
        current.bytesTotal = 0;
        report(progress, &current, Progress::Stage::FileDone);
        if (onWritten)
            onWritten(item, replaced);
    }
    // A cancel that came during the last file still ends the run as cancelled.
    if (!items.isEmpty() && stopRequested(master, cancel))
        return cancelledAt(items.last().file);
    return Result::success();
}

Result deleteFiles(KVPMaster* master, const QList<FileRef>& files, const ProgressSink& progress,
                   const CancelToken* cancel, bool cancelBeforeEachFile)
{
    if (!master)
        return Result::failure(ResultCode::Failed, QStringLiteral("There is no recorder."));
    Progress current;
    current.fileCount = int(files.size());
    for (const FileRef& file : files) {
        if (cancelBeforeEachFile && cancelled(cancel))
            return Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), file);
        current.file = file;
        ++current.fileIndex;
        qCDebug(lcOperations) << "Going to delete " << file.name;
        qCDebug(lcOperations) << "id = " << file.id;
        if (file.id == mzt500::SettingsId)
            continue;
        report(progress, &current, Progress::Stage::FileStarted);
        if (!deleteOnRecorder(master, file.id, progress, &current, cancel, "Delete progress ",
                              false)
                 .ok()) {
            if (cancelled(cancel))
                return Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), file);
            return Result::failure(ResultCode::DeleteFailed,
                                   QStringLiteral("Deleting %1 failed.").arg(file.name), file);
        }
        report(progress, &current, Progress::Stage::FileDone);
    }
    return Result::success();
}

ArchiveEntry* lastEntryWithId(const MZTArchive* archive, int id)
{
    if (!archive)
        return nullptr;
    const QList<ArchiveEntry*>& entries = archive->entries();
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        if (*it && (*it)->id() == id)
            return *it;
    }
    return nullptr;
}

bool storeInArchive(MZTArchive* archive, const DownloadedFile& file, const QString& entryName)
{
    ArchiveEntry* target = lastEntryWithId(archive, file.file.id);
    std::unique_ptr<ArchiveEntry> fresh;
    if (!target) {
        fresh = std::make_unique<ArchiveEntry>();
        target = fresh.get();
    }
    // The number the file was read from is its id: a record that says
    // otherwise (an entry renumbered and written back before its archive was
    // saved) must neither refill another entry nor be restored elsewhere.
    // Its id words are refreshed as a save refreshes them.
    const qint32 id = qint32(file.file.id);
    QByteArray content = file.data;
    if (file.record.id != quint32(id)) {
        qCWarning(lcOperations).nospace() << "File " << id << " carries id " << file.record.id
                                          << " in its record; kept as " << id;
        if (content.size() >= ContentRecord::Size)
            qToLittleEndian<qint32>(id, content.data());
    }
    target->clear();
    target->setId(id);
    target->setType(qint32(file.record.type));
    target->setDuration(file.record.duration);
    target->appendContent(content.constData(), content.size());
    target->setName(entryName);
    if (!fresh) {
        archive->setModified(true);
        return false;
    }
    archive->addEntry(fresh.release());
    return true;
}

} // namespace core
