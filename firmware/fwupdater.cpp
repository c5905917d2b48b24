#include "fwupdater.h"

#include "firmware_transfer.h"
#include "firmwarelog.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "updateimage.h"

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

void FwUpdater::run()
{
    m_accountedBytes = 0;
    m_sectionCounter = 0;
    setFailureReason({});
    if (!m_master || !m_link || !m_image || m_deviceIndex == -1) {
        setFailureReason(QStringLiteral("There is no recorder or no update image."));
        emit failed();
        return;
    }
    // The caller may start the next operation as soon as it hears the
    // outcome: the transfer has set the usual time-out back by then.
    const core::Result result = core::sendFirmware(m_master, m_link, m_deviceIndex, *m_image);
    if (!result.ok()) {
        qCDebug(lcFirmware).noquote() << result.reason;
        setFailureReason(result.reason);
        emit failed();
        return;
    }
    // The running bookkeeping cannot reach 100 (the header block is in the
    // total but never accounted); a completed update says so.
    emit progress(100);
    emit success();
}

QString FwUpdater::failureReason() const
{
    std::lock_guard lock(m_reasonLock);
    return m_failureReason;
}

void FwUpdater::setFailureReason(const QString& reason)
{
    std::lock_guard lock(m_reasonLock);
    m_failureReason = reason;
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
