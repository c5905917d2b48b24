// What every device operation takes and gives: the files it works on, a
// cancel token its caller owns, a progress sink, and a result with a code, a
// reason and the file concerned. Plain values only, so that the window, the
// command line and the benchmarks can each run an operation on any thread
// and carry its outcome wherever they need it.
#pragma once

#include "kvpoutcome.h"

#include <QString>

#include <atomic>
#include <functional>

namespace core {

// Set by the caller, from any thread, to stop an operation at its next
// check. The operation never resets it.
using CancelToken = std::atomic<bool>;

inline bool cancelled(const CancelToken* cancel)
{
    return cancel && cancel->load();
}

// A file an operation works on: its id (0 the settings, 1 to 64 the
// sequences) and the name the caller shows for it.
struct FileRef {
    int id = 0;
    QString name;
};

enum class ResultCode {
    Ok,
    Cancelled,              // the cancel token was set
    Busy,                   // the recorder stays out of its transfer mode
    NoAnswer,               // the recorder does not answer, or its answer was unusable
    WrongModel,             // the device is not an MZT-500
    CannotList,             // the firmware is too old to list its files
    ListFailed,             // reading the content list failed
    DamagedList,            // the content list is not a whole number of records
    ReadFailed,             // reading a stored file failed
    DamagedFile,            // a stored file arrived too short or of odd length
    QueryFailed,            // asking whether a file exists failed
    Refused,                // an input the operation will not act on (bad id, type)
    DeleteFailed,           // the recorder did not delete a file
    WriteFailed,            // writing a file failed; nothing was deleted for it
    WriteFailedAfterDelete, // writing failed after the old copy was deleted
    Failed,                 // any other failure
};

struct Result {
    ResultCode code = ResultCode::Ok;
    QString reason; // one sentence for a person; empty when ok
    FileRef file;   // the file concerned; id -1 when none
    // Why the line gave up, where a transfer failed on it: tells a caller
    // whether the recorder may still serve the other files.
    kvp::FailureCause cause = kvp::FailureCause::None;
    bool ok() const { return code == ResultCode::Ok; }

    static Result success() { return {ResultCode::Ok, {}, {-1, {}}}; }
    static Result failure(ResultCode code, const QString& reason, const FileRef& file = {-1, {}},
                          kvp::FailureCause cause = kvp::FailureCause::None)
    {
        return {code, reason, file, cause};
    }
};

// Where an operation stands, reported on the thread that runs it.
struct Progress {
    enum class Stage {
        FileStarted,  // work on file fileIndex begins
        Deleting,     // the recorder deletes it; deletion is 0 to 255, -1 on start
        Transferring, // bytesDone of bytesTotal have been read or written
        FileDone,     // the file is complete
    };
    Stage stage = Stage::FileStarted;
    FileRef file;
    int fileIndex = 0; // from 1
    int fileCount = 0;
    quint64 bytesDone = 0;
    quint64 bytesTotal = 0;
    int deletion = -1;
};

using ProgressSink = std::function<void(const Progress&)>;

} // namespace core
