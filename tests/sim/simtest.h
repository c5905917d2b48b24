// Shared by the simulator tests: an open D2XX handle onto a simulated device,
// configured the way the program's link configures it.
#pragma once

#include "d2xxhost.h"
#include "ftd2xx.h"
#include "simulator.h"

#include <QByteArray>
#include <QTest>

#include <memory>
#include <optional>

struct D2xxPort {
    FT_HANDLE handle = nullptr;

    // Opens list position `index` at 250000 baud 8N2 with a 40 ms read time-out.
    explicit D2xxPort(int index = 0, bool configure = true)
    {
        DWORD count = 0;
        if (FT_CreateDeviceInfoList(&count) != FT_OK || FT_Open(index, &handle) != FT_OK) {
            handle = nullptr;
            return;
        }
        if (configure) {
            FT_ResetDevice(handle);
            FT_SetBaudRate(handle, 250000);
            FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
            FT_SetTimeouts(handle, 40, 2000);
        }
    }
    ~D2xxPort() { close(); }
    D2xxPort(const D2xxPort&) = delete;
    D2xxPort& operator=(const D2xxPort&) = delete;

    bool isOpen() const { return handle != nullptr; }
    void close()
    {
        if (handle)
            FT_Close(handle);
        handle = nullptr;
    }

    bool write(const QByteArray& bytes)
    {
        DWORD written = 0;
        return FT_Write(handle, const_cast<char*>(bytes.constData()),
                        static_cast<DWORD>(bytes.size()), &written)
            == FT_OK
            && written == static_cast<DWORD>(bytes.size());
    }

    // Everything that arrives until the line stays quiet for one read time-out.
    QByteArray drain()
    {
        QByteArray all;
        for (;;) {
            char buf[512];
            DWORD got = 0;
            if (FT_Read(handle, buf, sizeof buf, &got) != FT_OK)
                return all;
            all.append(buf, static_cast<qsizetype>(got));
            if (got < sizeof buf)
                return all;
        }
    }

    sim::HostClient host() { return sim::hostOverD2xx(handle); }
};

// One recorder put on the bus and opened, with a host client speaking to it.
struct OpenedRecorder {
    std::shared_ptr<sim::Recorder> rec;
    D2xxPort port;
    sim::HostClient host;

    explicit OpenedRecorder(const sim::DeviceConfig& config = sim::DeviceConfig::recorder())
        : rec(sim::Bus::instance().install({config}).front())
        , host(port.host())
    {
    }

    // Selects `fileNumber` for writing; the recorder answers with the size it
    // holds under that number (0xFFFFFFFF for none), nothing when it refused.
    std::optional<std::uint32_t> selectForWriting(std::uint16_t fileNumber)
    {
        QByteArray held;
        if (!host.read(14, fileNumber, &held))
            return std::nullopt;
        return sim::u32At(held);
    }
};

inline QByteArray hexBytes(const char* hex)
{
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

using sim::u32At;

inline std::uint16_t u16At(const QByteArray& b, qsizetype at = 0)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b.at(at))
                                      | static_cast<std::uint8_t>(b.at(at + 1)) << 8);
}
