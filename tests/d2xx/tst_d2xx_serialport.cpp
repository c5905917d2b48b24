// The kernel serial backend end to end through the D2XX-shaped calls, on a
// pseudo-terminal named in MZT500_PORTS; the test plays the device on the
// master side.
#include "ftd2xx.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Pty {
    int master = -1;
    QString slave;

    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        slave = QString::fromLocal8Bit(::ptsname(master));
        termios t {};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() { closeMaster(); }
    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    bool ok() const { return master >= 0 && !slave.isEmpty(); }

    void send(const QByteArray& bytes) const
    {
        QCOMPARE(::write(master, bytes.constData(), bytes.size()), ssize_t(bytes.size()));
    }
    // Whatever the slave side wrote, waiting up to timeoutMs for count bytes.
    QByteArray receive(int count, int timeoutMs = 2000) const
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < timeoutMs) {
            pollfd p {master, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
            }
        }
        return got;
    }
};

// Lists the given MZT500_PORTS value and returns the list.
std::vector<FT_DEVICE_LIST_INFO_NODE> listPorts(const QString& ports)
{
    qputenv("MZT500_PORTS", ports.toLocal8Bit());
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK)
        return {};
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    DWORD copied = count;
    if (count && FT_GetDeviceInfoList(nodes.data(), &copied) != FT_OK)
        return {};
    nodes.resize(copied);
    return nodes;
}

// Opens list position 0 and sets it up the way the link does.
FT_HANDLE openConfigured(ULONG readTimeoutMs = 40)
{
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK)
        return nullptr;
    if (FT_ResetDevice(h) != FT_OK || FT_SetBaudRate(h, 250000) != FT_OK
        || FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE) != FT_OK
        || FT_SetTimeouts(h, readTimeoutMs, 2000) != FT_OK) {
        FT_Close(h);
        return nullptr;
    }
    return h;
}

// Lists the port as a recorder and opens it.
FT_HANDLE listAndOpen(const QString& path, ULONG readTimeoutMs = 40)
{
    if (listPorts(path + "=KORVANT KVP-DEV").size() != 1)
        return nullptr;
    return openConfigured(readTimeoutMs);
}

struct Closer {
    FT_HANDLE h;
    ~Closer()
    {
        if (h)
            FT_Close(h);
    }
};

// A pseudo-terminal listed and opened as a recorder's port, closed at the
// end; the handle is null when either failed.
struct OpenedPty {
    explicit OpenedPty(ULONG readTimeoutMs = 40)
        : handle(pty.ok() ? listAndOpen(pty.slave, readTimeoutMs) : nullptr)
        , closer {handle}
    {
    }
    Pty pty;
    FT_HANDLE handle;
    Closer closer;
};

} // namespace

class TestSerialPort : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listsNamedPorts();
    void opensByPlaceWhereverListed();
    void writesAndReads();
    void readWaitsForAllOrTheTimeout();
    void readAndWriteRunTogether();
    void openIsExclusive();
    void closedMasterMeansGone();
    void removedPathMeansGone();
    void closeDuringARead();
    void eventWakesOnBytesSignalAndHangUp();
    void refusesWhatIsNoSerialPort();
};

void TestSerialPort::initTestCase()
{
    // Only the named ports, whatever the machine has plugged in.
    qputenv("MZT500_NO_HARDWARE", "1");
    qunsetenv("MZT500_SIMULATOR");
}

void TestSerialPort::listsNamedPorts()
{
    Pty a, b;
    QVERIFY(a.ok() && b.ok());
    const QString longName(80, QChar('x'));
    const auto nodes = listPorts(a.slave + "=KORVANT KVP-DEV;" + b.slave + "=" + longName);
    QCOMPARE(nodes.size(), std::size_t(2));
    // The link compares the first 16 bytes, terminating zero included.
    QCOMPARE(std::memcmp(nodes[0].Description, "KORVANT KVP-DEV", 16), 0);
    QCOMPARE(nodes[0].SerialNumber[0], '\0');
    QCOMPARE(nodes[0].Flags, 0u);
    QCOMPARE(QByteArray(nodes[1].Description), longName.left(63).toLatin1());

    FT_HANDLE h = nullptr;
    QCOMPARE(FT_Open(1, &h), FT_OK);
    Closer closer {h};
    const auto again = listPorts(a.slave + "=KORVANT KVP-DEV;" + b.slave + "=" + longName);
    QCOMPARE(again.size(), std::size_t(2));
    QCOMPARE(again[0].Flags & FT_FLAGS_OPENED, 0u);
    QCOMPARE(again[1].Flags & FT_FLAGS_OPENED, ULONG {FT_FLAGS_OPENED});
    QCOMPARE(again[1].ftHandle, h);
}

void TestSerialPort::opensByPlaceWhereverListed()
{
    Pty a, b;
    QVERIFY(a.ok() && b.ok());
    listPorts(a.slave + "=KORVANT KVP-DEV;" + b.slave + "=KORVANT KVP-DEV");
    char place[256] = {};
    QCOMPARE(FT_GetDevicePlace(1, place, sizeof place), FT_OK);
    QCOMPARE(QString::fromLocal8Bit(place), b.slave);
    char tooSmall[4] = {};
    QCOMPARE(FT_GetDevicePlace(1, tooSmall, sizeof tooSmall), FT_INSUFFICIENT_RESOURCES);
    QCOMPARE(FT_GetDevicePlace(2, place, sizeof place), FT_DEVICE_NOT_FOUND);

    // The first port is gone: the second is found at position 0, and the
    // list made before is left as it was.
    qputenv("MZT500_PORTS", (b.slave + "=KORVANT KVP-DEV").toLocal8Bit());
    FT_HANDLE h = nullptr;
    QCOMPARE(FT_OpenEx(place, FT_OPEN_BY_PLACE, &h), FT_OK);
    Closer closer {h};
    b.send("x");
    char byte = 0;
    DWORD got = 0;
    QCOMPARE(FT_SetTimeouts(h, 2000, 2000), FT_OK);
    QCOMPARE(FT_Read(h, &byte, 1, &got), FT_OK);
    QCOMPARE(got, DWORD(1));
    QCOMPARE(byte, 'x');
    FT_HANDLE second = nullptr;
    QCOMPARE(FT_OpenEx(place, FT_OPEN_BY_PLACE, &second), FT_DEVICE_IN_USE);

    // A port that is no longer named, no name, a serial number nobody has.
    QByteArray other = a.slave.toLocal8Bit();
    QCOMPARE(FT_OpenEx(other.data(), FT_OPEN_BY_PLACE, &second), FT_DEVICE_NOT_FOUND);
    char empty[1] = {};
    QCOMPARE(FT_OpenEx(empty, FT_OPEN_BY_PLACE, &second), FT_DEVICE_NOT_FOUND);
    QCOMPARE(FT_OpenEx(empty, FT_OPEN_BY_SERIAL_NUMBER, &second), FT_DEVICE_NOT_FOUND);
    char serial[] = "KV000001";
    QCOMPARE(FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &second), FT_DEVICE_NOT_FOUND);
    QCOMPARE(FT_OpenEx(serial, 4, &second), FT_INVALID_PARAMETER);
    QVERIFY(!second);
}

void TestSerialPort::writesAndReads()
{
    OpenedPty opened;
    QVERIFY(opened.handle);
    Pty& pty = opened.pty;
    FT_HANDLE h = opened.handle;

    // Every byte value passes unchanged: the line is raw in both directions.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    all += QByteArray("\r\n\x03\x11\x13\x7f", 6);
    DWORD written = 0;
    QCOMPARE(FT_Write(h, all.data(), DWORD(all.size()), &written), FT_OK);
    QCOMPARE(written, DWORD(all.size()));
    QCOMPARE(pty.receive(all.size()), all);

    pty.send(all);
    DWORD queued = 0;
    QTRY_COMPARE(FT_GetStatus(h, &queued, nullptr, nullptr) == FT_OK ? queued : 0u,
                 DWORD(all.size()));
    QByteArray back(all.size(), '\0');
    DWORD got = 0;
    QCOMPARE(FT_Read(h, back.data(), DWORD(back.size()), &got), FT_OK);
    QCOMPARE(got, DWORD(all.size()));
    QCOMPARE(back, all);
}

void TestSerialPort::readWaitsForAllOrTheTimeout()
{
    OpenedPty opened(150);
    QVERIFY(opened.handle);
    Pty& pty = opened.pty;
    FT_HANDLE h = opened.handle;

    // Fewer bytes than asked for: the read waits out its time-out and then
    // reports success with what came.
    pty.send("abc");
    char buf[16] = {};
    DWORD got = 99;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(FT_Read(h, buf, 10, &got), FT_OK);
    QVERIFY2(timer.elapsed() >= 140, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(got, DWORD(3));
    QCOMPARE(QByteArray(buf, 3), QByteArray("abc"));

    // Nothing at all: zero bytes, still success.
    QCOMPARE(FT_Read(h, buf, 1, &got), FT_OK);
    QCOMPARE(got, DWORD(0));

    // Bytes that trickle in within the time-out are collected into one read.
    QCOMPARE(FT_SetTimeouts(h, 2000, 2000), FT_OK);
    std::jthread device([&] {
        for (const char* part : {"12", "345", "6789"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            pty.send(part);
        }
    });
    QCOMPARE(FT_Read(h, buf, 9, &got), FT_OK);
    QCOMPARE(got, DWORD(9));
    QCOMPARE(QByteArray(buf, 9), QByteArray("123456789"));
}

void TestSerialPort::readAndWriteRunTogether()
{
    OpenedPty opened;
    QVERIFY(opened.handle);
    Pty& pty = opened.pty;
    FT_HANDLE h = opened.handle;

    // The link's reader thread reads one byte at a time while the master
    // thread writes frames; neither may block or corrupt the other.
    constexpr int kBytes = 3000;
    QByteArray incoming;
    for (int i = 0; i < kBytes; ++i)
        incoming.append(char(i * 7));
    std::atomic<bool> readerFailed {false};
    QByteArray readBack;
    std::jthread reader([&] {
        QElapsedTimer timer;
        timer.start();
        while (readBack.size() < kBytes && timer.elapsed() < 10000) {
            char byte;
            DWORD got = 0;
            if (FT_Read(h, &byte, 1, &got) != FT_OK) {
                readerFailed = true;
                return;
            }
            if (got == 1)
                readBack.append(byte);
        }
    });
    QByteArray outgoing(64, 'w');
    QByteArray seen;
    for (int i = 0; i < 50; ++i) {
        DWORD written = 0;
        QCOMPARE(FT_Write(h, outgoing.data(), DWORD(outgoing.size()), &written), FT_OK);
        QCOMPARE(written, DWORD(outgoing.size()));
        pty.send(incoming.mid(i * kBytes / 50, kBytes / 50));
        seen += pty.receive(outgoing.size());
    }
    reader.join();
    QVERIFY(!readerFailed);
    QCOMPARE(readBack, incoming);
    QCOMPARE(seen, outgoing.repeated(50));
}

void TestSerialPort::openIsExclusive()
{
    OpenedPty opened;
    QVERIFY(opened.handle);
    Pty& pty = opened.pty;
    FT_HANDLE h = opened.handle;

    FT_HANDLE second = nullptr;
    QCOMPARE(FT_Open(0, &second), FT_DEVICE_IN_USE);
    QVERIFY(!second);

    // Another program (even one running as root, which TIOCEXCL lets in)
    // cannot take the port from under us either.
    const int other = ::open(pty.slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), -1);
        ::close(other);
    } else {
        QCOMPARE(errno, EBUSY);
    }

    // After closing, the port opens again.
    QCOMPARE(FT_Close(h), FT_OK);
    opened.closer.h = nullptr;
    h = openConfigured();
    QVERIFY(h);
    opened.closer.h = h;
    QCOMPARE(FT_Close(h), FT_OK);
    opened.closer.h = nullptr;

    // Held by another program, the port is in use rather than unusable.
    const int holder = ::open(pty.slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(FT_Open(0, &second), FT_DEVICE_IN_USE);
    ::close(holder);
    QCOMPARE(FT_Open(0, &second), FT_OK);
    opened.closer.h = second;
}

void TestSerialPort::closedMasterMeansGone()
{
    auto pty = std::make_unique<Pty>();
    QVERIFY(pty->ok());
    FT_HANDLE h = listAndOpen(pty->slave);
    QVERIFY(h);
    Closer closer {h};
    DWORD queued = 0;
    QCOMPARE(FT_GetStatus(h, &queued, nullptr, nullptr), FT_OK);

    pty->closeMaster();
    QVERIFY(FT_GetStatus(h, &queued, nullptr, nullptr) != FT_OK);
    char byte;
    DWORD got = 7;
    QVERIFY(FT_Read(h, &byte, 1, &got) != FT_OK);
    QCOMPARE(got, DWORD(0));
    DWORD written = 7;
    QVERIFY(FT_Write(h, &byte, 1, &written) != FT_OK);
    QCOMPARE(written, DWORD(0));
    QCOMPARE(FT_Close(h), FT_OK);
    closer.h = nullptr;
}

void TestSerialPort::removedPathMeansGone()
{
    Pty pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    const QString link = dir.path() + "/recorder";
    QVERIFY(QFile::link(pty.slave, link));
    FT_HANDLE h = listAndOpen(link);
    QVERIFY(h);
    Closer closer {h};
    DWORD queued = 0;
    QCOMPARE(FT_GetStatus(h, &queued, nullptr, nullptr), FT_OK);
    QVERIFY(QFile::remove(link));
    QVERIFY(FT_GetStatus(h, &queued, nullptr, nullptr) != FT_OK);
}

void TestSerialPort::closeDuringARead()
{
    Pty pty;
    QVERIFY(pty.ok());
    FT_HANDLE h = listAndOpen(pty.slave, 1000);
    QVERIFY(h);
    // A read still waiting on one thread while another closes the handle
    // ends normally and leaves the port to close after it.
    std::atomic<FT_STATUS> readStatus {FT_OTHER_ERROR};
    std::jthread reader([&] {
        char buf[4];
        DWORD got = 0;
        readStatus = FT_Read(h, buf, sizeof buf, &got);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QCOMPARE(FT_Close(h), FT_OK);
    reader.join();
    // (On a badly loaded machine the read may only start after the close.)
    QVERIFY(readStatus == FT_OK || readStatus == FT_INVALID_HANDLE);
    DWORD queued = 0;
    QCOMPARE(FT_GetStatus(h, &queued, nullptr, nullptr), FT_INVALID_HANDLE);
    // Once the read is over, the port is free for the next open.
    h = listAndOpen(pty.slave);
    QVERIFY(h);
    QCOMPARE(FT_Close(h), FT_OK);
}

void TestSerialPort::eventWakesOnBytesSignalAndHangUp()
{
    // The waits below that would end only by their time-out run for a
    // minute: a wake-up they miss shows as a hung test.
    constexpr DWORD Long = 60000;
    auto pty = std::make_unique<Pty>();
    QVERIFY(pty->ok());
    FT_HANDLE h = listAndOpen(pty->slave);
    QVERIFY(h);
    Closer closer {h};
    std::unique_ptr<FT_EVENT, void (*)(FT_EVENT_HANDLE)> event(FT_CreateEvent(), FT_DestroyEvent);
    QCOMPARE(FT_SetEventNotification(h, FT_EVENT_RXCHAR, event.get()), FT_OK);
    DWORD events = 7;

    // Nothing arrives: the time-out.
    QCOMPARE(FT_WaitEvent(event.get(), 20, &events), FT_OK);
    QCOMPARE(events, DWORD(0));

    // Bytes arriving during the wait end it.
    std::jthread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty->send("\xAA\x55");
    });
    QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
    QCOMPARE(events, DWORD(FT_EVENT_RXCHAR));
    device.join();
    char bytes[2];
    DWORD got = 0;
    QCOMPARE(FT_Read(h, bytes, 2, &got), FT_OK);
    QCOMPARE(got, DWORD(2));

    // A signal from another thread ends a wait; one given before the wait
    // is kept for it, and taken by it.
    device = std::jthread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FT_SetEvent(event.get());
    });
    QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
    QCOMPARE(events, DWORD(FT_EVENT_SIGNALLED));
    device.join();
    FT_SetEvent(event.get());
    QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
    QCOMPARE(events, DWORD(FT_EVENT_SIGNALLED));
    QCOMPARE(FT_WaitEvent(event.get(), 1, &events), FT_OK);
    QCOMPARE(events, DWORD(0));

    // Without the notification, waiting bytes do not end the wait.
    pty->send("\x01");
    QCOMPARE(FT_SetEventNotification(h, 0, event.get()), FT_OK);
    QCOMPARE(FT_WaitEvent(event.get(), 20, &events), FT_OK);
    QCOMPARE(events, DWORD(0));
    QCOMPARE(FT_SetEventNotification(h, FT_EVENT_RXCHAR, event.get()), FT_OK);
    QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
    QCOMPARE(events, DWORD(FT_EVENT_RXCHAR));
    QCOMPARE(FT_Read(h, bytes, 1, &got), FT_OK);

    // The device going away ends a wait: it fails, or (a hung-up terminal
    // may still read as readable) the read it leads to fails.
    device = std::jthread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty->closeMaster();
    });
    if (FT_WaitEvent(event.get(), Long, &events) == FT_OK) {
        QCOMPARE(events, DWORD(FT_EVENT_RXCHAR));
        QVERIFY(FT_Read(h, bytes, 1, &got) != FT_OK);
    }
    device.join();
    QVERIFY(FT_WaitEvent(event.get(), Long, &events) != FT_OK);

    // A closed handle cannot be registered, and a registration outliving
    // its handle fails the wait instead of watching nothing.
    QCOMPARE(FT_Close(h), FT_OK);
    closer.h = nullptr;
    QCOMPARE(FT_SetEventNotification(h, FT_EVENT_RXCHAR, event.get()), FT_INVALID_HANDLE);
    QVERIFY(FT_WaitEvent(event.get(), Long, &events) != FT_OK);
}

void TestSerialPort::refusesWhatIsNoSerialPort()
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/plain";
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    // A path that does not exist is a port not plugged in: not listed.
    QCOMPARE(listPorts(file + "=KORVANT KVP-DEV;" + dir.path() + "/missing=KORVANT KVP-DEV").size(),
             std::size_t(1));
    FT_HANDLE h = nullptr;
    QCOMPARE(FT_Open(0, &h), FT_DEVICE_NOT_OPENED);
    QCOMPARE(FT_Open(1, &h), FT_DEVICE_NOT_FOUND);
    QVERIFY(!h);
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_d2xx_serialport.moc"
