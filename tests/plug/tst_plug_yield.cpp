// The window comes first: a device held yielding by a background reader is
// let go when an ordinary open asks for it, in this process and from
// another one, and the holder's handle says so.
#include "d2xxhost.h"
#include "ftd2xx.h"
#include "recorder_session.h"
#include "simbus.h"
#include "simulator.h"
#include "yielding.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kGenerous = 20000;

// Opens the first listed device in that mode and sets its line up as the
// link does.
FT_HANDLE openFirst(d2xx::HoldMode mode, FT_STATUS* status)
{
    d2xx::HoldModeScope scope(mode);
    DWORD count = 0;
    FT_HANDLE h = nullptr;
    *status = FT_CreateDeviceInfoList(&count);
    if (*status == FT_OK)
        *status = FT_Open(0, &h);
    if (*status == FT_OK) {
        FT_SetBaudRate(h, 250000);
        FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
        FT_SetTimeouts(h, 100, 1000);
    }
    return h;
}

sim::DeviceConfig recorder()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = "KV004711";
    return c;
}

// What the taken callback was told, from the device layer's thread.
struct TakenLog {
    std::mutex lock;
    std::vector<std::string> devices;
    TakenLog()
    {
        d2xx::setTakenCallback([this](const std::string& device) {
            std::lock_guard guard(lock);
            devices.push_back(device);
        });
    }
    ~TakenLog() { d2xx::setTakenCallback({}); }
    std::vector<std::string> seen()
    {
        std::lock_guard guard(lock);
        return devices;
    }
};

} // namespace

class TestPlugYield : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { sim::Bus::instance().uninstall(); }

    // The ordinary open gets the device; the background handle fails with
    // its own status from then on and its holder is told which device went.
    void backgroundHolderLetsGo()
    {
        sim::Bus::instance().install({recorder()});
        TakenLog taken;

        FT_STATUS status = FT_OK;
        FT_HANDLE background = openFirst(d2xx::HoldMode::Yielding, &status);
        QCOMPARE(status, FT_OK);
        QVERIFY(sim::hostOverD2xx(background).deviceInfo());

        FT_HANDLE window = openFirst(d2xx::HoldMode::Ordinary, &status);
        QCOMPARE(status, FT_OK);
        QVERIFY(window);
        QVERIFY(sim::hostOverD2xx(window).deviceInfo());
        QTRY_COMPARE_WITH_TIMEOUT(taken.seen(), std::vector<std::string> {"KV004711"}, kGenerous);

        DWORD n = 0;
        std::uint8_t byte = 0;
        QCOMPARE(FT_Read(background, &byte, 1, &n), FT_DEVICE_TAKEN);
        QCOMPARE(FT_Write(background, &byte, 1, &n), FT_DEVICE_TAKEN);
        QCOMPARE(FT_GetStatus(background, &n, nullptr, nullptr), FT_DEVICE_TAKEN);
        QCOMPARE(FT_Close(background), FT_OK);

        // The list shows the window's handle as the one holding the device.
        DWORD count = 1;
        FT_DEVICE_LIST_INFO_NODE node {};
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(FT_GetDeviceInfoList(&node, &count), FT_OK);
        QCOMPARE(node.ftHandle, window);
        QCOMPARE(FT_Close(window), FT_OK);
    }

    // A background reader's master fails its next exchange at once, and
    // the reason it reports is that another program took the recorder.
    void backgroundMasterLearnsWhy()
    {
        std::optional<SimSetup> background;
        {
            d2xx::HoldModeScope scope(d2xx::HoldMode::Yielding);
            background.emplace(std::vector {recorder()});
        }
        QString model;
        uint software = 0, hardware = 0;
        QVERIFY(background->master.getDeviceInfo(&model, &software, &hardware));

        FT_STATUS status = FT_OK;
        FT_HANDLE window = openFirst(d2xx::HoldMode::Ordinary, &status);
        QCOMPARE(status, FT_OK);
        QVERIFY(!background->master.getDeviceInfo(&model, &software, &hardware));
        QVERIFY(background->link.deviceTaken());
        QCOMPARE(core::lostRecorderReasonOr(&background->master, QString()),
                 QStringLiteral("The recorder was taken by another program."));
        // The window keeps it: the background link does not win it back.
        QVERIFY(sim::hostOverD2xx(window).deviceInfo());
        FT_Close(window);
    }

    // A read running on the background handle's other thread when the
    // request comes ends, and the device is handed over after it.
    void handedOverAfterARunningRead()
    {
        sim::Bus::instance().install({recorder()});
        TakenLog taken;
        FT_STATUS status = FT_OK;
        FT_HANDLE background = openFirst(d2xx::HoldMode::Yielding, &status);
        QCOMPARE(status, FT_OK);
        QCOMPARE(FT_SetTimeouts(background, 500, 500), FT_OK);
        std::atomic<FT_STATUS> laterRead {FT_OK};
        std::thread reader([&] {
            std::uint8_t byte = 0;
            DWORD n = 0;
            FT_Read(background, &byte, 1, &n); // nothing comes: the time-out
            laterRead = FT_Read(background, &byte, 1, &n);
        });
        FT_HANDLE window = openFirst(d2xx::HoldMode::Ordinary, &status);
        reader.join();
        QCOMPARE(status, FT_OK);
        QCOMPARE(laterRead.load(), FT_DEVICE_TAKEN);
        QVERIFY(sim::hostOverD2xx(window).deviceInfo());
        FT_Close(window);
        FT_Close(background);
    }

    // Only a background holder lets go: an ordinary holder keeps its
    // device, and one background reader does not take it from another.
    void othersKeepTheirDevice_data()
    {
        QTest::addColumn<d2xx::HoldMode>("holder");
        QTest::addColumn<d2xx::HoldMode>("requester");
        QTest::newRow("ordinary holder") << d2xx::HoldMode::Ordinary << d2xx::HoldMode::Ordinary;
        QTest::newRow("background requester")
            << d2xx::HoldMode::Yielding << d2xx::HoldMode::Yielding;
    }

    void othersKeepTheirDevice()
    {
        QFETCH(d2xx::HoldMode, holder);
        QFETCH(d2xx::HoldMode, requester);
        sim::Bus::instance().install({sim::DeviceConfig::recorder()});
        TakenLog taken;
        FT_STATUS status = FT_OK;
        FT_HANDLE first = openFirst(holder, &status);
        QCOMPARE(status, FT_OK);
        FT_HANDLE second = openFirst(requester, &status);
        QCOMPARE(status, FT_DEVICE_IN_USE);
        QVERIFY(!second);
        QVERIFY(sim::hostOverD2xx(first).deviceInfo());
        QVERIFY(taken.seen().empty());
        FT_Close(first);
    }

    // Across processes: a holder in another process, on a serial port
    // (a pseudo-terminal named in MZT500_PORTS), lets go to this one.
    void anotherProgramLetsGo()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MZT500_PORTS", slave + "=KORVANT KVP-DEV");
        qputenv("MZT500_PORTS", (slave + "=KORVANT KVP-DEV").toLocal8Bit());

        QProcess holder;
        holder.setProcessEnvironment(env);
        holder.start(QStringLiteral(YIELD_HOLDER_PATH), {});
        QVERIFY(holder.waitForStarted(kGenerous));
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), kGenerous);
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

        FT_STATUS status = FT_OK;
        FT_HANDLE window = openFirst(d2xx::HoldMode::Ordinary, &status);
        QCOMPARE(status, FT_OK);
        QVERIFY(holder.waitForFinished(kGenerous));
        QCOMPARE(holder.exitCode(), 0);
        QCOMPARE(
            holder.readAll().trimmed(),
            QByteArray("taken " + slave.toLocal8Bit() + " " + QByteArray::number(FT_DEVICE_TAKEN)));
        FT_Close(window);
        ::close(master);
        qunsetenv("MZT500_PORTS");
    }
};

QTEST_GUILESS_MAIN(TestPlugYield)
#include "tst_plug_yield.moc"
