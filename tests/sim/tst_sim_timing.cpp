// Timing on the wire and the port's D2XX semantics under two threads.
#include "simtest.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <time.h>

using namespace sim;
using std::chrono::microseconds;

namespace {

const QByteArray kIdentify = hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC");

microseconds since(Clock::time_point t)
{
    return std::chrono::duration_cast<microseconds>(Clock::now() - t);
}

double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// What the program's link does: a reader thread taking one byte at a time
// with the 40 ms read time-out, handing bytes to whoever waits for them.
class ReaderThread {
public:
    explicit ReaderThread(FT_HANDLE h)
        : m_h(h)
        , m_thread([this] { run(); })
    {
    }
    ~ReaderThread() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    long take(std::uint8_t* into, std::size_t n)
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(40), [&] { return !m_bytes.empty(); });
        std::size_t got = 0;
        while (got < n && !m_bytes.empty()) {
            into[got++] = m_bytes.front();
            m_bytes.pop_front();
        }
        return static_cast<long>(got);
    }
    double cpuSeconds() const { return m_cpu; }
    int emptyReads() const { return m_empty; }

private:
    void run()
    {
        const double cpu0 = threadCpuSeconds();
        while (!m_stop) {
            std::uint8_t b = 0;
            DWORD got = 0;
            if (FT_Read(m_h, &b, 1, &got) != FT_OK)
                break;
            if (got == 0) {
                ++m_empty;
                continue;
            }
            std::lock_guard lock(m_mutex);
            m_bytes.push_back(b);
            m_cv.notify_all();
        }
        m_cpu = threadCpuSeconds() - cpu0;
    }
    FT_HANDLE m_h;
    std::atomic<bool> m_stop {false};
    std::atomic<double> m_cpu {0};
    std::atomic<int> m_empty {0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::uint8_t> m_bytes;
    std::thread m_thread;
};

} // namespace

class TestSimTiming : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Bus::instance().uninstall(); }

    void instantTimingQueuesTheWholeReplyAtOnce()
    {
        Bus::instance().install({DeviceConfig::recorder()});
        D2xxPort port;
        QVERIFY(port.write(kIdentify));
        DWORD rx = 0;
        QCOMPARE(FT_GetStatus(port.handle, &rx, nullptr, nullptr), FT_OK);
        QCOMPARE(rx, DWORD(64));
    }

    void wireTimingPacesBothDirections()
    {
        DeviceConfig c;
        c.timing = Timing::Wire;
        c.turnaroundUs = 2000;
        Bus::instance().install({c});
        D2xxPort port;
        const Clock::time_point start = Clock::now();
        QVERIFY(port.write(kIdentify));
        std::vector<microseconds> at;
        QByteArray reply;
        while (reply.size() < 64) {
            char b = 0;
            DWORD got = 0;
            QCOMPARE(FT_Read(port.handle, &b, 1, &got), FT_OK);
            QCOMPARE(got, DWORD(1));
            reply.append(b);
            at.push_back(since(start));
        }
        // The request needs 14 byte times to arrive, then the turnaround, then
        // the reply comes one byte every 44 microseconds.
        for (std::size_t i = 0; i < at.size(); ++i)
            QVERIFY2(at[i] >= microseconds(static_cast<long>(14 + i + 1) * 44 + 2000),
                     qPrintable(QStringLiteral("byte %1 at %2 us").arg(i).arg(at[i].count())));
        QCOMPARE(reply.mid(18, 7), QByteArray("MZT-500"));
    }

    void requestIsTakenInWhenItsLastByteArrives()
    {
        DeviceConfig c;
        c.timing = Timing::Wire;
        c.maxFrameSize = 40400;
        auto rec = Bus::instance().install({c}).front();
        D2xxPort port;
        FT_SetTimeouts(port.handle, 3000, 2000);
        // 40014 bytes take 1.76 s on the line.
        const QByteArray big = HostClient::encodeFrame(0, 0x0C, 0, 0, 0, QByteArray(40000, 'x'));
        const Clock::time_point start = Clock::now();
        QVERIFY(port.write(big));
        QVERIFY(rec->receivedFrames().empty());
        QVERIFY(rec->receivedBytes().size() < big.size());
        char reply[15];
        DWORD got = 0;
        QCOMPARE(FT_Read(port.handle, reply, sizeof reply, &got), FT_OK);
        QCOMPARE(got, DWORD(15));
        QVERIFY(since(start) >= microseconds((40014 + 15) * 44));
        QCOMPARE(rec->receivedFrames().size(), std::size_t(1));
    }

    void readWaitsForAllBytesOrTheTimeOut()
    {
        DeviceConfig c;
        c.turnaroundUs = 30000;
        Bus::instance().install({c});
        D2xxPort port;
        FT_SetTimeouts(port.handle, 200, 2000);
        QVERIFY(port.write(kIdentify));
        char buf[100];
        DWORD got = 0;
        const Clock::time_point start = Clock::now();
        QCOMPARE(FT_Read(port.handle, buf, 64, &got), FT_OK); // waits out the turnaround
        QCOMPARE(got, DWORD(64));
        QVERIFY(since(start) >= microseconds(25000));
        QVERIFY(port.write(kIdentify));
        QCOMPARE(FT_Read(port.handle, buf, 100, &got), FT_OK); // time-out: what came
        QCOMPARE(got, DWORD(64));
        QVERIFY(since(start) >= microseconds(200000));
    }

    void readerAndWriterThreadsShareThePort()
    {
        DeviceConfig c;
        c.maxFrameSize = 80;
        c.files[7] = makeFile(7, 1, 20000, 0);
        Bus::instance().install({c});
        D2xxPort port;
        QByteArray data;
        {
            ReaderThread reader(port.handle);
            HostClient host(
                [&](const std::uint8_t* d, std::size_t n) {
                    DWORD w = 0;
                    return FT_Write(port.handle, const_cast<std::uint8_t*>(d),
                                    static_cast<DWORD>(n), &w)
                        == FT_OK
                        && w == n;
                },
                [&](std::uint8_t* d, std::size_t n) { return reader.take(d, n); });
            QVERIFY(host.read(9, 7, &data));
            QVERIFY(host.read(10, 3, &data));
            // Wire pace for a while, with the reader on its own thread.
            Bus::instance().device(0)->setTiming(Timing::Wire, 100);
            QByteArray info;
            for (int i = 0; i < 20; ++i)
                QVERIFY(host.read(1, 0, &info));
        }
        QCOMPARE(data, *Bus::instance().device(0)->file(7));
    }

    void eventFollowsTheWireAndTheDevice()
    {
        // Waits that would end only by their time-out run for a minute: a
        // wake-up they miss shows as a hung test.
        constexpr DWORD Long = 60000;
        DeviceConfig c;
        c.timing = Timing::Wire;
        c.turnaroundUs = 2000;
        auto rec = Bus::instance().install({c}).front();
        D2xxPort port;
        std::unique_ptr<FT_EVENT, void (*)(FT_EVENT_HANDLE)> event(FT_CreateEvent(),
                                                                   FT_DestroyEvent);
        QCOMPARE(FT_SetEventNotification(port.handle, FT_EVENT_RXCHAR, event.get()), FT_OK);
        DWORD events = 7;

        // The reply ends the wait once its first bytes can be read, not
        // before: request, turnaround and at least one byte on the line.
        const Clock::time_point start = Clock::now();
        QVERIFY(port.write(kIdentify));
        QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
        QCOMPARE(events, DWORD(FT_EVENT_RXCHAR));
        QVERIFY(since(start) >= microseconds((14 + 1) * 44 + 2000));
        QByteArray reply;
        while (reply.size() < 64) {
            DWORD queued = 0;
            QCOMPARE(FT_GetStatus(port.handle, &queued, nullptr, nullptr), FT_OK);
            QVERIFY(queued > 0);
            QByteArray part(int(queued), '\0');
            DWORD got = 0;
            QCOMPARE(FT_Read(port.handle, part.data(), queued, &got), FT_OK);
            QCOMPARE(got, queued);
            reply.append(part);
            if (reply.size() < 64) {
                QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
                QCOMPARE(events, DWORD(FT_EVENT_RXCHAR));
            }
        }
        QCOMPARE(reply.mid(18, 7), QByteArray("MZT-500"));

        // A signal ends a wait for a reply that never comes.
        rec->setAnswering(false);
        QVERIFY(port.write(kIdentify));
        std::jthread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            FT_SetEvent(event.get());
        });
        QCOMPARE(FT_WaitEvent(event.get(), Long, &events), FT_OK);
        QCOMPARE(events, DWORD(FT_EVENT_SIGNALLED));
        other.join();

        // So does the device going away.
        other = std::jthread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rec->vanish();
        });
        QVERIFY(FT_WaitEvent(event.get(), Long, &events) != FT_OK);
    }

    void idleReaderSleepsInItsReads()
    {
        Bus::instance().install({DeviceConfig::recorder()});
        D2xxPort port;
        ReaderThread reader(port.handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        reader.stop();
        // Each empty read waited out its 40 ms instead of returning early.
        QVERIFY2(reader.emptyReads() <= 600 / 40 + 2,
                 qPrintable(QString::number(reader.emptyReads())));
        QVERIFY2(reader.cpuSeconds() < 0.3, qPrintable(QString::number(reader.cpuSeconds())));
    }
};

QTEST_GUILESS_MAIN(TestSimTiming)
#include "tst_sim_timing.moc"
