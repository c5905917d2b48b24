#include "fwupdater.h"

#include "firmwarelog.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "updateimage.h"

namespace {

constexpr int UpdateTimeoutMs = 3000;
constexpr unsigned char CommandFirmwareHeader = 3;
constexpr unsigned char CommandFirmwareSection = 4;
const QString UpdatableModel = QStringLiteral("MZT-500");

// How many frames the master splits a write of length bytes into: chunks
// of the largest payload a frame carries, cut to whole 4-byte words when
// the write needs more than one frame.
qint64 framesFor(qint64 length, int maxFrameSize)
{
    qint64 chunk = qMin<qint64>(length, maxFrameSize - 14);
    if (chunk != length)
        chunk -= chunk % 4;
    if (chunk <= 0)
        return 1;
    return (length + chunk - 1) / chunk;
}

} // namespace

FwUpdater::FwUpdater(QObject* parent)
    : QThread(parent)
{
}

void FwUpdater::attach(KVPMaster* master, KVPmPhyUSB* link)
{
    if (master && master != m_master)
        connect(master, &KVPMaster::sigTransferred, this, &FwUpdater::onProgress);
    m_master = master;
    m_link = link;
}

void FwUpdater::setImage(UpdateImage* image)
{
    m_image = image;
}

void FwUpdater::setDeviceIndex(int index)
{
    m_deviceIndex = index;
}

void FwUpdater::finish(int savedTimeout, bool ok)
{
    // The caller may start the next operation as soon as it hears the
    // outcome, so the master's usual time-out is back in place first.
    m_master->setTimeout(savedTimeout);
    if (ok) {
        // The running bookkeeping cannot reach 100 (the header block is in
        // the total but never accounted); a completed update says so.
        emit progress(100);
        emit success();
    } else {
        emit failed();
    }
}

void FwUpdater::run()
{
    m_accountedBytes = 0;
    m_sectionCounter = 0;
    if (!m_master || !m_link || !m_image || m_deviceIndex == -1) {
        emit failed();
        return;
    }
    const int savedTimeout = m_master->getTimeout();
    m_master->setTimeout(UpdateTimeoutMs);

    m_master->stopAndReset();
    m_link->setDeviceIndex(m_deviceIndex);
    m_master->connectLink();

    QString name;
    uint softwareVersion = 0;
    uint hardwareVersion = 0;
    if (!m_master->getDeviceInfo(&name, &softwareVersion, &hardwareVersion)
        || name != UpdatableModel) {
        finish(savedTimeout, false);
        return;
    }

    const auto header = m_image->headerBlock();
    if (!header
        || !m_master->writeData(uint(header->size()),
                                reinterpret_cast<const unsigned char*>(header->data()),
                                CommandFirmwareHeader, 0)) {
        qCDebug(lcFirmware).noquote() << "Sending of the Header has failed";
        finish(savedTimeout, false);
        return;
    }
    qCDebug(lcFirmware).noquote() << "Header transmitted successfully\n";

    const int count = m_image->sectionCount();
    for (int i = 0; i < count; ++i) {
        const auto section = m_image->section(i);
        if (!section) {
            finish(savedTimeout, false);
            return;
        }
        // Counts the frames of this write acknowledged after its first one:
        // the master reports progress after each of them, in this thread.
        std::atomic<qint64> laterFramesAcknowledged {0};
        const QMetaObject::Connection counter = connect(
            m_master, &KVPMaster::sigTransferred, m_master,
            [&laterFramesAcknowledged, this](uint) {
                if (QThread::currentThread() == this)
                    ++laterFramesAcknowledged;
            },
            Qt::DirectConnection);
        const bool written = m_master->writeData(
            uint(section->size()), reinterpret_cast<const unsigned char*>(section->data()),
            CommandFirmwareSection, ushort(i));
        disconnect(counter);
        if (written) {
            qCDebug(lcFirmware).nospace() << "Successfully sent sector " << i;
            continue;
        }
        if (i + 1 == count) {
            // A recorder restarts into its new firmware as soon as it has the
            // last frame, so that frame may go unanswered. Only that counts as
            // done: an error status, or a failure before the last frame (a
            // pulled cable), leaves the recorder without its firmware.
            const qint64 frames = framesFor(section->size(), m_master->maximumFrameSize());
            // With two frames, "first frame lost" and "second frame lost"
            // both leave no report; not knowing, the update counts as failed.
            const bool onlyFinalFrameMissing =
                frames == 1 || (frames > 2 && laterFramesAcknowledged == frames - 2);
            if (m_master->isLinkLost() && onlyFinalFrameMissing) {
                qCDebug(lcFirmware).noquote()
                    << "No answer to the last frame; the recorder restarts";
                finish(savedTimeout, true);
                return;
            }
        }
        finish(savedTimeout, false);
        return;
    }
    finish(savedTimeout, true);
}

void FwUpdater::onProgress(uint percent)
{
    if (!m_image || !isRunning())
        return;
    qCDebug(lcFirmware).nospace() << "Progress " << percent;
    const qint64 total = m_image->transmissionSize();
    qCDebug(lcFirmware).nospace() << "TransmissionSize " << total;
    if (total <= 0)
        return;
    qint64 h;
    if (const auto section = m_image->section(m_sectionCounter))
        h = section->size();
    else {
        qCDebug(lcFirmware).noquote() << "Failed..............";
        h = 1;
    }
    // The header block's own progress (when it needs several frames) also
    // moves the counter on, so it runs one section ahead of the transfer.
    emit progress(int((qint64(percent) * h / 100 + m_accountedBytes) * 100 / total));
    if (percent == 100) {
        m_accountedBytes += int(h);
        ++m_sectionCounter;
    }
}
