#include "kvpmphyusb.h"

#include "linklog.h"
#include "recorder_vocabulary.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr char RecorderDescription[] = "KORVANT KVP-DEV";
constexpr char DongleDescription[] = "KORVANT KVP-DGL";
static_assert(sizeof RecorderDescription == 16 && sizeof DongleDescription == 16);

// The first 16 bytes include the terminating zero, so the description must
// be exactly that text.
bool describes(const FT_DEVICE_LIST_INFO_NODE& node, const char (&text)[16])
{
    return std::memcmp(node.Description, text, sizeof text) == 0;
}

bool isRecorderOrDongle(const FT_DEVICE_LIST_INFO_NODE& node)
{
    return describes(node, RecorderDescription) || describes(node, DongleDescription);
}

QByteArray serialOf(const FT_DEVICE_LIST_INFO_NODE& node)
{
    return QByteArray(node.SerialNumber, qstrnlen(node.SerialNumber, sizeof node.SerialNumber));
}

struct DeviceList {
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    bool ok = false;
};

DeviceList readDeviceList()
{
    DeviceList list;
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK)
        return list;
    try {
        list.nodes.resize(count);
    } catch (const std::bad_alloc&) {
        return list;
    }
    if (count) {
        DWORD copied = count;
        if (FT_GetDeviceInfoList(list.nodes.data(), &copied) != FT_OK)
            return list;
        list.nodes.resize(copied);
    }
    list.ok = true;
    return list;
}

} // namespace

KVPmPhyUSB::KVPmPhyUSB(QObject* parent)
    : KVPmPhy(parent)
    , m_readerEvent(FT_CreateEvent())
{
}

KVPmPhyUSB::~KVPmPhyUSB()
{
    disconnectDevice();
    FT_DestroyEvent(m_readerEvent);
}

void KVPmPhyUSB::setLastError(const char* text)
{
    // Once the chosen device is known to be gone, that is the reason for
    // whatever fails after, until a device is opened or chosen again.
    if (m_deviceLost.load(std::memory_order_acquire))
        return;
    setLastErrorText(QCoreApplication::translate("KVPmPhyUSB", text));
}

void KVPmPhyUSB::setLastErrorText(QString text)
{
    // The text is written by the reader and master threads and read by
    // others; no thread keeps a shared reference to another's string data.
    std::lock_guard lock(m_errorLock);
    m_lastError = std::move(text);
}

QString KVPmPhyUSB::lastError() const
{
    std::lock_guard lock(m_errorLock);
    return QString(m_lastError.constData(), m_lastError.size());
}

QHash<int, QString>* KVPmPhyUSB::listDevices()
{
    std::lock_guard lock(m_control);
    m_devices.clear();
    m_identities.clear();
    const DeviceList list = readDeviceList();
    if (!list.ok) {
        setLastError(QT_TR_NOOP("Failed to list devices."));
        return nullptr;
    }
    if (list.nodes.empty()) {
        setLastError(QT_TR_NOOP("No device found."));
        return &m_devices;
    }
    int counter = 0;
    for (int i = 0; i < static_cast<int>(list.nodes.size()); ++i) {
        const FT_DEVICE_LIST_INFO_NODE& node = list.nodes[static_cast<std::size_t>(i)];
        if (describes(node, RecorderDescription))
            m_devices.insert(i, QStringLiteral("USB Device %1").arg(++counter));
        else if (describes(node, DongleDescription))
            m_devices.insert(i, QStringLiteral("USB Dongle %1").arg(++counter));
        else
            continue;
        m_identities.insert(i, identityAt(list.nodes, i));
    }
    return &m_devices;
}

DeviceIdentity KVPmPhyUSB::identityAt(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes,
                                      int position)
{
    DeviceIdentity identity;
    const QByteArray serial = serialOf(nodes[static_cast<std::size_t>(position)]);
    const auto sharing = std::count_if(nodes.begin(), nodes.end(),
                                       [&](const auto& node) { return serialOf(node) == serial; });
    if (!serial.isEmpty() && sharing == 1) {
        identity.serial = serial;
        return identity;
    }
    // Without a serial number of its own the device is known by its socket.
    char place[256] = {};
    if (FT_GetDevicePlace(position, place, sizeof place) == FT_OK)
        identity.place = place;
    return identity;
}

void KVPmPhyUSB::setDeviceIndex(int index)
{
    std::lock_guard lock(m_control);
    m_deviceIndex.store(index, std::memory_order_release);
    // A position the last listing gave is that device, wherever it is now.
    m_chosen = m_identities.value(index);
    m_deviceLost.store(false, std::memory_order_release);
    m_deviceTaken.store(false, std::memory_order_release);
}

QString KVPmPhyUSB::lostDeviceReason()
{
    std::lock_guard lock(m_control);
    // An exchange that failed on a vanished device left nothing to go by:
    // look for the device now.
    if (!m_deviceLost.load(std::memory_order_acquire) && m_chosen.isKnown() && !isListed(m_chosen))
        markLost(m_chosen);
    if (!m_deviceLost.load(std::memory_order_acquire))
        return QString();
    std::lock_guard errorLock(m_errorLock);
    return QString(m_lostReason.constData(), m_lostReason.size());
}

bool KVPmPhyUSB::isListed(const DeviceIdentity& identity)
{
    const DeviceList list = readDeviceList();
    if (!list.ok)
        return true; // nothing known
    for (int i = 0; i < static_cast<int>(list.nodes.size()); ++i) {
        char place[256] = {};
        if (identity.serial.isEmpty()
                ? FT_GetDevicePlace(i, place, sizeof place) == FT_OK && identity.place == place
                : serialOf(list.nodes[static_cast<std::size_t>(i)]) == identity.serial)
            return true;
    }
    return false;
}

void KVPmPhyUSB::markLost(const DeviceIdentity& identity)
{
    const QString reason = identity.serial.isEmpty()
        ? QCoreApplication::translate("KVPmPhyUSB", "The recorder at %1 is no longer connected.")
              .arg(QString::fromLatin1(identity.place))
        : QCoreApplication::translate("KVPmPhyUSB", "The recorder %1 is no longer connected.")
              .arg(QString::fromLatin1(identity.serial));
    {
        std::lock_guard lock(m_errorLock);
        m_lostReason = reason;
    }
    if (!m_deviceLost.exchange(true, std::memory_order_acq_rel))
        qCWarning(lcLink).noquote() << reason;
    setLastErrorText(reason);
}

void KVPmPhyUSB::noteFailure(FT_STATUS status)
{
    if (status != FT_DEVICE_TAKEN)
        return;
    const QString reason =
        QCoreApplication::translate("KVPmPhyUSB", "The recorder was taken by another program.");
    {
        std::lock_guard lock(m_errorLock);
        m_lostReason = reason;
    }
    m_connected.store(false, std::memory_order_release);
    if (!m_deviceTaken.exchange(true, std::memory_order_acq_rel))
        qCInfo(lcLink).noquote() << reason;
    m_deviceLost.store(true, std::memory_order_release);
    setLastErrorText(reason);
}

bool KVPmPhyUSB::connectDevice()
{
    std::lock_guard lock(m_control);
    return connectLocked();
}

bool KVPmPhyUSB::connectLocked()
{
    m_deviceInUse.store(false, std::memory_order_release);
    int position = -1;
    if (!m_chosen.isKnown()) {
        // Chosen by position alone: the device there now, from now on known
        // by its identity. The table of the last listing stays as it is:
        // its positions name the devices it listed.
        const DeviceList list = readDeviceList();
        if (!list.ok) {
            setLastError(QT_TR_NOOP("Failed to list devices."));
            return false;
        }
        const auto first = std::find_if(list.nodes.begin(), list.nodes.end(), isRecorderOrDongle);
        if (first == list.nodes.end()) {
            setLastError(QT_TR_NOOP("No device found."));
            return false;
        }
        const int index = m_deviceIndex.load(std::memory_order_acquire);
        if (index == -1)
            position = static_cast<int>(first - list.nodes.begin());
        else if (index >= 0 && static_cast<std::size_t>(index) < list.nodes.size()
                 && isRecorderOrDongle(list.nodes[static_cast<std::size_t>(index)]))
            position = index;
        if (position >= 0)
            m_chosen = identityAt(list.nodes, position);
    }
    const bool chosen = m_chosen.isKnown() || position >= 0;

    if (m_open.load(std::memory_order_acquire)) {
        // A handle is held. Reopening the device it belongs to would fail
        // (it is open) and leak the handle; a different device must not be
        // opened while the reader still reads from the old one.
        const bool same = chosen && m_chosen.isKnown() && m_opened == m_chosen
            && m_connected.load(std::memory_order_acquire) && handleStillListed();
        if (!same) {
            stopReader();
            closeHandle();
            if (chosen)
                openAndConfigure(m_chosen, position);
        }
    } else if (chosen) {
        openAndConfigure(m_chosen, position);
    }

    if (!isRunning()) {
        m_stopRequest.store(false, std::memory_order_release);
        start(QThread::InheritPriority);
    }
    return m_connected.load(std::memory_order_acquire);
}

bool KVPmPhyUSB::handleStillListed()
{
    const DeviceList list = readDeviceList();
    const FT_HANDLE handle = m_handle.load(std::memory_order_acquire);
    return list.ok && std::any_of(list.nodes.begin(), list.nodes.end(), [handle](const auto& node) {
               return node.ftHandle == handle;
           });
}

FT_STATUS KVPmPhyUSB::openHandle(const DeviceIdentity& identity, int position, FT_HANDLE* handle)
{
    // By identity, so that a device that moved up the list after another
    // one was unplugged is still the one reached, and never its successor
    // at the old position.
    if (!identity.serial.isEmpty())
        return FT_OpenEx(const_cast<char*>(identity.serial.constData()), FT_OPEN_BY_SERIAL_NUMBER,
                         handle);
    if (!identity.place.isEmpty())
        return FT_OpenEx(const_cast<char*>(identity.place.constData()), FT_OPEN_BY_PLACE, handle);
    return FT_Open(position, handle);
}

bool KVPmPhyUSB::openAndConfigure(const DeviceIdentity& identity, int position)
{
    m_open.store(false, std::memory_order_release);
    m_connected.store(false, std::memory_order_release);
    FT_HANDLE handle = nullptr;
    const FT_STATUS opened = openHandle(identity, position, &handle);
    if (opened == FT_DEVICE_NOT_FOUND && identity.isKnown()) {
        markLost(identity);
        return false;
    }
    if (opened == FT_DEVICE_IN_USE) {
        m_deviceInUse.store(true, std::memory_order_release);
        setLastError(QT_TR_NOOP("The recorder is in use by another program."));
        return false;
    }
    if (opened != FT_OK) {
        setLastError(QT_TR_NOOP("Failed to open connection"));
        return false;
    }
    m_deviceLost.store(false, std::memory_order_release);
    m_deviceTaken.store(false, std::memory_order_release);
    m_opened = identity;
    m_handle.store(handle, std::memory_order_release);
    m_open.store(true, std::memory_order_release);
    if (FT_ResetDevice(handle) != FT_OK) {
        setLastError(QT_TR_NOOP("Failed to reset the device"));
        return false;
    }
    if (FT_SetBaudRate(handle, BaudRate) != FT_OK) {
        setLastError(QT_TR_NOOP("Failed to configure the baudrate"));
        return false;
    }
    if (FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE) != FT_OK) {
        setLastError(QT_TR_NOOP("Datagram configuration failed"));
        return false;
    }
    if (FT_SetTimeouts(handle, mzt500::LineReadTimeoutMs, mzt500::LineWriteTimeoutMs) != FT_OK) {
        setLastError(QT_TR_NOOP("Failed to configure timeouts"));
        return false;
    }
    m_connected.store(true, std::memory_order_release);
    return true;
}

void KVPmPhyUSB::stopReader()
{
    if (QThread::currentThread() == this || !isRunning())
        return;
    m_stopRequest.store(true, std::memory_order_release);
    FT_SetEvent(m_readerEvent);
    wait();
    // The reader clears the request as the last thing it does; reading it
    // cleared orders all its reads before the handle is closed, also for
    // tools that cannot see inside QThread::wait().
    [[maybe_unused]] const bool stillAsked = m_stopRequest.load(std::memory_order_acquire);
    m_stopRequest.store(false, std::memory_order_release);
}

void KVPmPhyUSB::closeHandle()
{
    if (m_open.exchange(false, std::memory_order_acq_rel))
        FT_Close(m_handle.exchange(nullptr, std::memory_order_acq_rel));
    m_connected.store(false, std::memory_order_release);
}

bool KVPmPhyUSB::disconnectDevice()
{
    std::lock_guard lock(m_control);
    stopReader();
    closeHandle();
    return true;
}

bool KVPmPhyUSB::send(ushort length, const void* data)
{
    if (sendBlock(length, data)) {
        // A reply may follow: the reader starts watching for it.
        FT_SetEvent(m_readerEvent);
        return true;
    }
    // Fail the waiting transaction now rather than after its time-out.
    if (LinkListener* m = master())
        m->cancel();
    return false;
}

bool KVPmPhyUSB::sendBlock(ushort length, const void* data)
{
    std::lock_guard lock(m_control);
    if (!m_connected.load(std::memory_order_acquire)) {
        QThread::usleep(100);
        connectLocked();
        if (!m_connected.load(std::memory_order_acquire)) {
            setLastError(QT_TR_NOOP("Trying to send data, while device is not connected"));
            return false;
        }
    }
    DWORD written = 0;
    noteFailure(FT_Write(m_handle.load(std::memory_order_acquire), const_cast<void*>(data), length,
                         &written));
    if (written != length) {
        setLastError(QT_TR_NOOP("Time out during write operation"));
        return false;
    }
    return true;
}

bool KVPmPhyUSB::receive(void* buffer, ulong length)
{
    if (!m_connected.load(std::memory_order_acquire)) {
        setLastError(QT_TR_NOOP("Trying to read from device, while device is not connected"));
        return false;
    }
    DWORD got = 0;
    const FT_STATUS read =
        FT_Read(m_handle.load(std::memory_order_acquire), buffer, static_cast<DWORD>(length), &got);
    if (read != FT_OK) {
        noteFailure(read);
        setLastError(QT_TR_NOOP("Failed to read from device"));
        return false;
    }
    if (got != length) {
        setLastError(QT_TR_NOOP("Read operation has timed out"));
        return false;
    }
    return true;
}

bool KVPmPhyUSB::checkStatus()
{
    if (!m_connected.load(std::memory_order_acquire))
        return false;
    DWORD rx = 0, tx = 0, events = 0;
    const FT_STATUS status =
        FT_GetStatus(m_handle.load(std::memory_order_acquire), &rx, &tx, &events);
    if (status != FT_OK) {
        noteFailure(status);
        m_connected.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

bool KVPmPhyUSB::receiveAvailable(LinkListener* master)
{
    DWORD queued = 0, tx = 0, events = 0;
    if (FT_GetStatus(m_handle.load(std::memory_order_acquire), &queued, &tx, &events) != FT_OK)
        return false;
    // The receiver's own buffer is the most a reply can need at once.
    unsigned char bytes[4096];
    const ulong length = std::clamp<ulong>(queued, 1, sizeof bytes);
    if (!receive(bytes, length))
        return false;
    master->feedBytes(bytes, length);
    return true;
}

void KVPmPhyUSB::run()
{
    // Bytes are watched for only while the master awaits a reply: what
    // arrives otherwise stays in the receive queue for the next exchange.
    FT_HANDLE watched = nullptr;
    for (;;) {
        if (m_stopRequest.load(std::memory_order_acquire)) {
            FT_SetEventNotification(watched, 0, m_readerEvent);
            m_stopRequest.store(false, std::memory_order_release);
            return;
        }
        LinkListener* m = master();
        DWORD events = 0;
        if (!m || !m->isBusy()) {
            if (watched) {
                FT_SetEventNotification(watched, 0, m_readerEvent);
                watched = nullptr;
            }
            FT_WaitEvent(m_readerEvent, IdleWaitMs, &events);
            continue;
        }
        if (!m_connected.load(std::memory_order_acquire)) {
            setLastError(QT_TR_NOOP("Trying to read from device, while device is not connected"));
            m->cancel();
            continue;
        }
        const FT_HANDLE handle = m_handle.load(std::memory_order_acquire);
        if (watched != handle) {
            if (FT_SetEventNotification(handle, FT_EVENT_RXCHAR, m_readerEvent) == FT_OK)
                watched = handle;
        }
        const FT_STATUS status = FT_WaitEvent(m_readerEvent, mzt500::LineReadTimeoutMs, &events);
        if (status == FT_OK && (events & FT_EVENT_RXCHAR)) {
            if (receiveAvailable(m))
                continue;
        } else if (status == FT_OK) {
            if (events & FT_EVENT_SIGNALLED)
                continue; // a frame went out or a stop: look again
            // Nothing within the read time-out: normal unless the device went.
            setLastError(QT_TR_NOOP("Read operation has timed out"));
        } else {
            setLastError(QT_TR_NOOP("Failed to read from device"));
        }
        if (!checkStatus())
            m->cancel();
    }
}
