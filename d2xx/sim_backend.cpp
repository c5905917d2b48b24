// The simulator backend: lists the devices of the simulated bus and opens
// connections onto them.
#include "backend.h"
#include "ftd2xx.h"

#include "simulator.h"

#include <string>

namespace d2xx {
namespace {

class SimPort : public Port {
public:
    explicit SimPort(std::unique_ptr<sim::Connection> c)
        : m_c(std::move(c))
    {
    }
    bool reset() override { return m_c->reset(); }
    bool setBaudRate(std::uint32_t baud) override { return m_c->setBaudRate(baud); }
    bool setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits,
                                std::uint8_t parity) override
    {
        return m_c->setDataCharacteristics(bits, stopBits, parity);
    }
    bool setTimeouts(std::uint32_t readMs, std::uint32_t) override
    {
        if (!m_c->alive())
            return false;
        m_c->setReadTimeout(readMs);
        return true;
    }
    bool write(const std::uint8_t* data, std::size_t length, std::size_t* written) override
    {
        return m_c->write(data, length, written);
    }
    bool read(std::uint8_t* data, std::size_t length, std::size_t* got) override
    {
        return m_c->read(data, length, got);
    }
    bool status(std::uint32_t* rxQueued) override { return m_c->status(rxQueued); }
    bool waitForInput(WaitClock::time_point deadline, Wakeup& wakeup, bool* readable) override
    {
        sim::Connection* c = m_c.get();
        wakeup.setNotifier([c] { c->interruptWait(); });
        const bool ok = m_c->waitForInput(
            deadline, [&wakeup] { return wakeup.isSet(); }, readable);
        wakeup.setNotifier({});
        return ok;
    }

private:
    std::unique_ptr<sim::Connection> m_c;
};

// Keys name the device and its generation: a device that went away and came
// back is a new USB device, so a stale handle does not block opening it.
std::string keyOf(const sim::Recorder& r)
{
    return "sim:" + std::to_string(r.uid()) + ":" + std::to_string(r.generation());
}

class SimBackend : public Backend {
public:
    const char* name() const override { return "simulator"; }

    std::vector<DeviceInfo> list() override
    {
        std::vector<DeviceInfo> out;
        std::uint32_t position = 0;
        for (const auto& r : sim::Bus::instance().devices()) {
            ++position;
            if (!r->present())
                continue;
            DeviceInfo d;
            d.type = FT_DEVICE_232R;
            d.id = 0x04036001;
            d.locId = 0x1000 + position;
            d.serial = r->serial();
            d.description = r->description();
            d.key = keyOf(*r);
            // The slot on the bus: kept while the device is away, like a
            // USB socket.
            d.place = "sim:slot" + std::to_string(position);
            out.push_back(std::move(d));
        }
        return out;
    }

    std::unique_ptr<Port> open(const DeviceInfo& device, OpenFailure* failure) override
    {
        for (const auto& r : sim::Bus::instance().devices()) {
            if (keyOf(*r) != device.key)
                continue;
            std::unique_ptr<sim::Connection> c = r->open(&failure->reason);
            if (!c) {
                // A device that is there refuses a second connection, as a
                // real port that another program holds does.
                failure->inUse = r->present();
                return nullptr;
            }
            return std::make_unique<SimPort>(std::move(c));
        }
        failure->reason = "the device is not connected";
        return nullptr;
    }
};

} // namespace

Backend* simulatorBackend()
{
    static SimBackend backend;
    return sim::Bus::instance().active() ? &backend : nullptr;
}

} // namespace d2xx
