#include "kvpfileops.h"

#include "kvplog.h"
#include "kvpmaster.h"
#include "kvpmphy.h"

#include <QThread>

#include <new>

namespace kvp {
namespace {

using namespace mzt500;

// One read whose reply must be exactly `size` bytes (2 or 4), little-endian.
bool readValue(KVPMaster* master, unsigned char command, ushort parameter, uint size,
               quint32* value)
{
    unsigned char reply[4] = {0, 0, 0, 0};
    uint length = 0;
    if (!master->readData(size, reply, &length, command, parameter) || length != size)
        return false;
    *value = quint32(reply[0]) | quint32(reply[1]) << 8 | quint32(reply[2]) << 16
        | quint32(reply[3]) << 24;
    return true;
}

// Sets *out when the caller asked for the cause.
void tell(FailureCause* out, FailureCause cause)
{
    if (out)
        *out = cause;
}

} // namespace

FailureCause causeOfFailure(const KVPMaster* master)
{
    const KVPmPhy* link = master ? master->link() : nullptr;
    if (!link || !link->isConnected())
        return FailureCause::Gone;
    // The master marks the link lost when an exchange times out (a reply
    // lost or spoilt on the line); a reply that reports an error or does
    // not fit the request leaves it clear.
    return master->isLinkLost() ? FailureCause::NoReply : FailureCause::Refused;
}

const char* describeCause(FailureCause cause)
{
    switch (cause) {
    case FailureCause::None:
        return "no failure";
    case FailureCause::NoReply:
        return "no valid reply in time";
    case FailureCause::Silent:
        return "the recorder answers nothing";
    case FailureCause::Refused:
        return "refused or answered wrongly";
    case FailureCause::Gone:
        return "the recorder is gone";
    }
    return "?";
}

bool queryFileExists(KVPMaster* master, int fileNumber, bool* exists)
{
    quint32 value = 0;
    if (!master || !readValue(master, CmdFileExists, ushort(fileNumber), 4, &value))
        return false;
    *exists = value != 0;
    return true;
}

StoredFileRead readStoredFile(KVPMaster* master, int fileNumber, QByteArray* data,
                              const std::function<void(quint32)>& onSize, FailureCause* cause)
{
    tell(cause, FailureCause::Refused);
    if (!master || !data)
        return StoredFileRead::Failed;
    data->clear();
    unsigned char sizeReply[4];
    uint length = 0;
    if (!master->readData(sizeof sizeReply, sizeReply, &length, CmdFileSize, ushort(fileNumber))) {
        const FailureCause sizeFailure = causeOfFailure(master);
        bool exists = true;
        if (queryFileExists(master, fileNumber, &exists)) {
            if (!exists)
                return StoredFileRead::Missing;
            tell(cause, sizeFailure);
        } else {
            const FailureCause queryFailure = causeOfFailure(master);
            if (sizeFailure == FailureCause::Gone || queryFailure == FailureCause::Gone)
                tell(cause, FailureCause::Gone);
            else if (sizeFailure == FailureCause::NoReply && queryFailure == FailureCause::NoReply)
                // Two requests in a row without any answer: nothing suggests
                // the recorder would answer a third.
                tell(cause, FailureCause::Silent);
        }
        return StoredFileRead::Failed;
    }
    if (length != sizeof sizeReply)
        return StoredFileRead::Failed;
    const quint32 size = quint32(sizeReply[0]) | quint32(sizeReply[1]) << 8
        | quint32(sizeReply[2]) << 16 | quint32(sizeReply[3]) << 24;
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
    uint got = 0;
    if (!master->readData(size, reinterpret_cast<unsigned char*>(data->data()), &got, CmdFileData,
                          FileDataParameter)) {
        tell(cause, causeOfFailure(master));
        data->clear();
        return StoredFileRead::Failed;
    }
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

bool writeStoredFile(KVPMaster* master, int fileNumber, const QByteArray& content,
                     FailureCause* cause)
{
    tell(cause, FailureCause::Refused);
    if (!master)
        return false;
    unsigned char reply[4];
    uint length = 0;
    if (!master->readData(sizeof reply, reply, &length, CmdSelectWrite, ushort(fileNumber))) {
        qCDebug(lcProtocol) << "failed to select file to upload";
        tell(cause, causeOfFailure(master));
        return false;
    }
    const quint32 value = quint32(reply[0]) | quint32(reply[1]) << 8 | quint32(reply[2]) << 16
        | quint32(reply[3]) << 24;
    if (length != sizeof reply || value != ReadyToReceive) {
        qCDebug(lcProtocol) << "failed to select file to upload 1";
        return false;
    }
    if (master->writeData(uint(content.size()),
                          reinterpret_cast<const unsigned char*>(content.constData()), CmdWriteData,
                          0))
        return true;
    tell(cause, causeOfFailure(master));
    // An abort ended the write; the recorder must still learn that it failed.
    master->deferAbort();
    master->readData(sizeof reply, reply, &length, CmdEndFailedWrite, 0);
    master->endAbortDeferral();
    return false;
}

bool deleteStoredFile(KVPMaster* master, int fileNumber, const DeleteSequenceHooks& hooks,
                      FailureCause* cause)
{
    tell(cause, FailureCause::Refused);
    if (!master)
        return false;
    const auto aborted = [&] { return hooks.abortRequested && hooks.abortRequested(); };
    quint32 budget = 0;
    if (!readValue(master, CmdSelectDelete, ushort(fileNumber), 4, &budget)) {
        qCDebug(lcProtocol) << "failed to select file to delete";
        tell(cause, causeOfFailure(master));
        return false;
    }
    if (hooks.beforeStart && !hooks.beforeStart())
        return false;
    quint32 ignored = 0;
    if (!readValue(master, CmdDeleteControl, DeleteStart, 2, &ignored)) {
        qCDebug(lcProtocol) << "Starting to delete has failed";
        tell(cause, causeOfFailure(master));
        return false;
    }
    if (aborted())
        return false;
    for (;;) {
        quint32 status = 0;
        if (!readValue(master, CmdDeleteControl, DeleteStatus, 2, &status)) {
            qCDebug(lcProtocol) << "Reading the Status has failed";
            tell(cause, causeOfFailure(master));
            if (hooks.reconnectAfterStatusFailure)
                master->connectLink();
            return false;
        }
        if (status != 0) {
            qCDebug(lcProtocol).nospace() << "KVFSError " << status;
            return false;
        }
        quint32 progress = 0;
        if (!readValue(master, CmdDeleteControl, DeleteProgress, 2, &progress)) {
            qCDebug(lcProtocol) << "Reading the Progress has failed";
            tell(cause, causeOfFailure(master));
            return false;
        }
        if (hooks.onProgress)
            hooks.onProgress(uint(progress));
        if (progress == DeletionDone)
            return true;
        // The budget counts the polls left; at 0 or 1 none is left after
        // this one. Decreasing 0 would wrap and poll without end.
        if (budget <= 1)
            return false;
        --budget;
        QThread::msleep(ulong(hooks.pollIntervalMs));
        if (aborted())
            return false;
    }
}

} // namespace kvp
