// mzt500-sim: the simulated MZT-500 as a console program.
//   mzt500-sim --demo                 talk to the simulated recorder through the
//                                     D2XX calls and list its files
//   mzt500-sim --pty [--config FILE]  serve one simulated recorder on a
//                                     pseudo-terminal; prints the slave path first
#include "d2xxhost.h"
#include "ftd2xx.h"
#include "recorder_vocabulary.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop {false};

void onSignal(int)
{
    g_stop = true;
}

QString sizeText(std::uint32_t n)
{
    if (n > 0xFFFFF)
        return QStringLiteral("%1 MBytes").arg(n / 1048576.0, 0, 'f', 2);
    if (n > 1023)
        return QStringLiteral("%1 KBytes").arg(n / 1024.0, 0, 'f', 2);
    return QStringLiteral("%1 Bytes").arg(n);
}

QString durationText(std::uint32_t ms)
{
    const std::uint32_t s = (ms + 500) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

int runDemo()
{
    if (!std::getenv("MZT500_SIMULATOR"))
        sim::Bus::instance().install({sim::demoRecorder()});
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) {
        std::fprintf(stderr, "cannot list devices\n");
        return 1;
    }
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (count && FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK) {
        std::fprintf(stderr, "cannot read the device list\n");
        return 1;
    }
    std::printf("%u simulated device(s)\n", count);
    int recorders = 0;
    for (DWORD i = 0; i < count; ++i) {
        const QString description = QString::fromLatin1(nodes[i].Description);
        std::printf("  %u: \"%s\" serial \"%s\"\n", i, nodes[i].Description, nodes[i].SerialNumber);
        if (description != QLatin1String("KORVANT KVP-DEV")
            && description != QLatin1String("KORVANT KVP-DGL"))
            continue;
        FT_HANDLE h = nullptr;
        if (FT_Open(static_cast<int>(i), &h) != FT_OK) {
            std::printf("     cannot open\n");
            continue;
        }
        FT_ResetDevice(h);
        FT_SetBaudRate(h, 250000);
        FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
        FT_SetTimeouts(h, mzt500::LineReadTimeoutMs, mzt500::LineWriteTimeoutMs);
        sim::HostClient host = sim::hostOverD2xx(h);
        const auto info = host.deviceInfo();
        if (!info || info->size() != 50) {
            std::printf("     no answer\n");
            FT_Close(h);
            continue;
        }
        ++recorders;
        const QByteArray name = info->mid(6, 39).split('\0').first();
        const int hw =
            static_cast<std::uint8_t>(info->at(2)) | static_cast<std::uint8_t>(info->at(3)) << 8;
        const int sw =
            static_cast<std::uint8_t>(info->at(4)) | static_cast<std::uint8_t>(info->at(5)) << 8;
        const int frame =
            static_cast<std::uint8_t>(info->at(46)) | static_cast<std::uint8_t>(info->at(47)) << 8;
        std::printf("     %s, hardware %d.%d, software %d.%d, frames up to %d bytes\n",
                    name.constData(), hw >> 8, hw & 0xFF, sw >> 8, sw & 0xFF, frame);
        QByteArray mode;
        host.read(18, 1, &mode);
        host.read(18, 0, &mode);
        std::printf("     transfer mode: %s\n",
                    mode.size() == 4 && sim::u32At(mode, 0) == 0xFFFFFFFFu ? "yes" : "no");
        QByteArray list;
        if (!host.read(16, 0, &list)) {
            std::printf("     cannot read the content list\n");
        } else {
            std::printf("     %lld file(s):\n", static_cast<long long>(list.size() / 16));
            for (qsizetype at = 0; at + 16 <= list.size(); at += 16) {
                const std::uint32_t id = sim::u32At(list, at), type = sim::u32At(list, at + 4);
                const QString fileName = type == 0
                    ? QStringLiteral("SETTINGS")
                    : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0'));
                std::printf("       %-12s %14s  %s\n", qPrintable(fileName),
                            qPrintable(sizeText(sim::u32At(list, at + 8))),
                            type == 1 ? qPrintable(durationText(sim::u32At(list, at + 12))) : "");
            }
        }
        host.read(18, 2, &mode);
        FT_Close(h);
    }
    return recorders > 0 ? 0 : 1;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

int runPty(const QString& configPath)
{
    sim::DeviceConfig config = sim::demoRecorder();
    if (!configPath.isEmpty()) {
        QString error;
        const auto devices = sim::loadConfig(configPath, &error);
        if (!devices || devices->empty()) {
            std::fprintf(stderr, "mzt500-sim: %s\n",
                         devices ? "the configuration has no device" : qPrintable(error));
            return 2;
        }
        config = devices->front();
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("mzt500-sim: pseudo-terminal");
        return 1;
    }
    const char* slavePath = ptsname(master);
    if (!slavePath) {
        std::perror("mzt500-sim: ptsname");
        return 1;
    }
    // Raw from the start: an echoing line discipline would hand our own
    // replies back to us as requests.
    const int slave = ::open(slavePath, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t {};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
    }
    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    auto recorder = std::make_shared<sim::Recorder>(config);
    std::string error;
    std::unique_ptr<sim::Connection> c = recorder->open(&error);
    if (!c) {
        std::fprintf(stderr, "mzt500-sim: %s\n", error.c_str());
        return 1;
    }
    // The client sets the line up on its side of the pseudo-terminal.
    c->setBaudRate(sim::kBaudRate);
    c->setDataCharacteristics(8, 2, 0);
    c->setReadTimeout(50);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    std::thread replies([&] {
        std::uint8_t buf[4096];
        while (!g_stop) {
            std::size_t got = 0;
            if (!c->read(buf, 1, &got))
                break;
            if (got == 0)
                continue;
            std::uint32_t queued = 0;
            if (c->status(&queued) && queued > 0) {
                std::size_t more = 0;
                c->read(buf + 1, std::min<std::size_t>(queued, sizeof buf - 1), &more);
                got += more;
            }
            writeAll(master, buf, got); // lost when no client has the port open
        }
    });

    std::uint8_t buf[4096];
    while (!g_stop) {
        pollfd p {master, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r <= 0)
            continue;
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                std::size_t written = 0;
                c->write(buf, static_cast<std::size_t>(n), &written);
                continue;
            }
        }
        // No client has the port open (or it just closed it): wait for the
        // next one without spinning.
        if (p.revents & (POLLHUP | POLLERR))
            ::usleep(20000);
    }
    g_stop = true;
    replies.join();
    ::close(master);
    return 0;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: mzt500-sim --demo\n"
                 "       mzt500-sim --pty [--config FILE]\n");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--demo"))
        return runDemo();
    if (args.value(0) == QLatin1String("--pty")) {
        QString config;
        if (args.size() == 3 && args[1] == QLatin1String("--config"))
            config = args[2];
        else if (args.size() != 1) {
            usage();
            return 2;
        }
        return runPty(config);
    }
    usage();
    return 2;
}
