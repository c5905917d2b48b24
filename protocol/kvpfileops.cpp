#include "kvpfileops.h"

#include "kvplog.h"
#include "kvpmaster.h"
#include "kvpmphy.h"

#include <QThread>

#include <algorithm>
#include <new>

namespace kvp {
namespace {

using namespace mzt500;

// A reply of the wrong length or value: the recorder would answer so again.
TransferOutcome refused(uint length = 0)
{
    TransferOutcome outcome;
    outcome.cause = FailureCause::Refused;
    outcome.length = length;
    return outcome;
}

TransferOutcome aborted()
{
    TransferOutcome outcome;
    outcome.cause = FailureCause::Aborted;
    return outcome;
}

quint32 u32Of(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

// One read whose reply must be exactly `size` bytes (2 or 4), little-endian.
TransferOutcome readValue(KVPMaster* master, unsigned char command, ushort parameter, uint size,
                          quint32* value)
{
    unsigned char reply[4] = {0, 0, 0, 0};
    const TransferOutcome outcome = master->read(size, reply, command, parameter);
    if (!outcome)
        return outcome;
    if (outcome.length != size)
        return refused(outcome.length);
    *value = u32Of(reply);
    return outcome;
}

// Sets *out when the caller asked for the cause.
void tell(FailureCause* out, FailureCause cause)
{
    if (out)
        *out = cause;
}

// A transfer is made at most this often when its replies are lost or
// spoilt on the line.
constexpr int AttemptsAfterLostReplies = 3;

} // namespace

TransferOutcome queryFileExists(KVPMaster* master, int fileNumber, bool* exists)
{
    if (!master)
        return refused();
    quint32 value = 0;
    const TransferOutcome outcome = readValue(master, CmdFileExists, ushort(fileNumber), 4, &value);
    if (outcome)
        *exists = value != 0;
    return outcome;
}

StoredFileRead readStoredFile(KVPMaster* master, int fileNumber, QByteArray* data,
                              const std::function<void(quint32)>& onSize, FailureCause* cause)
{
    tell(cause, FailureCause::Refused);
    if (!master || !data)
        return StoredFileRead::Failed;
    data->clear();
    unsigned char sizeReply[4];
    const TransferOutcome sizeRead =
        master->read(sizeof sizeReply, sizeReply, CmdFileSize, ushort(fileNumber));
    if (!sizeRead) {
        bool exists = true;
        const TransferOutcome query = queryFileExists(master, fileNumber, &exists);
        if (query) {
            if (!exists)
                return StoredFileRead::Missing;
            tell(cause, sizeRead.cause);
        } else if (sizeRead.cause == FailureCause::Gone || query.cause == FailureCause::Gone) {
            tell(cause, FailureCause::Gone);
        } else if (sizeRead.cause == FailureCause::Aborted
                   || query.cause == FailureCause::Aborted) {
            tell(cause, FailureCause::Aborted);
        } else if (sizeRead.cause == FailureCause::NoReply
                   && query.cause == FailureCause::NoReply) {
            // Two requests in a row without any answer: nothing suggests
            // the recorder would answer a third.
            tell(cause, FailureCause::Silent);
        }
        return StoredFileRead::Failed;
    }
    if (sizeRead.length != sizeof sizeReply)
        return StoredFileRead::Failed;
    const quint32 size = u32Of(sizeReply);
    qCDebug(lcProtocol).nospace() << "FileSize: " << size << " OK";
    if (size > MaxStoredFileSize)
        return StoredFileRead::Failed;
    if (onSize)
        onSize(size);
    try {
        data->resize(qsizetype(size));
    } catch (const std::bad_alloc&) {
        data->clear();
        return StoredFileRead::Failed;
    }
    const TransferOutcome dataRead = master->read(
        size, reinterpret_cast<unsigned char*>(data->data()), CmdFileData, FileDataParameter);
    if (!dataRead) {
        tell(cause, dataRead.cause);
        data->clear();
        return StoredFileRead::Failed;
    }
    const uint got = dataRead.length;
    // A file that ends before its announced size is not the file the
    // recorder holds: taking it as complete would lose its end unnoticed.
    if (got != size) {
        qCDebug(lcProtocol).nospace() << "FileSize: " << size << " but " << got << " delivered";
        data->clear();
        return StoredFileRead::Failed;
    }
    qCDebug(lcProtocol) << "OK";
    return StoredFileRead::Read;
}

TransferOutcome writeStoredFile(KVPMaster* master, int fileNumber, const QByteArray& content,
                                bool* dataSent)
{
    if (dataSent)
        *dataSent = false;
    if (!master)
        return refused();
    unsigned char reply[4];
    const TransferOutcome selected =
        master->read(sizeof reply, reply, CmdSelectWrite, ushort(fileNumber));
    if (!selected) {
        qCDebug(lcProtocol) << "failed to select file to upload";
        return selected;
    }
    if (selected.length != sizeof reply || u32Of(reply) != ReadyToReceive) {
        qCDebug(lcProtocol) << "failed to select file to upload 1";
        return refused();
    }
    if (dataSent)
        *dataSent = true;
    const TransferOutcome written =
        master->write(uint(content.size()),
                      reinterpret_cast<const unsigned char*>(content.constData()), CmdWriteData, 0);
    if (written)
        return written;
    // An abort ended the write; the recorder must still learn that it failed.
    master->deferAbort();
    master->read(sizeof reply, reply, CmdEndFailedWrite, 0);
    master->endAbortDeferral();
    return written;
}

TransferOutcome deleteStoredFile(KVPMaster* master, int fileNumber,
                                 const DeleteSequenceHooks& hooks)
{
    if (!master)
        return refused();
    const auto abortedByHooks = [&] { return hooks.abortRequested && hooks.abortRequested(); };
    quint32 budget = 0;
    if (const TransferOutcome selected =
            readValue(master, CmdSelectDelete, ushort(fileNumber), 4, &budget);
        !selected) {
        qCDebug(lcProtocol) << "failed to select file to delete";
        return selected;
    }
    if (hooks.beforeStart && !hooks.beforeStart())
        return aborted();
    // One step of the deletion; a failed one is logged with what it asked.
    const auto control = [master](ushort step, quint32* value, const char* failure) {
        const TransferOutcome outcome = readValue(master, CmdDeleteControl, step, 2, value);
        if (!outcome)
            qCDebug(lcProtocol) << failure;
        return outcome;
    };
    quint32 ignored = 0;
    if (const TransferOutcome started =
            control(DeleteStart, &ignored, "Starting to delete has failed");
        !started)
        return started;
    if (abortedByHooks())
        return aborted();
    for (;;) {
        quint32 status = 0;
        if (const TransferOutcome polled =
                control(DeleteStatus, &status, "Reading the Status has failed");
            !polled) {
            if (hooks.reconnectAfterStatusFailure)
                master->connectLink();
            return polled;
        }
        if (status != 0) {
            qCDebug(lcProtocol).nospace() << "KVFSError " << status;
            return refused();
        }
        quint32 progress = 0;
        if (const TransferOutcome polled =
                control(DeleteProgress, &progress, "Reading the Progress has failed");
            !polled)
            return polled;
        if (hooks.onProgress)
            hooks.onProgress(uint(progress));
        if (progress == DeletionDone)
            return {};
        // The budget counts the polls left; at 0 or 1 none is left after
        // this one. Decreasing 0 would wrap and poll without end.
        if (budget <= 1)
            return refused();
        --budget;
        QThread::msleep(ulong(hooks.pollIntervalMs));
        if (abortedByHooks())
            return aborted();
    }
}

TransferOutcome readContentList(KVPMaster* master, QByteArray* list, uint capacity)
{
    if (!master || !list)
        return refused();
    TransferOutcome outcome;
    for (int attempt = 1; attempt <= AttemptsAfterLostReplies; ++attempt) {
        list->resize(qsizetype(capacity));
        outcome = master->read(capacity, reinterpret_cast<unsigned char*>(list->data()),
                               CmdContentList, 0);
        if (outcome) {
            list->truncate(qsizetype(std::min(outcome.length, capacity)));
            return outcome;
        }
        list->clear();
        if (outcome.cause != FailureCause::NoReply || attempt == AttemptsAfterLostReplies)
            break;
        qCDebug(lcProtocol).nospace() << "Content list again from its start (attempt "
                                      << attempt + 1 << "): " << describeCause(outcome.cause);
        master->resetFrameEngine();
    }
    return outcome;
}

} // namespace kvp
