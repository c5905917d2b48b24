// Real hardware through the kernel's serial drivers: the ttyUSB ports of FTDI
// devices (found in sysfs, which needs no USB permissions) and the ports
// named in MZT500_PORTS, such as the pseudo-terminal of a simulated recorder.
#include "backend.h"
#include "hw_common.h"
#include "serial_line.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace d2xx {

namespace {

using Clock = std::chrono::steady_clock;

// Unix98 pseudo-terminal slaves use majors 136 to 143.
bool isPseudoTerminal(const struct stat& st)
{
    const unsigned m = major(st.st_rdev);
    return S_ISCHR(st.st_mode) && m >= 136 && m <= 143;
}

// Waits for the events on fd until the deadline; returns the revents (0 on
// time-out) or -1 with errno set.
int waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = deadline - Clock::now();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        if (ns <= 0)
            return 0;
        timespec ts {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p {fd, events, 0};
        const int r = ::ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        return r == 0 ? 0 : p.revents;
    }
}

class SerialPort final : public hw::HardwarePort {
public:
    SerialPort(int fd, std::string path, dev_t rdev, bool pty)
        : fd_(fd)
        , path_(std::move(path))
        , rdev_(rdev)
        , pty_(pty)
    {
        // USB serial drivers hold received bytes back for their latency
        // timer (16 ms on FTDI chips) unless asked for low latency; a short
        // reply would wait for it on every frame. Ports that do not know the
        // request (ptys) just keep their behaviour.
        serial_struct ss {};
        if (!pty_ && ::ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
            savedSerialFlags_ = ss.flags;
            ss.flags |= ASYNC_LOW_LATENCY;
            lowLatencySet_ = ::ioctl(fd_, TIOCSSERIAL, &ss) == 0;
        }
    }

    ~SerialPort() override
    {
        serial_struct ss {};
        if (lowLatencySet_ && !gone_ && ::ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
            ss.flags = savedSerialFlags_;
            ::ioctl(fd_, TIOCSSERIAL, &ss);
        }
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    bool reset() override
    {
        std::scoped_lock lock(readMutex_, writeMutex_);
        return check(flushLine(fd_));
    }

    bool setBaudRate(std::uint32_t baud) override
    {
        if (baud == 0)
            return false;
        std::scoped_lock lock(readMutex_, writeMutex_);
        LineSettings wanted = line_;
        wanted.baud = baud;
        if (!check(applyLineSettings(fd_, wanted, pty_)))
            return false;
        line_ = wanted;
        return true;
    }

    bool setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits,
                                std::uint8_t parity) override
    {
        if (!hw::supportedDataCharacteristics(bits, stopBits, parity))
            return false;
        std::scoped_lock lock(readMutex_, writeMutex_);
        LineSettings wanted = line_;
        wanted.dataBits = bits;
        wanted.twoStopBits = stopBits == 2;
        wanted.parity = parity;
        if (!check(applyLineSettings(fd_, wanted, pty_)))
            return false;
        line_ = wanted;
        return true;
    }

    bool write(const std::uint8_t* data, std::size_t length, std::size_t* written) override
    {
        std::lock_guard lock(writeMutex_);
        *written = 0;
        if (gone_)
            return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_.load());
        while (*written < length) {
            const ssize_t n = ::write(fd_, data + *written, length - *written);
            if (n > 0) {
                *written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return failed(errno);
            const int events = waitFor(fd_, POLLOUT, deadline);
            if (events < 0)
                return failed(errno);
            if (events == 0)
                return true; // time-out: the caller sees the short count
            if (events & (POLLHUP | POLLERR | POLLNVAL))
                return markGone("hung up while writing");
        }
        return true;
    }

    bool read(std::uint8_t* data, std::size_t length, std::size_t* got) override
    {
        std::lock_guard lock(readMutex_);
        *got = 0;
        if (gone_)
            return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_.load());
        while (*got < length) {
            const ssize_t n = ::read(fd_, data + *got, length - *got);
            if (n > 0) {
                *got += static_cast<std::size_t>(n);
                continue;
            }
            // With O_NONBLOCK an idle tty says EAGAIN; end-of-file means the
            // line was hung up (device unplugged, pty master closed).
            if (n == 0)
                return markGone("hung up");
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return failed(errno);
            const int events = waitFor(fd_, POLLIN, deadline);
            if (events < 0)
                return failed(errno);
            if (events == 0)
                return true; // time-out with what arrived so far
            if ((events & (POLLHUP | POLLERR | POLLNVAL)) && !(events & POLLIN))
                return markGone("hung up");
        }
        return true;
    }

    bool waitForInput(Clock::time_point deadline, Wakeup& wakeup, bool* readable) override
    {
        *readable = false;
        if (gone_)
            return false;
        for (;;) {
            if (wakeup.isSet())
                return true;
            auto left = deadline - Clock::now();
            if (wakeup.fd() < 0)
                left = std::min<Clock::duration>(left, std::chrono::milliseconds(1));
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            if (ns <= 0)
                return true;
            timespec ts {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            pollfd p[2] = {{fd_, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
            const int r = ::ppoll(p, wakeup.fd() >= 0 ? 2 : 1, &ts, nullptr);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return failed(errno);
            if (p[0].revents & POLLIN) {
                *readable = true;
                return true;
            }
            if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                return markGone("hung up");
            if (p[1].revents & POLLIN)
                wakeup.dropStaleWakeup(); // a real signal is seen at the top
            if (r == 0 && Clock::now() >= deadline)
                return true;
        }
    }

    bool status(std::uint32_t* rxQueued) override
    {
        if (gone_)
            return false;
        pollfd p {fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return markGone("hung up");
        const int queued = queuedInput(fd_);
        if (queued < 0)
            return failed(errno);
        struct stat st { };
        if (::stat(path_.c_str(), &st) != 0 || st.st_rdev != rdev_)
            return markGone("its path has gone");
        *rxQueued = static_cast<std::uint32_t>(queued);
        return true;
    }

private:
    bool check(int error) { return error == 0 || failed(error); }

    // Records an I/O error; the errors a removed device gives mark the port
    // gone for good. Always false.
    bool failed(int error)
    {
        if (hw::isGoneErrno(error))
            return markGone(std::strerror(error));
        qCDebug(lcD2xx).noquote() << "serial port" << QString::fromStdString(path_)
                                  << "failed:" << std::strerror(error);
        return false;
    }

    bool markGone(const char* why)
    {
        if (!gone_.exchange(true))
            qCDebug(lcD2xx).noquote()
                << "serial port" << QString::fromStdString(path_) << "is gone:" << why;
        return false;
    }

    const int fd_;
    const std::string path_;
    const dev_t rdev_;
    const bool pty_;
    LineSettings line_; // under both locks
    int savedSerialFlags_ = 0;
    bool lowLatencySet_ = false;
};

class SerialBackend final : public Backend {
public:
    const char* name() const override { return "the kernel serial driver"; }

    std::vector<DeviceInfo> list() override
    {
        std::vector<DeviceInfo> ttyUsb;
        if (!usbScanDisabled())
            ttyUsb = hw::scanTtyUsbPorts("/sys");
        const char* named = std::getenv("MZT500_PORTS");
        // A named port counts as plugged in while its path exists, so a
        // link to a pseudo-terminal stands in for a device that comes and
        // goes (stat() follows the link: one left dangling is unplugged).
        std::vector<hw::NamedPort> present;
        for (hw::NamedPort& port : hw::parsePortsVariable(named ? named : "")) {
            struct stat st { };
            if (::stat(port.path.c_str(), &st) == 0)
                present.push_back(std::move(port));
        }
        return hw::serialListing(ttyUsb, present);
    }

    std::unique_ptr<Port> open(const DeviceInfo& device, OpenFailure* failure) override
    {
        const std::string& path = device.key;
        const auto describe = [&](int err) {
            failure->reason = path + ": " + hw::serialOpenFailureText(err);
            failure->inUse = err == EBUSY;
        };
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            describe(errno);
            return nullptr;
        }
        auto fail = [&](int err) {
            describe(err);
            ::close(fd);
            return nullptr;
        };
        struct stat st { };
        if (::fstat(fd, &st) != 0)
            return fail(errno);
        if (!::isatty(fd))
            return fail(ENOTTY);
        // TIOCEXCL keeps other programs out (except root); the lock also
        // keeps out another copy of this program running as root.
        if (::ioctl(fd, TIOCEXCL) != 0)
            return fail(errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return fail(errno == EWOULDBLOCK ? EBUSY : errno);
        const bool pty = isPseudoTerminal(st);
        const int lineError = applyLineSettings(fd, LineSettings {}, pty);
        if (lineError != 0) {
            ::ioctl(fd, TIOCNXCL);
            failure->reason = path + ": cannot set 250000 baud 8N2: " + std::strerror(lineError);
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<SerialPort>(fd, path, st.st_rdev, pty);
    }
};

} // namespace

Backend* serialBackend()
{
    static SerialBackend backend;
    return &backend;
}

} // namespace d2xx
