// Shared by the benchmarks that move a whole recorder over the simulated
// line with wire timing: the recorder's files, the connection to it and the
// line's limit the measured rates are set against.
#pragma once

#include "bench.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "simulator.h"

#include <QByteArray>

#include <cmath>
#include <cstdio>
#include <map>

namespace bench::wire {

inline constexpr double WireBytesPerSecond = 250000.0 / 11.0; // start, 8 data and 2 stop bits
inline constexpr double FrameOverhead = 14.0;                 // header, checksums, end mark
inline constexpr int SequenceCount = mzt500::LastSequenceId;
inline constexpr std::size_t SmallestFile = 16;
inline constexpr std::size_t LargestFile = 100 * 1024;

// The settings and 64 sequences from 16 bytes to 100 KiB, about 1 MiB in all.
// Sizes are even (recorder files always are) and spread unevenly, most of
// them small, in an order unrelated to their numbers.
inline std::map<std::uint16_t, QByteArray> recorderFiles()
{
    std::map<std::uint16_t, QByteArray> files;
    files[mzt500::SettingsFileNumber] =
        sim::makeFile(mzt500::SettingsId, mzt500::SettingsRecord, 1000, 0);
    for (int k = 0; k < SequenceCount; ++k) {
        const double share = std::pow(double(k) / (SequenceCount - 1), 5.0);
        std::size_t size = SmallestFile + std::size_t(share * double(LargestFile - SmallestFile));
        size &= ~std::size_t(1);
        const int id = (k * 37) % SequenceCount + 1;
        files[std::uint16_t(id)] =
            sim::makeFile(std::uint32_t(id), mzt500::SequenceRecord, size, std::uint32_t(k) * 1000);
    }
    return files;
}

inline int idOfFileNumber(std::uint16_t number)
{
    return number == mzt500::SettingsFileNumber ? mzt500::SettingsId : number;
}

// Connected to the first recorder; ready once it has identified itself and
// entered its transfer mode.
struct Link {
    KVPmPhyUSB link;
    KVPMaster master;
    bool ready = false;

    Link()
    {
        master.attachLink(&link);
        master.setTimeout(mzt500::ReplyTimeoutMs);
        master.connectLink();
        // The identification tells the master the recorder's frame size.
        ready = core::readContent(&master).result.ok()
            && core::enterTransferMode(&master) == core::TransferMode::Entered;
    }
    ~Link() { master.stopAndReset(); }
};

inline sim::DeviceConfig wireRecorder(int frame)
{
    sim::DeviceConfig config = sim::DeviceConfig::recorder();
    config.maxFrameSize = std::uint16_t(frame);
    config.timing = sim::Timing::Wire;
    return config;
}

// That recorder holding the settings and the 64 sequences of recorderFiles().
inline sim::DeviceConfig fullWireRecorder(int frame)
{
    sim::DeviceConfig config = wireRecorder(frame);
    config.files = recorderFiles();
    return config;
}

// Installs the recorder, connects to it and runs work(link, recorder), which
// returns the exit status; what failed names itself in its first word.
template <typename Work>
int onRecorder(const char* what, const sim::DeviceConfig& config, Work work)
{
    const auto recorder = sim::Bus::instance().install({config}).front();
    int status = 0;
    {
        Link l;
        if (!l.ready) {
            std::printf("%s failed: no recorder\n", what);
            status = 1;
        } else {
            status = work(l, *recorder);
        }
    }
    sim::Bus::instance().uninstall();
    return status;
}

// The rate a transfer in frames of this size can reach on the line: each
// frame's payload against its own bytes and those of the request for it.
inline double lineLimit(int frame)
{
    return WireBytesPerSecond * (frame - FrameOverhead) / (frame + FrameOverhead);
}

inline void report(const char* what, int frame, std::size_t files, std::size_t bytes,
                   double seconds)
{
    std::printf("%s files=%zu bytes=%zu seconds=%.3f ratio=%.3f\n", what, files, bytes, seconds,
                double(bytes) / seconds / lineLimit(frame));
    std::fflush(stdout);
}

inline int frameOption(const QStringList& args)
{
    return bench::option(args, QStringLiteral("frame"), QStringLiteral("512")).toInt();
}

} // namespace bench::wire
