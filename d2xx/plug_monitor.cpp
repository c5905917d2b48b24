#include "plug_monitor.h"

#include "backend.h"
#include "ftd2xx.h"
#include "hw_common.h"

#include "simulator.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace d2xx {

namespace {

// What a path watch reacts to in the watched folder.
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// udev names the product as "vendor/product/release" in hexadecimal
// without leading zeros, on removal too (when sysfs is already gone).
bool isFtdiUsbProduct(const char* product)
{
    if (!product)
        return false;
    char* end = nullptr;
    const unsigned long vendor = std::strtoul(product, &end, 16);
    if (!end || *end != '/')
        return false;
    const unsigned long id = std::strtoul(end + 1, &end, 16);
    return vendor == hw::kFtdiVendor && id <= 0xFFFF
        && hw::isFtdiProduct(static_cast<std::uint16_t>(id));
}

bool isUsbSerialPort(udev_device* device)
{
    const char* name = udev_device_get_sysname(device);
    if (name && std::string_view(name).starts_with("ttyUSB"))
        return true;
    const char* bus = udev_device_get_property_value(device, "ID_BUS");
    return bus && std::string_view(bus) == "usb";
}

} // namespace

struct PlugMonitor::Watches {
    udev* udevContext = nullptr;
    udev_monitor* udevMonitor = nullptr;
    std::unique_ptr<QSocketNotifier> udevNotifier;

    int inotifyFd = -1;
    std::unique_ptr<QSocketNotifier> inotifyNotifier;
    // Per watched folder, the names in it whose coming and going counts.
    std::map<int, std::set<std::string>> namesByWatch;
    std::vector<std::string> paths;

    int simListener = 0;
    QTimer settle;

    ~Watches()
    {
        if (simListener)
            sim::Bus::instance().removePresenceListener(simListener);
        udevNotifier.reset();
        if (udevMonitor)
            udev_monitor_unref(udevMonitor);
        if (udevContext)
            udev_unref(udevContext);
        inotifyNotifier.reset();
        if (inotifyFd >= 0)
            ::close(inotifyFd);
    }
};

PlugMonitor::PlugMonitor(QObject* parent)
    : QObject(parent)
{
}

PlugMonitor::~PlugMonitor() = default;

bool PlugMonitor::isRunning() const
{
    return m_watches != nullptr;
}

void PlugMonitor::stop()
{
    m_watches.reset();
}

void PlugMonitor::start()
{
    stop();
    m_watches = std::make_unique<Watches>();
    Watches& w = *m_watches;
    w.settle.setSingleShot(true);
    w.settle.setInterval(kSettleMs);
    connect(&w.settle, &QTimer::timeout, this, &PlugMonitor::devicesChanged);

    // Simulated devices are plugged and unplugged from any thread: the
    // listener only posts (an event Qt drops if the monitor is gone by
    // then), and its removal in stop() waits for a running call.
    w.simListener = sim::Bus::instance().addPresenceListener(
        [this] { QMetaObject::invokeMethod(this, &PlugMonitor::noteEvent, Qt::QueuedConnection); });

    const bool simulating = simulatorBackend() != nullptr;
    if (!simulating && !usbScanDisabled()) {
        w.udevContext = udev_new();
        if (w.udevContext)
            w.udevMonitor = udev_monitor_new_from_netlink(w.udevContext, "udev");
        if (w.udevMonitor) {
            udev_monitor_filter_add_match_subsystem_devtype(w.udevMonitor, "usb", "usb_device");
            udev_monitor_filter_add_match_subsystem_devtype(w.udevMonitor, "tty", nullptr);
        }
        if (w.udevMonitor && udev_monitor_enable_receiving(w.udevMonitor) >= 0) {
            w.udevNotifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(w.udevMonitor),
                                                               QSocketNotifier::Read);
            connect(w.udevNotifier.get(), &QSocketNotifier::activated, this,
                    &PlugMonitor::readUdev);
        } else {
            qCWarning(lcD2xx) << "no udev monitor: USB devices plugged in are listed only when"
                                 " asked for";
        }
    }

    if (simulating) {
        w.paths = sim::Bus::instance().presenceWatchPaths();
    } else {
        const char* named = std::getenv("MZT500_PORTS");
        for (const hw::NamedPort& p : hw::parsePortsVariable(named ? named : ""))
            w.paths.push_back(p.path);
    }
    w.inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.inotifyFd < 0) {
        qCWarning(lcD2xx) << "no inotify:" << std::strerror(errno);
    } else {
        w.inotifyNotifier = std::make_unique<QSocketNotifier>(w.inotifyFd, QSocketNotifier::Read);
        connect(w.inotifyNotifier.get(), &QSocketNotifier::activated, this,
                &PlugMonitor::readInotify);
        for (const std::string& path : w.paths)
            watchPath(path);
    }
}

void PlugMonitor::watchPath(const std::string& path)
{
    Watches& w = *m_watches;
    // The folder may not exist yet (/dev/serial/by-id appears with the
    // first USB serial port): then watch for it in the nearest folder that
    // does, and watch again once it came.
    QFileInfo target(QDir::cleanPath(QFileInfo(QString::fromStdString(path)).absoluteFilePath()));
    for (;;) {
        const QString folder = target.path();
        const int wd =
            ::inotify_add_watch(w.inotifyFd, QFile::encodeName(folder).constData(), kFolderEvents);
        if (wd >= 0) {
            w.namesByWatch[wd].insert(QFile::encodeName(target.fileName()).toStdString());
            break;
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            qCDebug(lcD2xx).noquote() << "cannot watch" << folder << ":" << std::strerror(errno);
            return;
        }
        if (folder == target.filePath() || folder == QLatin1String("/"))
            return;
        target = QFileInfo(folder);
    }
    // A link to a pseudo-terminal also goes when the terminal closes.
    const QString resolved = QFileInfo(QString::fromStdString(path)).canonicalFilePath();
    if (!resolved.isEmpty() && resolved != target.absoluteFilePath()) {
        const QFileInfo real(resolved);
        const int wd = ::inotify_add_watch(w.inotifyFd, QFile::encodeName(real.path()).constData(),
                                           kFolderEvents);
        if (wd >= 0)
            w.namesByWatch[wd].insert(QFile::encodeName(real.fileName()).toStdString());
    }
}

void PlugMonitor::readInotify()
{
    Watches& w = *m_watches;
    alignas(inotify_event) char buffer[4096];
    bool relevant = false;
    for (;;) {
        const ssize_t n = ::read(w.inotifyFd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) {
                relevant = true;
                continue;
            }
            const auto names = w.namesByWatch.find(event->wd);
            if (event->len && names != w.namesByWatch.end()
                && names->second.count(std::string(event->name)))
                relevant = true;
        }
    }
    if (!relevant)
        return;
    // Folders come and go, links change their target: watch what there is
    // now. Watches stay (adding one again returns it), so no removal of our
    // own comes back as an event.
    for (const std::string& path : w.paths)
        watchPath(path);
    noteEvent();
}

void PlugMonitor::readUdev()
{
    Watches& w = *m_watches;
    while (udev_device* device = udev_monitor_receive_device(w.udevMonitor)) {
        const char* subsystem = udev_device_get_subsystem(device);
        const bool relevant = subsystem && std::string_view(subsystem) == "usb"
            ? isFtdiUsbProduct(udev_device_get_property_value(device, "PRODUCT"))
            : isUsbSerialPort(device);
        if (relevant) {
            qCDebug(lcD2xx) << "udev:" << udev_device_get_action(device)
                            << udev_device_get_syspath(device);
            noteEvent();
        }
        udev_device_unref(device);
    }
}

void PlugMonitor::noteEvent()
{
    if (!m_watches)
        return;
    Watches& w = *m_watches;
    if (w.inotifyFd >= 0 && simulatorBackend()) {
        // A device added through the simulator's API may follow a path of
        // its own.
        const std::vector<std::string> paths = sim::Bus::instance().presenceWatchPaths();
        if (paths != w.paths) {
            w.paths = paths;
            for (const std::string& path : paths)
                watchPath(path);
        }
    }
    w.settle.start();
}

PlugDiff diffListings(const std::vector<PluggedDevice>& before,
                      const std::vector<PluggedDevice>& after)
{
    const auto identity = [](const PluggedDevice& d) {
        return d.serial.empty() ? "place:" + d.place : "serial:" + d.serial;
    };
    // Counted, so that of two devices sharing a serial number (a fault, but
    // it happens) one going is still told.
    const auto unmatched = [&](const std::vector<PluggedDevice>& from,
                               const std::vector<PluggedDevice>& in) {
        std::multiset<std::string> others;
        for (const PluggedDevice& d : in)
            others.insert(identity(d));
        std::vector<PluggedDevice> left;
        for (const PluggedDevice& d : from) {
            const auto it = others.find(identity(d));
            if (it != others.end())
                others.erase(it);
            else
                left.push_back(d);
        }
        return left;
    };
    return PlugDiff {unmatched(after, before), unmatched(before, after)};
}

std::vector<PresentDevice> presentDevices()
{
    // As FT_GetDeviceInfoList would show them, its fields' lengths included.
    const auto cut = [](const std::string& text, std::size_t field) {
        return text.substr(0, field - 1);
    };
    std::vector<PresentDevice> devices;
    for (const ListedDevice& listed : listAllDevices()) {
        const DeviceInfo& d = listed.info;
        devices.push_back({{cut(d.serial, sizeof FT_DEVICE_LIST_INFO_NODE {}.SerialNumber), d.place,
                            cut(d.description, sizeof FT_DEVICE_LIST_INFO_NODE {}.Description)},
                           d.usbBus,
                           d.usbAddress});
    }
    return devices;
}

std::vector<PluggedDevice> listPluggedDevices()
{
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0)
        return {};
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    DWORD copied = count;
    if (FT_GetDeviceInfoList(nodes.data(), &copied) != FT_OK)
        return {};
    std::vector<PluggedDevice> devices;
    for (DWORD i = 0; i < copied; ++i) {
        PluggedDevice d;
        d.serial = nodes[i].SerialNumber;
        d.description = nodes[i].Description;
        char place[256] = {};
        if (FT_GetDevicePlace(static_cast<int>(i), place, sizeof place) == FT_OK)
            d.place = place;
        devices.push_back(std::move(d));
    }
    return devices;
}

} // namespace d2xx
