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
    std::lock_guard lock(m_mutex);
    m_installed = true;
    m_devices.clear();
    for (const DeviceConfig& c : devices)
        m_devices.push_back(std::make_shared<Recorder>(c));
    return m_devices;
}

std::shared_ptr<Recorder> Bus::add(const DeviceConfig& device)
{
    std::lock_guard lock(m_mutex);
    loadEnvironmentLocked();
    m_installed = true;
    m_devices.push_back(std::make_shared<Recorder>(device));
    return m_devices.back();
}

void Bus::uninstall()
{
    std::lock_guard lock(m_mutex);
    m_installed = false;
    m_envLoaded = false;
    m_devices.clear();
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

} // namespace sim
