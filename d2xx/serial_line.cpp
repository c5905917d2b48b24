#include "serial_line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>

// <sys/ioctl.h> would drag in the C library's termios definitions, which
// clash with the kernel's struct termios2.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace d2xx {

namespace {

void makeRaw(termios2* t, const LineSettings& s)
{
    t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                         | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t->c_cflag |= static_cast<tcflag_t>((s.dataBits == 7 ? CS7 : CS8) | CLOCAL | CREAD);
    if (s.twoStopBits)
        t->c_cflag |= CSTOPB;
    if (s.parity != 0) {
        t->c_cflag |= PARENB;
        if (s.parity == 1)
            t->c_cflag |= PARODD;
        t->c_iflag |= INPCK;
    }
    // The port is opened O_NONBLOCK and waits with poll() for its read
    // time-out. With VMIN 1 an idle line answers read() with EAGAIN, so
    // that end-of-file only ever means a hang-up (VMIN 0 would return 0
    // for both).
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

void setSpeed(termios2* t, std::uint32_t baud)
{
    t->c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t->c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t->c_ispeed = baud;
    t->c_ospeed = baud;
}

} // namespace

int applyLineSettings(int fd, const LineSettings& settings, bool ignoreSpeed)
{
    termios2 original {};
    if (ioctl(fd, TCGETS2, &original) != 0)
        return errno;
    termios2 wanted = original;
    makeRaw(&wanted, settings);
    setSpeed(&wanted, settings.baud);
    if (ioctl(fd, TCSETS2, &wanted) != 0) {
        const int error = errno;
        if (!ignoreSpeed)
            return error;
        termios2 speedless = original;
        makeRaw(&speedless, settings);
        if (ioctl(fd, TCSETS2, &speedless) != 0)
            return errno;
        return 0;
    }
    if (ignoreSpeed)
        return 0;
    // Drivers round a speed they cannot make to the nearest one they can;
    // the far end of an asynchronous line tolerates a few percent at most.
    termios2 actual {};
    if (ioctl(fd, TCGETS2, &actual) != 0)
        return errno;
    const long long delta =
        std::llabs(static_cast<long long>(actual.c_ospeed) - static_cast<long long>(settings.baud));
    if (delta * 100 > static_cast<long long>(settings.baud) * 3)
        return EINVAL;
    return 0;
}

int flushLine(int fd)
{
    return ioctl(fd, TCFLSH, TCIOFLUSH) == 0 ? 0 : errno;
}

int queuedInput(int fd)
{
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0)
        return -1;
    return queued;
}

} // namespace d2xx
