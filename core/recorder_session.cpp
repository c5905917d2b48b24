#include "recorder_session.h"

#include "ftd2xx.h"
#include "kvpfileops.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "operationslog.h"
#include "recorder_vocabulary.h"

#include <algorithm>
#include <vector>

namespace core {

bool FoundDevice::isRecorder() const
{
    return model == QLatin1String(mzt500::ModelName);
}

QString ListedDevice::name() const
{
    if (!serial.isEmpty())
        return serial;
    return place.isEmpty() ? description : place;
}

QString inUseText(const QList<ListedDevice>& devices)
{
    QStringList names;
    for (const ListedDevice& device : devices)
        names.append(device.name());
    if (names.size() == 1)
        return QStringLiteral("The recorder %1 is in use by another program.").arg(names.first());
    return QStringLiteral("The recorders %1 are in use by other programs.")
        .arg(names.join(QStringLiteral(", ")));
}

QList<FoundDevice> discoverDevices(KVPMaster* master, KVPmPhyUSB* link,
                                   const std::function<bool(const FoundDevice&)>& onFound,
                                   DiscoveryReport* report, const CancelToken* cancel)
{
    QList<FoundDevice> found;
    DiscoveryReport unused;
    if (!report)
        report = &unused;
    *report = {};
    if (!master || !link)
        return found;
    // A failed enumeration yields no table at all: then there is nothing to
    // probe. The table is a hash, hence the sort.
    const QHash<int, QString>* table = link->listDevices();
    QList<int> indices = table ? table->keys() : QList<int>();
    std::sort(indices.begin(), indices.end());
    report->listed = int(indices.size());
    qCDebug(lcOperations) << "Number of devices " << indices.size();
    const std::vector<ListedDevice> entries = deviceList(true);
    report->present = entries;

    int recorderCount = 0;
    for (int index : indices) {
        if (cancelled(cancel))
            break;
        master->stopAndReset();
        link->setDeviceIndex(index);
        master->connectLink();
        if (link->deviceInUse()) {
            qCDebug(lcOperations) << "device" << index << "is in use by another program";
            if (size_t(index) < entries.size())
                report->inUse.append(entries[size_t(index)]);
            continue;
        }

        FoundDevice device;
        if (!master->getDeviceInfo(&device.model, &device.softwareVersion,
                                   &device.hardwareVersion)) {
            qCDebug(lcOperations) << "device" << index << "does not answer";
            continue;
        }
        device.line = int(found.size()) + 1;
        device.deviceIndex = index;
        device.displayName = device.model;
        if (device.isRecorder())
            device.displayName += QStringLiteral(" #%1").arg(++recorderCount);
        if (size_t(index) < entries.size()) {
            device.description = entries[size_t(index)].description;
            device.serial = entries[size_t(index)].serial;
            device.place = entries[size_t(index)].place;
        }
        qCDebug(lcOperations).noquote() << "found" << device.displayName << "software"
                                        << QStringLiteral("%1.%2")
                                               .arg((device.softwareVersion >> 8) & 0xFF)
                                               .arg(device.softwareVersion & 0xFF)
                                        << "hardware"
                                        << QStringLiteral("%1.%2")
                                               .arg((device.hardwareVersion >> 8) & 0xFF)
                                               .arg(device.hardwareVersion & 0xFF);
        found.append(device);
        if (onFound && onFound(device))
            break;
    }
    return found;
}

std::vector<ListedDevice> deviceList(bool listAgain)
{
    // Far more than are ever attached; only used when the list is not made
    // anew, which tells nothing of its length.
    constexpr DWORD longestList = 64;
    std::vector<ListedDevice> devices;
    DWORD count = longestList;
    if (listAgain && (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0))
        return devices;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK)
        return devices;
    for (DWORD i = 0; i < count && i < nodes.size(); ++i) {
        const FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        char place[256] = {};
        if (FT_GetDevicePlace(int(i), place, sizeof place) != FT_OK)
            place[0] = '\0';
        devices.push_back(
            {QString::fromLatin1(node.Description,
                                 qstrnlen(node.Description, sizeof node.Description)),
             QString::fromLatin1(node.SerialNumber,
                                 qstrnlen(node.SerialNumber, sizeof node.SerialNumber)),
             quint32(node.LocId), QString::fromLocal8Bit(place)});
    }
    return devices;
}

void attachLink(KVPMaster* master, KVPmPhyUSB* link)
{
    link->setDeviceIndex(0);
    master->attachLink(link);
    master->setTimeout(mzt500::ReplyTimeoutMs);
}

void connectTo(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex)
{
    if (link->deviceIndex() == deviceIndex && link->isConnected())
        return;
    master->stopAndReset();
    link->setDeviceIndex(deviceIndex);
    master->connectLink();
}

QString lostRecorderReasonOr(const KVPMaster* master, const QString& fallback)
{
    auto* link = master ? qobject_cast<KVPmPhyUSB*>(master->link()) : nullptr;
    // Taken from a background reader, it is then in use by the taker too;
    // the taking is what ended the work.
    if (link && link->deviceInUse() && !link->deviceTaken())
        return QStringLiteral("The recorder is in use by another program.");
    const QString lost = link ? link->lostDeviceReason() : QString();
    return lost.isEmpty() ? fallback : lost;
}

Content readContent(KVPMaster* master)
{
    Content content;
    if (!master
        || !master->getDeviceInfo(&content.model, &content.softwareVersion,
                                  &content.hardwareVersion)) {
        content.result = Result::failure(
            ResultCode::NoAnswer,
            lostRecorderReasonOr(master, QStringLiteral("The recorder does not answer.")));
        return content;
    }
    if (content.model != QLatin1String(mzt500::ModelName)) {
        content.result = Result::failure(ResultCode::WrongModel,
                                         QStringLiteral("The device is a \"%1\", not an %2.")
                                             .arg(content.model, mzt500::ModelName));
        return content;
    }
    if (content.softwareVersion <= mzt500::LastVersionWithoutListing) {
        content.result = Result::failure(ResultCode::CannotList,
                                         QStringLiteral("The recorder's firmware %1.%2 cannot list "
                                                        "its files.")
                                             .arg((content.softwareVersion >> 8) & 0xFF)
                                             .arg(content.softwareVersion & 0xFF));
        return content;
    }
    QByteArray list;
    if (!kvp::readContentList(master, &list, mzt500::ContentListCapacity)) {
        content.result = Result::failure(
            ResultCode::ListFailed, QStringLiteral("The recorder's file list could not be read."));
        return content;
    }
    content.list = list;
    const std::optional<QList<ContentRecord>> decoded =
        decodeContentList(list.constData(), int(list.size()));
    if (!decoded) {
        content.result = Result::failure(ResultCode::DamagedList,
                                         QStringLiteral("The recorder sent a damaged file list."));
        return content;
    }
    content.records = *decoded;
    content.result = Result::success();
    return content;
}

TransferMode enterTransferMode(KVPMaster* master)
{
    switch (master->ensureTransferMode()) {
    case 1:
        return TransferMode::Entered;
    case 3:
        return TransferMode::Busy;
    default:
        return TransferMode::NoAnswer;
    }
}

void switchTransferMode(KVPMaster* master, bool enter)
{
    if (!master)
        return;
    ReplyTimeout quick(master, mzt500::TransferModeSwitchTimeoutMs);
    unsigned char reply[4] = {};
    uint length = 0;
    master->readData(sizeof reply, reply, &length, mzt500::CmdTransferMode,
                     enter ? mzt500::TransferModeEnter : mzt500::TransferModeLeave);
}

ReplyTimeout::ReplyTimeout(KVPMaster* master, int timeoutMs)
    : m_master(master)
    , m_saved(master->getTimeout())
{
    m_master->setTimeout(timeoutMs);
}

ReplyTimeout::~ReplyTimeout()
{
    restore();
}

void ReplyTimeout::restore()
{
    if (m_restored)
        return;
    m_restored = true;
    m_master->setTimeout(m_saved);
}

} // namespace core
