// The MZT-500's vocabulary: file ids and numbers, record types, command codes
// and their parameters, status values, the model name and the time-outs the
// program uses with it. Every layer of the program takes these from here, so
// a value the recorder defines is written down once. (The simulated recorder
// keeps its own copy on purpose: it checks the program, so it must not share
// the program's reading of the recorder.)
#pragma once

#include <QtGlobal>

namespace mzt500 {

// The model name the recorder reports, the archive's marker entry holds and
// update images name.
inline constexpr char ModelName[] = "MZT-500";

// File ids as the content list and the archive know them: the settings are
// id 0, the sequences 1 to 64.
inline constexpr int SettingsId = 0;
inline constexpr int FirstSequenceId = 1;
inline constexpr int LastSequenceId = 64;
// Commands address the settings as file number 120, sequences by their id.
inline constexpr int SettingsFileNumber = 120;
constexpr int fileNumberForId(int id)
{
    return id == SettingsId ? SettingsFileNumber : id;
}

// The type word of a content record and of an archive entry.
enum RecordType : qint32 {
    SettingsRecord = 0,
    SequenceRecord = 1,
};

// A file a recorder stores: the settings under id 0, sequences under 1 to 64.
constexpr bool isRecorderFile(qint32 type, int id)
{
    return (type == SettingsRecord || type == SequenceRecord) && id >= SettingsId
        && id <= LastSequenceId;
}

// Command codes.
enum Command : unsigned char {
    CmdPing = 0,
    CmdIdentify = 1,
    CmdFirmwareHeader = 3,
    CmdFirmwareSection = 4,
    CmdFileSize = 9,
    CmdFileData = 10,
    CmdSelectDelete = 11,
    CmdDeleteControl = 12,
    CmdFileExists = 13,
    CmdSelectWrite = 14,
    CmdWriteData = 15,
    CmdContentList = 16,
    CmdEndFailedWrite = 17,
    CmdTransferMode = 18,
};

// Parameters of command 18: ask, enter, leave.
enum TransferModeParameter : ushort {
    TransferModeQuery = 0,
    TransferModeEnter = 1,
    TransferModeLeave = 2,
};
// Parameters of command 12.
enum DeleteControlParameter : ushort {
    DeleteStart = 0,
    DeleteProgress = 1,
    DeleteStatus = 2,
};
// The parameter of command 10 that asks for a whole stored file.
inline constexpr ushort FileDataParameter = 3;

// Status values.
// Command 18's answer while in transfer mode, and command 14's when the
// recorder is ready to receive the file.
inline constexpr quint32 TransferModeOn = 0xFFFFFFFFu;
inline constexpr quint32 ReadyToReceive = 0xFFFFFFFFu;
// The deletion progress (0 to 255) that says the file is gone.
inline constexpr uint DeletionDone = 255;
// The receive counter's value when a read has ended.
inline constexpr uint EndOfReadMark = 0xFFFFFFFFu;

// The content list: at most 128 records of 16 bytes.
inline constexpr uint ContentListCapacity = 2048;
// Firmware 1.1 and older cannot list its content; 1.4 on is current.
inline constexpr uint LastVersionWithoutListing = 0x0101;
inline constexpr uint FirstCurrentVersion = 0x0104;
// Largest stored file accepted, from a recorder and in an archive entry; the
// recorder's memory is far smaller, so a bigger announced size is a garbled
// reply or a damaged archive, not a file.
inline constexpr quint32 MaxStoredFileSize = 64u * 1024u * 1024u;

// The item data role under which a table cell carries its file id.
inline constexpr int ItemIdRole = 1;

// Time-outs, in milliseconds: every one the program uses with the recorder
// is defined here and nowhere else.
// The master's reply time-out from its construction until its owner sets one.
inline constexpr int InitialReplyTimeoutMs = 400;
// The usual reply time-out: long enough for a recorder that takes its time
// to identify itself, short enough that a silent device holds nothing up.
inline constexpr int ReplyTimeoutMs = 1000;
// File transfers: the recorder takes its time to look up and prepare a file.
inline constexpr int TransferReplyTimeoutMs = 2000;
// Entering and leaving transfer mode are answered at once or not at all.
inline constexpr int TransferModeSwitchTimeoutMs = 100;
// A firmware update: the recorder writes each section to its flash.
inline constexpr int FirmwareUpdateTimeoutMs = 3000;
// Pause between two polls of a deletion's progress.
inline constexpr int DeletionPollIntervalMs = 100;
// The serial line's own time-outs: a blocking read of the link gives up
// after LineReadTimeoutMs (a short silence is normal between replies), a
// write that the device does not take within LineWriteTimeoutMs fails.
inline constexpr int LineReadTimeoutMs = 40;
inline constexpr int LineWriteTimeoutMs = 2000;

} // namespace mzt500
