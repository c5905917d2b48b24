// The process-wide set of simulated devices.
#include "simulator.h"

#include <QLoggingCategory>

#include <cstdlib>

Q_DECLARE_LOGGING_CATEGORY(lcSim)

namespace sim {

Bus& Bus::instance()
{
    static Bus bus;
    return bus;
}

void Bus::loadEnvironmentLocked()
{
    if (m_installed || m_envLoaded)
        return;
    const char* selection = std::getenv("MZT500_SIMULATOR");
    if (!selection || !*selection)
        return;
    m_envLoaded = true;
    QString error;
    const auto devices = loadConfig(QString::fromLocal8Bit(selection), &error);
    m_devices.clear();
    if (!devices) {
        // Still simulating, with no devices: real hardware must not stand in.
        qCWarning(lcSim).noquote() << "simulator configuration not loaded:" << error;
        return;
    }
    for (const DeviceConfig& c : *devices)
        m_devices.push_back(std::make_shared<Recorder>(c));
}

bool Bus::active()
{
    std::lock_guard lock(m_mutex);
    loadEnvironmentLocked();
    return m_installed || m_envLoaded;
}

std::vector<std::shared_ptr<Recorder>> Bus::install(const std::vector<DeviceConfig>& devices)
{
    std::vector<std::shared_ptr<Recorder>> installed;
    {
        std::lock_guard lock(m_mutex);
        m_installed = true;
        m_devices.clear();
        for (const DeviceConfig& c : devices)
            m_devices.push_back(std::make_shared<Recorder>(c));
        installed = m_devices;
    }
    announcePresenceChange();
    return installed;
}

std::shared_ptr<Recorder> Bus::add(const DeviceConfig& device)
{
    std::shared_ptr<Recorder> added;
    {
        std::lock_guard lock(m_mutex);
        loadEnvironmentLocked();
        m_installed = true;
        m_devices.push_back(std::make_shared<Recorder>(device));
        added = m_devices.back();
    }
    announcePresenceChange();
    return added;
}

void Bus::uninstall()
{
    {
        std::lock_guard lock(m_mutex);
        m_installed = false;
        m_envLoaded = false;
        m_devices.clear();
    }
    announcePresenceChange();
}

std::vector<std::shared_ptr<Recorder>> Bus::devices()
{
    std::lock_guard lock(m_mutex);
    loadEnvironmentLocked();
    return m_devices;
}

std::shared_ptr<Recorder> Bus::device(std::size_t index)
{
    std::lock_guard lock(m_mutex);
    loadEnvironmentLocked();
    return index < m_devices.size() ? m_devices[index] : nullptr;
}

std::shared_ptr<Recorder> Bus::find(std::uint64_t uid)
{
    std::lock_guard lock(m_mutex);
    for (const auto& d : m_devices)
        if (d->uid() == uid)
            return d;
    return nullptr;
}

int Bus::addPresenceListener(PresenceListener listener)
{
    std::lock_guard lock(m_listenerMutex);
    const int id = m_nextListener++;
    m_listeners.emplace(id, std::move(listener));
    return id;
}

void Bus::removePresenceListener(int id)
{
    // Under the lock, so a listener never runs after its removal returned.
    std::lock_guard lock(m_listenerMutex);
    m_listeners.erase(id);
}

void Bus::announcePresenceChange()
{
    std::lock_guard lock(m_listenerMutex);
    for (const auto& [id, listener] : m_listeners)
        listener();
}

std::vector<std::string> Bus::presenceWatchPaths()
{
    std::vector<std::string> paths;
    for (const std::shared_ptr<Recorder>& d : devices()) {
        const std::string path = d->presentWhile();
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}

} // namespace sim
