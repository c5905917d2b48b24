#include "session.h"

#include "clilog.h"
#include "ftd2xx.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"

#include <algorithm>
#include <vector>

namespace cli {
namespace {

// As in the window: long enough for a recorder that takes its time to
// identify itself, short enough that a silent device does not hold things up.
constexpr int ReplyTimeoutMs = 1000;
// Entering and leaving transfer mode are answered at once or not at all.
constexpr int TransferModeSwitchTimeoutMs = 100;

constexpr unsigned char CmdContentList = 16;
constexpr unsigned char CmdTransferMode = 18;
constexpr ushort LeaveTransferMode = 2;
constexpr uint ContentListCapacity = 2048;
// Firmware 1.1 and older cannot list its content.
constexpr uint LastVersionWithoutListing = 0x0101;

struct ListEntry {
    QString description;
    QString serial;
};

// Description and serial of every listed device, by D2XX list position.
std::vector<ListEntry> deviceListEntries()
{
    std::vector<ListEntry> entries;
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0)
        return entries;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK)
        return entries;
    for (DWORD i = 0; i < count && i < nodes.size(); ++i)
        entries.push_back({QString::fromLatin1(nodes[i].Description),
                           QString::fromLatin1(nodes[i].SerialNumber)});
    return entries;
}

QString versionText(uint version)
{
    return QStringLiteral("%1.%2").arg((version >> 8) & 0xFF).arg(version & 0xFF);
}

} // namespace

const QString RecorderSession::Model = QStringLiteral("MZT-500");

RecorderSession::RecorderSession()
{
    m_master = new KVPMaster;
    m_link = new KVPmPhyUSB;
    m_link->setDeviceIndex(0);
    m_master->attachLink(m_link);
    m_master->setTimeout(ReplyTimeoutMs);
}

RecorderSession::~RecorderSession()
{
    // Stopping the master also stops the link's reader.
    m_master->stopAndReset();
    delete m_master;
    delete m_link;
}

QList<RecorderInfo> RecorderSession::discover(
    const std::function<bool(const RecorderInfo&)>& enough, int* listed)
{
    QList<RecorderInfo> found;
    const QHash<int, QString>* table = m_link->listDevices();
    QList<int> indices = table ? table->keys() : QList<int>();
    // The table is a hash: probing in list order keeps the numbering of
    // identical recorders the same from run to run.
    std::sort(indices.begin(), indices.end());
    if (listed)
        *listed = int(indices.size());
    qCDebug(lcCli) << "Number of devices " << indices.size();
    const std::vector<ListEntry> entries = deviceListEntries();

    int modelCount = 0;
    for (int index : indices) {
        m_master->stopAndReset();
        m_link->setDeviceIndex(index);
        m_master->connectLink();

        RecorderInfo info;
        if (!m_master->getDeviceInfo(&info.model, &info.softwareVersion, &info.hardwareVersion)) {
            qCDebug(lcCli) << "device" << index << "does not answer";
            continue;
        }
        info.line = int(found.size()) + 1;
        info.deviceIndex = index;
        info.displayName = info.model;
        if (info.model == Model)
            info.displayName += QStringLiteral(" #%1").arg(++modelCount);
        if (size_t(index) < entries.size()) {
            info.description = entries[size_t(index)].description;
            info.serial = entries[size_t(index)].serial;
        }
        qCDebug(lcCli).noquote() << "found" << info.displayName << "software"
                                 << versionText(info.softwareVersion) << "hardware"
                                 << versionText(info.hardwareVersion);
        found.append(info);
        if (enough && enough(info))
            break;
    }
    return found;
}

void RecorderSession::connectTo(const RecorderInfo& recorder)
{
    if (m_link->deviceIndex() == recorder.deviceIndex && m_link->isConnected())
        return;
    m_master->stopAndReset();
    m_link->setDeviceIndex(recorder.deviceIndex);
    m_master->connectLink();
}

int RecorderSession::ensureTransferMode()
{
    return m_master->ensureTransferMode();
}

void RecorderSession::leaveTransferMode()
{
    ReplyTimeout quick(m_master, TransferModeSwitchTimeoutMs);
    unsigned char reply[4];
    uint length = 0;
    m_master->readData(sizeof reply, reply, &length, CmdTransferMode, LeaveTransferMode);
}

bool RecorderSession::readContent(QList<ContentRecord>* records, QString* reason)
{
    records->clear();
    QString model;
    uint softwareVersion = 0;
    uint hardwareVersion = 0;
    if (!m_master->getDeviceInfo(&model, &softwareVersion, &hardwareVersion)) {
        *reason = QStringLiteral("The recorder does not answer.");
        return false;
    }
    if (model != Model) {
        *reason = QStringLiteral("The device is a \"%1\", not an %2.").arg(model, Model);
        return false;
    }
    if (softwareVersion <= LastVersionWithoutListing) {
        *reason = QStringLiteral("The recorder's firmware %1 cannot list its files; "
                                 "update it first (mzt500-cli update-firmware).")
                      .arg(versionText(softwareVersion));
        return false;
    }
    QByteArray list(ContentListCapacity, '\0');
    uint length = 0;
    if (!m_master->readData(ContentListCapacity, reinterpret_cast<unsigned char*>(list.data()),
                            &length, CmdContentList, 0)) {
        *reason = QStringLiteral("The recorder's file list could not be read.");
        return false;
    }
    const std::optional<QList<ContentRecord>> decoded =
        decodeContentList(list.constData(), int(length));
    if (!decoded) {
        *reason = QStringLiteral("The recorder sent a damaged file list.");
        return false;
    }
    *records = *decoded;
    return true;
}

ReplyTimeout::ReplyTimeout(KVPMaster* master, int ms)
    : m_master(master)
    , m_saved(master->getTimeout())
{
    m_master->setTimeout(ms);
}

ReplyTimeout::~ReplyTimeout()
{
    m_master->setTimeout(m_saved);
}

} // namespace cli
