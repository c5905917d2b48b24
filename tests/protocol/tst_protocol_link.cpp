// The USB link against the simulated bus: listing and naming, opening,
// reopening and unplugging.
#include "protocoltest.h"

#include "ftd2xx.h"

#include <QThread>

#include <atomic>
#include <limits>
#include <thread>

namespace {

sim::DeviceConfig described(const std::string& text)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.description = text;
    return c;
}

// Whether list position p can be opened by someone else right now.
bool openable(int position)
{
    DWORD count = 0;
    FT_HANDLE h = nullptr;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || FT_Open(position, &h) != FT_OK)
        return false;
    FT_Close(h);
    return true;
}

} // namespace

class TestProtocolLink : public SimBusTest {
    Q_OBJECT
private slots:
    void namesRecordersAndDongles()
    {
        using sim::DeviceConfig;
        KVPmPhyUSB link;
        QVERIFY(link.lastError().isEmpty());

        sim::Bus::instance().install({});
        QHash<int, QString>* table = link.listDevices();
        QVERIFY(table);
        QVERIFY(table->isEmpty());
        QCOMPARE(link.lastError(), QStringLiteral("No device found."));
        QVERIFY(!link.connectDevice());
        QVERIFY(!link.isRunning());

        // A foreign device does not use up a number; a longer description
        // is not a recorder; one counter runs across both kinds.
        sim::Bus::instance().install({DeviceConfig::dongle(), DeviceConfig::recorder(),
                                      DeviceConfig::foreign(), described("KORVANT KVP-DEV2"),
                                      described("KORVANT KVP-DE"), DeviceConfig::recorder()});
        table = link.listDevices();
        QVERIFY(table);
        const QHash<int, QString> expected {{0, QStringLiteral("USB Dongle 1")},
                                            {1, QStringLiteral("USB Device 2")},
                                            {5, QStringLiteral("USB Device 3")}};
        QCOMPARE(*table, expected);
    }

    void opensTheChosenRecorder()
    {
        SimSetup s({sim::DeviceConfig::foreign(), sim::DeviceConfig::recorder(),
                    sim::DeviceConfig::recorder()});
        // Index -1: the lowest listed recorder.
        QVERIFY(s.link.isConnected());
        QVERIFY(s.link.isRunning());
        QVERIFY(!openable(1));
        QVERIFY(openable(2));
        QCOMPARE(s.master.checkConnection(), 2);
        QCOMPARE(s.recorder(1).receivedFrames().size(), 1u);

        // Connecting again to the same recorder keeps its handle.
        QVERIFY(s.link.connectDevice());
        QCOMPARE(s.master.checkConnection(), 2);
        QCOMPARE(s.recorder(1).receivedFrames().size(), 2u);

        // Another recorder: the first one is released before the switch.
        s.link.setDeviceIndex(2);
        QVERIFY(s.link.connectDevice());
        QVERIFY(openable(1));
        QVERIFY(!openable(2));
        QCOMPARE(s.master.checkConnection(), 2);
        QCOMPARE(s.recorder(2).receivedFrames().size(), 1u);

        s.link.disconnectDevice();
        QVERIFY(!s.link.isRunning());
        QVERIFY(!s.link.isConnected());
        QVERIFY(openable(2));
    }

    void unlistedIndexLeavesTheLinkUnconnected()
    {
        SimSetup s({sim::DeviceConfig::recorder(), sim::DeviceConfig::recorder()});
        s.link.setDeviceIndex(5);
        QVERIFY(!s.link.connectDevice());
        QVERIFY(s.link.isRunning());
        QVERIFY(openable(0)); // the previous recorder was let go
        const char probe[4] = {0, 0, 0, 0};
        QVERIFY(!s.link.send(sizeof probe, probe));
        QCOMPARE(s.link.lastError(),
                 QStringLiteral("Trying to send data, while device is not connected"));
        QCOMPARE(s.master.checkConnection(), 1);
        unsigned char byte = 0;
        QVERIFY(!s.link.receive(&byte, 1));
        QCOMPARE(s.link.lastError(),
                 QStringLiteral("Trying to read from device, while device is not connected"));
    }

    void noticesAnUnpluggedRecorder()
    {
        SimSetup s;
        QVERIFY(s.link.checkStatus());
        unsigned char byte = 0;
        QVERIFY(!s.link.receive(&byte, 1));
        QCOMPARE(s.link.lastError(), QStringLiteral("Read operation has timed out"));

        s.recorder().vanish();
        QVERIFY(!s.link.checkStatus());
        QVERIFY(!s.link.isConnected());
        QVERIFY(s.link.isOpen()); // the handle is kept until disconnecting
        QCOMPARE(s.master.checkConnection(), 1);

        // Plugged in again, connecting replaces the stale handle.
        s.recorder().reappear();
        QCOMPARE(s.master.checkConnection(), 1); // the lost link stays lost for the probe
        s.master.connectLink();
        unsigned char reply[4];
        uint length = 0;
        QVERIFY(s.master.readData(4, reply, &length, 18, 0));
        QVERIFY(s.link.isConnected());
    }

    void blockedWaitsEndOnStopAndUnplug()
    {
        // No reply comes and the reply time-out would not end the wait for
        // weeks: only the wake-up under test can end it (or the test hangs).
        SimSetup s({sim::DeviceConfig::recorder()}, std::numeric_limits<int>::max());
        s.recorder().setAnswering(false);
        std::atomic<int> result {0};
        auto readTransferMode = [&] {
            unsigned char reply[4];
            uint length = 0;
            result = s.master.readData(4, reply, &length, 18, 0) ? 2 : 1;
        };

        // Stopping the link while its reader waits for the reply's bytes.
        std::jthread caller(readTransferMode);
        QTRY_VERIFY(s.master.isBusy());
        QThread::msleep(50); // the reader is waiting in the device layer by now
        s.link.disconnectDevice();
        QVERIFY(!s.link.isRunning());
        QCOMPARE(result.load(), 0); // the caller still waits for its reply
        s.master.cancel();
        caller.join();
        QCOMPARE(result.load(), 1);

        // Unplugging the recorder while the reader waits.
        s.master.connectLink();
        QVERIFY(s.link.isConnected());
        result = 0;
        caller = std::jthread(readTransferMode);
        QTRY_VERIFY(s.master.isBusy());
        QThread::msleep(50);
        s.recorder().vanish();
        caller.join();
        QCOMPARE(result.load(), 1);
        QVERIFY(!s.link.isConnected());
        QVERIFY(s.master.isLinkLost());
    }

    void repliesBeforeTheTimeOutCountAndLateOnesAreLeftBehind()
    {
        // A reply well inside the time-out is taken; one that comes well
        // after it fails the exchange (the master never asks twice), and
        // arriving later it does not confuse the next transaction. Margins
        // of half a time-out on either side keep a loaded machine from
        // turning one case into the other.
        constexpr int TimeoutMs = 200;
        SimSetup s;
        QString name;
        uint software = 0, hardware = 0;
        for (const bool late : {false, true}) {
            s.recorder().clearLogs();
            s.master.setTimeout(TimeoutMs);
            s.recorder().setTiming(sim::Timing::Instant, (late ? 3 : 1) * TimeoutMs * 1000 / 2);
            unsigned char reply[4];
            const kvp::TransferOutcome outcome = s.master.read(4, reply, 18, 0);
            QCOMPARE(outcome.ok(), !late);
            QCOMPARE(s.master.isLinkLost(), late);
            QCOMPARE(outcome.cause, late ? kvp::FailureCause::NoReply : kvp::FailureCause::None);
            QCOMPARE(s.recorder().receivedFrames().size(), 1u);
            s.master.setTimeout(5000);
            s.recorder().setTiming(sim::Timing::Instant, 0);
            QVERIFY(s.master.getDeviceInfo(&name, &software, &hardware));
            QCOMPARE(name, QStringLiteral("MZT-500"));
        }
    }
};

QTEST_GUILESS_MAIN(TestProtocolLink)
#include "tst_protocol_link.moc"
