// Dispatches the D2XX-shaped calls to the backends and keeps the device list
// and the set of open devices.
#include "ftd2xx.h"

#include "backend.h"
#include "yield_channel.h"
#include "yielding.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include <QLoggingCategory>

#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcD2xx, "mzt.d2xx")

namespace d2xx {

Wakeup::Wakeup()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

Wakeup::~Wakeup()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void Wakeup::set()
{
    if (m_set.exchange(true, std::memory_order_acq_rel))
        return; // already signalled: the descriptor is readable
    if (m_fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
    }
    std::lock_guard lock(m_notifierLock);
    if (m_notifier)
        m_notifier();
}

bool Wakeup::take()
{
    if (!m_set.exchange(false, std::memory_order_acq_rel))
        return false;
    if (m_fd >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_fd, &count, sizeof count);
    }
    return true;
}

void Wakeup::dropStaleWakeup()
{
    if (m_fd >= 0 && !isSet()) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_fd, &count, sizeof count);
    }
}

void Wakeup::setNotifier(std::function<void()> notifier)
{
    std::lock_guard lock(m_notifierLock);
    m_notifier = std::move(notifier);
}

bool usbScanDisabled()
{
    const char* v = std::getenv("MZT500_NO_HARDWARE");
    return v && *v && std::strcmp(v, "0") != 0;
}

std::vector<ListedDevice> mergeListings(Backend* ftdi, const std::vector<DeviceInfo>& ftdiDevices,
                                        Backend* serial,
                                        const std::vector<DeviceInfo>& serialDevices)
{
    std::vector<ListedDevice> merged;
    std::set<std::pair<int, int>> usbSeen;
    for (const DeviceInfo& d : ftdiDevices) {
        merged.push_back({ftdi, d});
        if (d.usbBus > 0)
            usbSeen.insert({d.usbBus, d.usbAddress});
    }
    for (const DeviceInfo& d : serialDevices) {
        const bool hasUsbIdentity = d.usbBus > 0;
        if (hasUsbIdentity && !usbSeen.count({d.usbBus, d.usbAddress}))
            merged.push_back({serial, d});
    }
    for (const DeviceInfo& d : serialDevices) {
        if (d.usbBus <= 0)
            merged.push_back({serial, d});
    }
    return merged;
}

std::vector<ListedDevice> listAllDevices()
{
    if (Backend* sim = simulatorBackend()) {
        std::vector<ListedDevice> out;
        for (DeviceInfo& d : sim->list())
            out.push_back({sim, std::move(d)});
        return out;
    }
    Backend* ftdi = usbScanDisabled() ? nullptr : ftdiBackend();
    Backend* serial = serialBackend();
    std::vector<DeviceInfo> ftdiDevices = ftdi ? ftdi->list() : std::vector<DeviceInfo> {};
    std::vector<DeviceInfo> serialDevices = serial ? serial->list() : std::vector<DeviceInfo> {};
    return mergeListings(ftdi, ftdiDevices, serial, serialDevices);
}

namespace {

struct Handle {
    Backend* backend;
    std::string key;
    // Shared with the calls running on it, so that an FT_Close racing a
    // read or write on another thread cannot pull the port from under it:
    // the port closes when the last of them returns.
    std::shared_ptr<Port> port;
    // Held yielding: let go (port dropped, taken set) when an ordinary open
    // asks. The listener ends before the handle does.
    bool taken = false;
    std::string name; // serial number, else place, for the taken callback
    std::shared_ptr<ReleaseNotice> releaseNotice;
    std::unique_ptr<YieldListener> yieldListener;
};

struct Registry {
    std::mutex mutex;
    std::vector<ListedDevice> list;
    std::set<Handle*> handles;
};

Registry& registry()
{
    static Registry r;
    return r;
}

// Looks the handle up under the registry lock; the port itself is used
// outside the lock, kept alive by the returned reference. Null when the
// handle is not open (*failure: FT_INVALID_HANDLE) or its device was
// taken by another program (FT_DEVICE_TAKEN).
std::shared_ptr<Port> portOf(FT_HANDLE h, FT_STATUS* failure)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto* handle = static_cast<Handle*>(h);
    if (!handle || !r.handles.count(handle)) {
        *failure = FT_INVALID_HANDLE;
        return nullptr;
    }
    *failure = handle->taken ? FT_DEVICE_TAKEN : FT_INVALID_HANDLE;
    return handle->port;
}

// Runs call on the handle's port: FT_OK when it succeeds, else failed; the
// handle's own failure when it has no port.
template <typename Call> FT_STATUS onPort(FT_HANDLE h, FT_STATUS failed, Call call)
{
    FT_STATUS failure = FT_OK;
    const std::shared_ptr<Port> p = portOf(h, &failure);
    if (!p)
        return failure;
    return call(*p) ? FT_OK : failed;
}

// FT_Read and FT_Write: the checks D2XX makes around the port's own
// transfer, and the count reported never above the one asked for.
template <typename Byte>
FT_STATUS moveBytes(FT_HANDLE h, Byte* buffer, DWORD count, LPDWORD moved,
                    bool (Port::*transfer)(Byte*, std::size_t, std::size_t*))
{
    if (!moved || (!buffer && count))
        return FT_INVALID_PARAMETER;
    std::size_t done = 0;
    const FT_STATUS status =
        onPort(h, FT_IO_ERROR, [&](Port& port) { return (port.*transfer)(buffer, count, &done); });
    *moved = static_cast<DWORD>(std::min<std::size_t>(done, count));
    return status;
}

bool holds(const Handle* h, const ListedDevice& d)
{
    return !h->taken && h->backend == d.backend && h->key == d.info.key;
}

bool isOpen(const Registry& r, const ListedDevice& d)
{
    return std::any_of(r.handles.begin(), r.handles.end(),
                       [&](const Handle* h) { return holds(h, d); });
}

void copyText(char* dest, std::size_t size, const std::string& text)
{
    std::memset(dest, 0, size);
    std::memcpy(dest, text.data(), std::min(text.size(), size - 1));
}

} // namespace
} // namespace d2xx

struct FT_EVENT {
    d2xx::Wakeup wakeup;
    std::mutex lock; // guards the registration
    std::weak_ptr<d2xx::Port> port;
    DWORD mask = 0;
};

using namespace d2xx;

FT_STATUS FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs)
{
    if (!lpdwNumDevs)
        return FT_INVALID_PARAMETER;
    std::vector<ListedDevice> fresh = listAllDevices();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.list = std::move(fresh);
    *lpdwNumDevs = static_cast<DWORD>(r.list.size());
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest, LPDWORD lpdwNumDevs)
{
    if (!pDest || !lpdwNumDevs)
        return FT_INVALID_PARAMETER;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const std::size_t n = std::min<std::size_t>(*lpdwNumDevs, r.list.size());
    for (std::size_t i = 0; i < n; ++i) {
        const ListedDevice& d = r.list[i];
        FT_DEVICE_LIST_INFO_NODE& node = pDest[i];
        node.Flags = d.info.flags | (isOpen(r, d) ? ULONG {FT_FLAGS_OPENED} : ULONG {0});
        node.Type = d.info.type;
        node.ID = d.info.id;
        node.LocId = d.info.locId;
        copyText(node.SerialNumber, sizeof node.SerialNumber, d.info.serial);
        copyText(node.Description, sizeof node.Description, d.info.description);
        node.ftHandle = nullptr;
        for (Handle* h : r.handles)
            if (holds(h, d))
                node.ftHandle = h;
    }
    *lpdwNumDevs = static_cast<DWORD>(n);
    return FT_OK;
}

namespace {

// Lets the device of a yielding handle go: its calls fail from now on, the
// port closes as soon as no call uses it, and then the requester's
// connection closes, which tells it the device is free.
void yieldHandle(Handle* handle, int connection)
{
    Registry& r = registry();
    std::shared_ptr<Port> released;
    std::string name;
    {
        std::lock_guard lock(r.mutex);
        if (!r.handles.count(handle) || handle->taken) {
            ::close(connection);
            return;
        }
        handle->taken = true;
        handle->releaseNotice->hold(connection);
        released = std::move(handle->port);
        name = handle->name;
    }
    released.reset();
    reportTaken(name);
}

FT_STATUS tryOpenListed(const ListedDevice& device, FT_HANDLE* pHandle)
{
    Registry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (isOpen(r, device)) {
            qCDebug(lcD2xx).noquote()
                << QString::fromStdString(device.info.description) << "is already open";
            return FT_DEVICE_IN_USE;
        }
    }
    OpenFailure failure;
    std::unique_ptr<Port> port = device.backend->open(device.info, &failure);
    if (!port) {
        qCWarning(lcD2xx).noquote()
            << "cannot open" << QString::fromStdString(device.info.description) << "through"
            << device.backend->name() << ":" << QString::fromStdString(failure.reason);
        return failure.inUse ? FT_DEVICE_IN_USE : FT_DEVICE_NOT_OPENED;
    }
    auto handle = std::make_unique<Handle>();
    handle->backend = device.backend;
    handle->key = device.info.key;
    if (holdMode() == HoldMode::Yielding) {
        // The requester learns that the device is free when the port is
        // gone, not merely when the handle let go of it: a call running on
        // another thread may still use it for a moment.
        handle->releaseNotice = std::make_shared<ReleaseNotice>();
        handle->port =
            std::shared_ptr<Port>(port.release(), [notice = handle->releaseNotice](Port* p) {
                delete p;
                notice->release();
            });
        handle->name = device.info.serial.empty() ? device.info.place : device.info.serial;
        Handle* raw = handle.get();
        handle->yieldListener =
            YieldListener::start(yieldKey(device.backend, device.info),
                                 [raw](int connection) { yieldHandle(raw, connection); });
    } else {
        handle->port = std::move(port);
    }
    std::lock_guard lock(r.mutex);
    if (isOpen(r, device))
        return FT_DEVICE_IN_USE; // another thread won the race
    *pHandle = handle.get();
    r.handles.insert(handle.release());
    return FT_OK;
}

FT_STATUS openListed(const ListedDevice& device, FT_HANDLE* pHandle)
{
    FT_STATUS status = tryOpenListed(device, pHandle);
    if (status != FT_DEVICE_IN_USE || holdMode() == HoldMode::Yielding)
        return status;
    // Held by a background reader? It lets go when asked; a holder that
    // does not listen is an ordinary one, and the device stays in use.
    const WaitClock::time_point deadline =
        WaitClock::now() + std::chrono::milliseconds(kYieldWaitMs);
    if (!askToYield(yieldKey(device.backend, device.info), deadline))
        return status;
    status = tryOpenListed(device, pHandle);
    // The holder has closed the device; a kernel driver taking it back for
    // a moment (libftdi re-attaches ftdi_sio on close) can still be in the
    // way, so try a few more times within the same wait.
    while (status == FT_DEVICE_IN_USE && WaitClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = tryOpenListed(device, pHandle);
    }
    return status;
}

// The serial number as FT_GetDeviceInfoList shows it.
std::string listedSerial(const DeviceInfo& info)
{
    return info.serial.substr(0, sizeof FT_DEVICE_LIST_INFO_NODE::SerialNumber - 1);
}

} // namespace

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle)
{
    if (!pHandle)
        return FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    Registry& r = registry();
    ListedDevice device;
    {
        std::lock_guard lock(r.mutex);
        if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= r.list.size())
            return FT_DEVICE_NOT_FOUND;
        device = r.list[static_cast<std::size_t>(deviceNumber)];
    }
    if (!device.backend)
        return FT_DEVICE_NOT_FOUND;
    return openListed(device, pHandle);
}

FT_STATUS FT_OpenEx(LPVOID pvArg1, DWORD dwFlags, FT_HANDLE* pHandle)
{
    if (!pHandle)
        return FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    if (!pvArg1 || (dwFlags != FT_OPEN_BY_SERIAL_NUMBER && dwFlags != FT_OPEN_BY_PLACE))
        return FT_INVALID_PARAMETER;
    const std::string name(static_cast<const char*>(pvArg1));
    if (name.empty())
        return FT_DEVICE_NOT_FOUND;
    const std::vector<ListedDevice> present = listAllDevices();
    const ListedDevice* match = nullptr;
    for (const ListedDevice& d : present) {
        const std::string& field =
            dwFlags == FT_OPEN_BY_SERIAL_NUMBER ? listedSerial(d.info) : d.info.place;
        if (!d.backend || field != name)
            continue;
        if (match) {
            // Two devices answer to the name: opening either could reach
            // the wrong one.
            qCWarning(lcD2xx).noquote()
                << "more than one device is" << QString::fromStdString(name);
            return FT_OTHER_ERROR;
        }
        match = &d;
    }
    if (!match)
        return FT_DEVICE_NOT_FOUND;
    return openListed(*match, pHandle);
}

FT_STATUS FT_GetDevicePlace(int deviceNumber, char* place, DWORD size)
{
    if (!place || size == 0)
        return FT_INVALID_PARAMETER;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= r.list.size())
        return FT_DEVICE_NOT_FOUND;
    const std::string& text = r.list[static_cast<std::size_t>(deviceNumber)].info.place;
    if (text.size() >= size)
        return FT_INSUFFICIENT_RESOURCES;
    copyText(place, size, text);
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    Registry& r = registry();
    std::unique_ptr<Handle> handle;
    {
        std::lock_guard lock(r.mutex);
        auto* h = static_cast<Handle*>(ftHandle);
        if (!h || !r.handles.erase(h))
            return FT_INVALID_HANDLE;
        handle.reset(h);
    }
    return FT_OK; // the port closes once no call on another thread uses it
}

FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle)
{
    return onPort(ftHandle, FT_IO_ERROR, [&](Port& port) { return port.reset(); });
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG baudRate)
{
    return onPort(ftHandle, FT_INVALID_BAUD_RATE,
                  [&](Port& port) { return port.setBaudRate(baudRate); });
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR wordLength, UCHAR stopBits,
                                    UCHAR parity)
{
    return onPort(ftHandle, FT_IO_ERROR, [&](Port& port) {
        return port.setDataCharacteristics(wordLength, stopBits, parity);
    });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG readTimeoutMs, ULONG writeTimeoutMs)
{
    return onPort(ftHandle, FT_IO_ERROR,
                  [&](Port& port) { return port.setTimeouts(readTimeoutMs, writeTimeoutMs); });
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                   LPDWORD lpdwBytesWritten)
{
    return moveBytes(ftHandle, static_cast<const std::uint8_t*>(lpBuffer), dwBytesToWrite,
                     lpdwBytesWritten, &Port::write);
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                  LPDWORD lpdwBytesReturned)
{
    return moveBytes(ftHandle, static_cast<std::uint8_t*>(lpBuffer), dwBytesToRead,
                     lpdwBytesReturned, &Port::read);
}

FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, LPDWORD lpdwAmountInRxQueue, LPDWORD lpdwAmountInTxQueue,
                       LPDWORD lpdwEventStatus)
{
    std::uint32_t rx = 0;
    const FT_STATUS status =
        onPort(ftHandle, FT_IO_ERROR, [&](Port& port) { return port.status(&rx); });
    if (status != FT_OK)
        return status;
    if (lpdwAmountInRxQueue)
        *lpdwAmountInRxQueue = rx;
    if (lpdwAmountInTxQueue)
        *lpdwAmountInTxQueue = 0;
    if (lpdwEventStatus)
        *lpdwEventStatus = 0;
    return FT_OK;
}

FT_EVENT_HANDLE FT_CreateEvent()
{
    return new FT_EVENT;
}

void FT_DestroyEvent(FT_EVENT_HANDLE event)
{
    delete event;
}

FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, DWORD dwEventMask, FT_EVENT_HANDLE event)
{
    if (!event)
        return FT_INVALID_PARAMETER;
    std::shared_ptr<Port> p;
    if (dwEventMask) {
        FT_STATUS failure = FT_OK;
        p = portOf(ftHandle, &failure);
        if (!p)
            return failure;
    }
    std::lock_guard lock(event->lock);
    event->port = p;
    event->mask = p ? (dwEventMask & FT_EVENT_RXCHAR) : 0;
    return FT_OK;
}

void FT_SetEvent(FT_EVENT_HANDLE event)
{
    if (event)
        event->wakeup.set();
}

FT_STATUS FT_WaitEvent(FT_EVENT_HANDLE event, DWORD dwTimeoutMs, LPDWORD lpdwEvents)
{
    if (!event || !lpdwEvents)
        return FT_INVALID_PARAMETER;
    *lpdwEvents = 0;
    const WaitClock::time_point deadline =
        WaitClock::now() + std::chrono::milliseconds(dwTimeoutMs);
    std::shared_ptr<Port> p;
    DWORD mask = 0;
    bool registered = false;
    {
        std::lock_guard lock(event->lock);
        mask = event->mask;
        registered = mask != 0;
        p = event->port.lock();
    }
    if (registered && !p)
        return FT_DEVICE_NOT_OPENED; // closed under the registration
    bool readable = false;
    bool ok = true;
    if (p && (mask & FT_EVENT_RXCHAR)) {
        ok = p->waitForInput(deadline, event->wakeup, &readable);
    } else if (!event->wakeup.isSet()) {
        // Nothing to watch but the signal itself.
        std::mutex m;
        std::condition_variable cv;
        bool woken = false;
        event->wakeup.setNotifier([&] {
            std::lock_guard lock(m);
            woken = true;
            cv.notify_all();
        });
        {
            std::unique_lock lock(m);
            cv.wait_until(lock, deadline, [&] { return woken || event->wakeup.isSet(); });
        }
        event->wakeup.setNotifier({});
    }
    if (event->wakeup.take())
        *lpdwEvents |= FT_EVENT_SIGNALLED;
    if (readable)
        *lpdwEvents |= FT_EVENT_RXCHAR;
    return ok ? FT_OK : FT_IO_ERROR;
}
