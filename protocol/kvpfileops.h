// Command sequences on the recorder's stored files, shared by the transfer
// workers: reading a file, writing a file and the recorder-side deletion.
// Widget-free; each call runs its transactions on the calling thread.
#pragma once

#include "kvpoutcome.h"
#include "recorder_vocabulary.h"

#include <QByteArray>
#include <QString>

#include <functional>

class KVPMaster;

namespace kvp {

using mzt500::fileNumberForId;
using mzt500::MaxStoredFileSize;

enum class StoredFileRead {
    Read,    // *data holds the file as the recorder sent it
    Missing, // the recorder has no such file
    Failed,  // a request failed or a reply was malformed
};

// Size (command 9), then the data (command 10, parameter 3). When the size
// request fails, the existence query (command 13) tells a missing file from a
// failure. onSize is called with the announced size before the data is
// requested (the caller's progress needs it). Logs "FileSize: " and "OK".
// On Failed, *cause (when given) says why.
StoredFileRead readStoredFile(KVPMaster* master, int fileNumber, QByteArray* data,
                              const std::function<void(quint32 size)>& onSize = {},
                              FailureCause* cause = nullptr);

// Existence query (command 13): *exists is set when the request worked.
TransferOutcome queryFileExists(KVPMaster* master, int fileNumber, bool* exists);

// Selects the file for writing (command 14, must answer 0xFFFFFFFF), then
// writes the whole content (command 15). A failed write is ended on the
// recorder with command 17; what the recorder stored of it by then is
// unknown. Logs "failed to select file to upload" (request failed) or
// "failed to select file to upload 1" (refused). The outcome's length is
// what the recorder acknowledged of the content. *dataSent (when given)
// tells whether the data transfer began: after a failure the recorder may
// then hold part or all of the file.
TransferOutcome writeStoredFile(KVPMaster* master, int fileNumber, const QByteArray& content,
                                bool* dataSent = nullptr);

// What differs between the callers of a deletion.
struct DeleteSequenceHooks {
    // Polled after the start request and after every wait between polls.
    std::function<bool()> abortRequested;
    // Asked after the select request, just before the start request: false
    // ends the sequence with the file untouched.
    std::function<bool()> beforeStart;
    // The recorder's progress (0 to 255, 255 = deleted) after every poll.
    std::function<void(uint progress)> onProgress;
    // Reconnects the link when reading the status fails.
    bool reconnectAfterStatusFailure = true;
    // Pause between polls.
    int pollIntervalMs = mzt500::DeletionPollIntervalMs;
};

// Deletes a stored file: select (command 11, the reply is the poll budget),
// start (command 12/0), then poll status (12/2) and progress (12/1) until the
// recorder reports 255, an error, or the budget runs out. A budget of 0
// allows one poll, as a budget of 1 does. An error the recorder reports and
// a budget used up count as Refused, an abort through the hooks as Aborted.
TransferOutcome deleteStoredFile(KVPMaster* master, int fileNumber,
                                 const DeleteSequenceHooks& hooks = {});

// The recorder's content list (command 16) into *list, up to capacity
// bytes. A list whose reply was lost or spoilt is read again from its
// start, up to three attempts: a part of it must never pass for the whole.
TransferOutcome readContentList(KVPMaster* master, QByteArray* list, uint capacity);

} // namespace kvp
