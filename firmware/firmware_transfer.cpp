#include "firmware_transfer.h"

#include "firmwarelog.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "updateimage.h"

#include <algorithm>

namespace core {
namespace {

Result failed(const QString& reason)
{
    return Result::failure(ResultCode::Failed, reason);
}

// The size of the last frame the master splits a write of length bytes
// into: chunks of the largest payload a frame carries, cut to whole 4-byte
// words when the write needs more than one frame.
uint lastFrameOf(uint length, const KVPMaster* master)
{
    uint chunk = std::min(length, uint(master->maximumFrameSize()) - uint(KVP_FRAME_OVERHEAD));
    if (chunk != length)
        chunk &= ~3u;
    if (chunk == 0)
        return length;
    const uint rest = length % chunk;
    return rest == 0 ? chunk : rest;
}

// Writes one section; for the last one, a missing answer to the very last
// frame counts as written (see below).
bool writeSection(KVPMaster* master, QByteArrayView section, int index, bool last)
{
    const kvp::TransferOutcome written =
        master->write(uint(section.size()), reinterpret_cast<const unsigned char*>(section.data()),
                      mzt500::CmdFirmwareSection, ushort(index));
    if (written) {
        qCDebug(lcFirmware).nospace() << "Successfully sent sector " << index;
        return true;
    }
    if (!last)
        return false;
    // A recorder restarts into its new firmware as soon as it has the last
    // frame, so that frame may go unanswered. Only that counts as done: an
    // error status, or a failure before the last frame (a pulled cable),
    // leaves the recorder without its firmware.
    const bool onlyFinalFrameMissing =
        written.length == uint(section.size()) - lastFrameOf(uint(section.size()), master);
    if (written.cause == kvp::FailureCause::NoReply && onlyFinalFrameMissing) {
        qCDebug(lcFirmware).noquote() << "No answer to the last frame; the recorder restarts";
        return true;
    }
    return false;
}

} // namespace

Result sendFirmware(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex, const UpdateImage& image)
{
    if (!master || !link || deviceIndex == -1)
        return failed(QStringLiteral("There is no recorder."));
    ReplyTimeout timeout(master, mzt500::FirmwareUpdateTimeoutMs);

    // The position names the recorder discovery found there: the link opens
    // that one again by its identity, so a recorder that took its place
    // after an unplug is never the one updated.
    master->stopAndReset();
    link->setDeviceIndex(deviceIndex);
    master->connectLink();

    QString name;
    uint softwareVersion = 0;
    uint hardwareVersion = 0;
    if (!master->getDeviceInfo(&name, &softwareVersion, &hardwareVersion))
        return Result::failure(
            ResultCode::NoAnswer,
            lostRecorderReasonOr(master, QStringLiteral("The recorder does not answer.")));
    if (name != QLatin1String(mzt500::ModelName))
        return Result::failure(
            ResultCode::WrongModel,
            QStringLiteral("The device is a \"%1\", not an %2.").arg(name, mzt500::ModelName));

    const auto header = image.headerBlock();
    if (!header
        || !master->writeData(uint(header->size()),
                              reinterpret_cast<const unsigned char*>(header->data()),
                              mzt500::CmdFirmwareHeader, 0)) {
        qCDebug(lcFirmware).noquote() << "Sending of the Header has failed";
        return failed(QStringLiteral("Sending the update's header failed; the recorder has not "
                                     "begun the update. Start the update again."));
    }
    qCDebug(lcFirmware).noquote() << "Header transmitted successfully\n";

    const int count = image.sectionCount();
    for (int i = 0; i < count; ++i) {
        const auto section = image.section(i);
        if (!section || !writeSection(master, *section, i, i + 1 == count))
            return failed(QStringLiteral("Sending section %1 of the update failed; the update "
                                         "is not complete. Start the update again before using "
                                         "the recorder.")
                              .arg(i));
    }
    return Result::success();
}

} // namespace core
