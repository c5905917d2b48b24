// mzt500-bench protocol: read throughput of the protocol master against the
// simulated recorder with wire timing, the round trip of a probe beside its
// bytes' own time on the wire, and the CPU the master and the link's reader
// use while idle and while transferring.
#include "bench.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_vocabulary.h"
#include "simulator.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr double WireBytesPerSecond = 250000.0 / 11.0; // 8 data bits, 2 stop bits, start bit
constexpr double RequestFrameBytes = 14.0;
constexpr double FrameOverhead = 14.0;
constexpr std::uint16_t FileNumber = 1;
constexpr int Probes = 200;
// A probe is a write frame with four zero bytes, answered by a status frame
// with one status byte.
constexpr double ProbeWireBytes = (FrameOverhead + 4) + (FrameOverhead + 1);
// The window's connection poll.
constexpr int PollIntervalMs = 600;

// A master with its link, connected to the first simulated recorder and
// stopped again at the end.
struct Connected {
    KVPmPhyUSB link;
    KVPMaster master;
    explicit Connected(int timeoutMs)
    {
        master.attachLink(&link);
        master.setTimeout(timeoutMs);
        master.connectLink();
    }
    ~Connected() { master.stopAndReset(); }
};

struct Measurement {
    bool ok = false;
    double seconds = 0;
    double cpuPercent = 0;
    std::size_t bytes = 0;
};

Measurement readOnce(int frame, std::size_t size)
{
    sim::DeviceConfig config = sim::DeviceConfig::recorder();
    config.maxFrameSize = std::uint16_t(frame);
    config.timing = sim::Timing::Wire;
    config.files[FileNumber] = sim::makeFile(FileNumber, 1, size, 60'000);
    sim::Bus::instance().install({config});

    Measurement m;
    {
        Connected c(mzt500::TransferReplyTimeoutMs);
        KVPMaster& master = c.master;
        QString name;
        uint software = 0, hardware = 0;
        unsigned char sizeReply[4];
        uint length = 0;
        if (master.getDeviceInfo(&name, &software, &hardware)
            && master.readData(4, sizeReply, &length, mzt500::CmdFileSize, FileNumber)
            && length == 4) {
            std::vector<unsigned char> buffer(size);
            QElapsedTimer clock;
            const double cpuStart = bench::processCpuSeconds();
            clock.start();
            m.ok = master.readData(uint(size), buffer.data(), &length, mzt500::CmdFileData,
                                   mzt500::FileDataParameter)
                && length == size;
            m.seconds = double(clock.nsecsElapsed()) / 1e9;
            m.cpuPercent = 100.0 * (bench::processCpuSeconds() - cpuStart) / m.seconds;
            m.bytes = length;
        }
    }
    sim::Bus::instance().uninstall();
    return m;
}

// Median round trip of a probe in milliseconds, or -1 when one failed.
double probeMedianMs()
{
    sim::DeviceConfig config = sim::DeviceConfig::recorder();
    config.timing = sim::Timing::Wire;
    sim::Bus::instance().install({config});
    double median = -1;
    {
        Connected c(mzt500::ReplyTimeoutMs);
        KVPMaster& master = c.master;
        std::vector<double> times;
        for (int i = 0; i < Probes; ++i) {
            QElapsedTimer clock;
            clock.start();
            if (master.checkConnection() != 2)
                break;
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        if (times.size() == std::size_t(Probes)) {
            std::nth_element(times.begin(), times.begin() + Probes / 2, times.end());
            median = times[Probes / 2];
        }
    }
    sim::Bus::instance().uninstall();
    return median;
}

// CPU of the master and the link while the recorder is connected and probed
// as the window probes it.
double idleCpuPercent(int seconds)
{
    sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    double percent = -1;
    {
        Connected c(mzt500::ReplyTimeoutMs);
        KVPMaster& master = c.master;
        if (c.link.isConnected() && c.link.isRunning() && master.isRunning()) {
            QThread::msleep(200); // let both loops settle
            QElapsedTimer clock;
            const double cpuStart = bench::processCpuSeconds();
            clock.start();
            const qint64 end = qint64(seconds) * 1000;
            for (qint64 next = 0; next < end; next += PollIntervalMs) {
                if (clock.elapsed() < next)
                    QThread::msleep(ulong(next - clock.elapsed()));
                master.checkConnection();
            }
            if (clock.elapsed() < end)
                QThread::msleep(ulong(end - clock.elapsed()));
            const double wall = double(clock.nsecsElapsed()) / 1e9;
            percent = 100.0 * (bench::processCpuSeconds() - cpuStart) / wall;
        }
    }
    sim::Bus::instance().uninstall();
    return percent;
}

int runProtocol(const QStringList& args)
{
    const std::size_t size = std::size_t(
        bench::option(args, QStringLiteral("bytes"), QStringLiteral("1048576")).toULongLong());
    const int idleSeconds =
        bench::option(args, QStringLiteral("idle"), QStringLiteral("5")).toInt();
    int status = 0;
    double transferCpu = -1;
    for (int frame : {80, 512, 2048}) {
        const Measurement m = readOnce(frame, size);
        if (!m.ok) {
            std::printf("read frame=%d failed\n", frame);
            status = 1;
            continue;
        }
        const double ideal =
            WireBytesPerSecond * (frame - FrameOverhead) / (frame + RequestFrameBytes);
        const double ratio = double(m.bytes) / m.seconds / ideal;
        std::printf("read frame=%d bytes=%zu seconds=%.3f ratio=%.3f\n", frame, m.bytes, m.seconds,
                    ratio);
        std::fflush(stdout);
        if (frame == 2048)
            transferCpu = m.cpuPercent;
    }
    const double probe = probeMedianMs();
    if (probe < 0)
        status = 1;
    std::printf("probe median_ms=%.3f wire_ms=%.3f\n", probe,
                1000.0 * ProbeWireBytes / WireBytesPerSecond);
    std::printf("cpu idle=%.2f\n", idleCpuPercent(idleSeconds));
    std::printf("cpu transfer=%.2f\n", transferCpu);
    return status;
}

} // namespace

MZT_BENCH_COMMAND("protocol",
                  "[--bytes=N] [--idle=S]  read throughput and CPU of the protocol master",
                  runProtocol);
