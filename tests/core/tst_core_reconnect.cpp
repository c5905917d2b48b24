// An operation that reopens its recorder (after entering the transfer mode,
// before a firmware update, after the device went away) reaches the recorder
// it started on, whatever position that one has in the device list after
// another was unplugged, or fails naming it. Three recorders: work on the
// second, unplug the first, and the third moves into the second's position.
#include "firmware_transfer.h"
#include "kv2testfiles.h"
#include "protocoltest.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"
#include "updateimage.h"

using core::ResultCode;

namespace {

constexpr std::uint16_t File = 5;

sim::DeviceConfig recorder(const std::string& serial)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = serial;
    c.files = {{File, sim::makeFile(File, mzt500::SequenceRecord, 300, 1000)}};
    return c;
}

// Three recorders, the master discovered them and works on the second.
struct ThreeRecorders {
    SimSetup s;
    QList<core::FoundDevice> found;

    explicit ThreeRecorders(const std::array<std::string, 3>& serials)
        : s({recorder(serials[0]), recorder(serials[1]), recorder(serials[2])})
    {
        found = core::discoverDevices(&s.master, &s.link);
        if (found.size() == 3)
            core::connectTo(&s.master, &s.link, found[1].deviceIndex);
        for (const auto& d : s.devices)
            d->clearLogs();
    }
    sim::Recorder& first() { return s.recorder(0); }
    sim::Recorder& second() { return s.recorder(1); }
    sim::Recorder& third() { return s.recorder(2); }
    // The first recorder is unplugged: the third takes the second's position.
    void unplugFirst()
    {
        first().vanish();
        DWORD count = 0;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(2));
    }
    core::Result deleteTheFile()
    {
        return core::deleteFiles(&s.master, {core::FileRef {File, QStringLiteral("SEQUENCE 05")}});
    }
};

} // namespace

class TestCoreReconnect : public SimBusTest {
    Q_OBJECT

private slots:
    void reopensTheRecorderItStartedOn_data()
    {
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::newRow("serial numbers") << QList<QByteArray> {"KV-A", "KV-B", "KV-C"};
        // Known by their sockets: no serial numbers, or one shared by all.
        QTest::newRow("no serial numbers") << QList<QByteArray> {"", "", ""};
        QTest::newRow("one serial number") << QList<QByteArray> {"KV-X", "KV-X", "KV-X"};
    }

    void reopensTheRecorderItStartedOn()
    {
        QFETCH(QList<QByteArray>, serials);
        ThreeRecorders r(
            {serials[0].toStdString(), serials[1].toStdString(), serials[2].toStdString()});
        QCOMPARE(r.found.size(), 3);
        r.unplugFirst();

        // Entering the transfer mode reopens the recorder.
        QCOMPARE(core::enterTransferMode(&r.s.master), core::TransferMode::Entered);
        QVERIFY(r.second().inTransferMode());
        QVERIFY(r.deleteTheFile().ok());
        QVERIFY(!r.second().file(File));
        QVERIFY(r.third().file(File));
        QVERIFY(!r.third().inTransferMode());
        QVERIFY(r.third().receivedFrames().empty());

        // Choosing it again by its discovery position reaches it too.
        r.s.master.stopAndReset();
        core::connectTo(&r.s.master, &r.s.link, r.found[1].deviceIndex);
        QVERIFY(core::readContent(&r.s.master).result.ok());
        QVERIFY(r.third().receivedFrames().empty());
        // While the third recorder, chosen by its own, is still reached.
        core::connectTo(&r.s.master, &r.s.link, r.found[2].deviceIndex);
        QVERIFY(core::readContent(&r.s.master).result.ok());
        QVERIFY(!r.third().receivedFrames().empty());

        // The second alone is left: it is there, whatever it shared before.
        core::connectTo(&r.s.master, &r.s.link, r.found[1].deviceIndex);
        r.third().vanish();
        QCOMPARE(core::lostRecorderReasonOr(&r.s.master, QStringLiteral("there")),
                 QStringLiteral("there"));
        QVERIFY(core::readContent(&r.s.master).result.ok());
    }

    void aRecorderThatCameBackIsReachedAgain()
    {
        ThreeRecorders r({"KV-A", "KV-B", "KV-C"});
        r.unplugFirst();
        // Plugged out and in again: a new USB device, now first in the list.
        r.second().vanish();
        r.second().reappear();
        // Reopened as a deletion reopens it after a failed status poll.
        r.s.master.stopAndReset();
        r.s.master.connectLink();
        QCOMPARE(core::enterTransferMode(&r.s.master), core::TransferMode::Entered);
        QVERIFY(r.deleteTheFile().ok());
        QVERIFY(!r.second().file(File));
        QVERIFY(r.third().file(File));
        QVERIFY(r.third().receivedFrames().empty());
    }

    void aRecorderThatIsGoneFailsNamingIt_data()
    {
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<QString>("reason");
        QTest::newRow("serial number")
            << QByteArray("KV-B") << QStringLiteral("The recorder KV-B is no longer connected.");
        QTest::newRow("no serial number")
            << QByteArray() << QStringLiteral("The recorder at sim:slot2 is no longer connected.");
    }

    void aRecorderThatIsGoneFailsNamingIt()
    {
        QFETCH(QByteArray, serial);
        QFETCH(QString, reason);
        ThreeRecorders r(
            {serial.isEmpty() ? "" : "KV-A", serial.toStdString(), serial.isEmpty() ? "" : "KV-C"});
        r.unplugFirst();
        r.second().vanish();

        // Found missing when reopened.
        r.s.master.stopAndReset();
        r.s.master.connectLink();
        QVERIFY(!r.s.link.isConnected());
        QCOMPARE(core::enterTransferMode(&r.s.master), core::TransferMode::NoAnswer);
        QCOMPARE(core::lostRecorderReasonOr(&r.s.master, QString()), reason);
        // A caller that goes on regardless reaches nothing either.
        QCOMPARE(r.deleteTheFile().code, ResultCode::DeleteFailed);
        const core::Content content = core::readContent(&r.s.master);
        QCOMPARE(content.result.code, ResultCode::NoAnswer);
        QCOMPARE(content.result.reason, reason);
        QCOMPARE(r.s.link.lastError(), reason);
        QVERIFY(r.third().file(File));
        QVERIFY(r.third().receivedFrames().empty());

        // Discovery numbers what is there now; choosing anew clears the reason.
        const QList<core::FoundDevice> now = core::discoverDevices(&r.s.master, &r.s.link);
        QCOMPARE(now.size(), 1);
        QCOMPARE(core::lostRecorderReasonOr(&r.s.master, QStringLiteral("none")),
                 QStringLiteral("none"));
    }

    void aRecorderGoneUnnoticedIsNamedToo()
    {
        // It vanished in the middle of an exchange, with no reopening since.
        ThreeRecorders r({"KV-A", "KV-B", "KV-C"});
        r.unplugFirst();
        r.second().vanish();
        QCOMPARE(core::enterTransferMode(&r.s.master), core::TransferMode::NoAnswer);
        QCOMPARE(core::lostRecorderReasonOr(&r.s.master, QString()),
                 QStringLiteral("The recorder KV-B is no longer connected."));
        QVERIFY(r.third().receivedFrames().empty());
    }

    void aFirmwareUpdateGoesToTheRecorderChosen()
    {
        UpdateImage image;
        QVERIFY(image.loadFromBytes(makeKv2File("MZT-500", {512, 768})));
        {
            ThreeRecorders r({"KV-A", "KV-B", "KV-C"});
            r.unplugFirst();
            QVERIFY(core::sendFirmware(&r.s.master, &r.s.link, r.found[1].deviceIndex, image).ok());
            QVERIFY(r.second().firmware().complete);
            QVERIFY(r.third().receivedFrames().empty());
        }
        {
            ThreeRecorders r({"KV-A", "KV-B", "KV-C"});
            r.unplugFirst();
            r.second().vanish();
            const core::Result result =
                core::sendFirmware(&r.s.master, &r.s.link, r.found[1].deviceIndex, image);
            QCOMPARE(result.code, ResultCode::NoAnswer);
            QCOMPARE(result.reason, QStringLiteral("The recorder KV-B is no longer connected."));
            QVERIFY(r.third().receivedFrames().empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestCoreReconnect)
#include "tst_core_reconnect.moc"
