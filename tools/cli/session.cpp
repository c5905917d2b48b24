#include "session.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_vocabulary.h"

#include <QtEndian>

namespace cli {

const QString RecorderSession::Model = QLatin1String(mzt500::ModelName);

RecorderSession::RecorderSession()
{
    m_master = new KVPMaster;
    m_link = new KVPmPhyUSB;
    core::attachLink(m_master, m_link);
}

RecorderSession::~RecorderSession()
{
    // Stopping the master also stops the link's reader.
    m_master->stopAndReset();
    delete m_master;
    delete m_link;
}

QList<RecorderInfo> RecorderSession::discover(
    const std::function<bool(const RecorderInfo&)>& enough, core::DiscoveryReport* report)
{
    return core::discoverDevices(m_master, m_link, enough, report);
}

void RecorderSession::connectTo(const RecorderInfo& recorder)
{
    core::connectTo(m_master, m_link, recorder.deviceIndex);
}

core::TransferMode RecorderSession::ensureTransferMode()
{
    return core::enterTransferMode(m_master);
}

bool RecorderSession::inTransferMode()
{
    unsigned char reply[4] = {};
    uint length = 0;
    return m_master->readData(sizeof reply, reply, &length, mzt500::CmdTransferMode,
                              mzt500::TransferModeQuery)
        && length == sizeof reply && qFromLittleEndian<quint32>(reply) == mzt500::TransferModeOn;
}

void RecorderSession::leaveTransferMode()
{
    core::switchTransferMode(m_master, false);
}

bool RecorderSession::readContent(QList<ContentRecord>* records, QString* reason)
{
    const core::Content content = core::readContent(m_master);
    *records = content.records;
    if (content.result.ok())
        return true;
    *reason = content.result.reason;
    if (content.result.code == core::ResultCode::CannotList) {
        reason->chop(1);
        reason->append(QStringLiteral("; update it first (mzt500-cli update-firmware)."));
    }
    return false;
}

} // namespace cli
