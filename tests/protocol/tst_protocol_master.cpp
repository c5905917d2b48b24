// The protocol master and the recorder's command set against the simulated
// recorder and its injected faults.
#include "protocoltest.h"
#include "simframes.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>

#include <atomic>

Q_DECLARE_METATYPE(sim::RepeatedFrames)

namespace {

sim::DeviceConfig recorderWithFrame(std::uint16_t frame)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.maxFrameSize = frame;
    return c;
}

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(i * 7 + 1);
    return b;
}

bool write(KVPMaster& m, const QByteArray& data, unsigned char command = 0)
{
    return m.writeData(uint(data.size()), reinterpret_cast<const unsigned char*>(data.constData()),
                       command, 0);
}

using testcommon::framesOf;

std::vector<uint> valuesOf(const QSignalSpy& spy)
{
    std::vector<uint> v;
    for (const QList<QVariant>& args : spy)
        v.push_back(args.at(0).toUInt());
    return v;
}

// Reads a stored file the way the download does: size, then data.
bool readFile(KVPMaster& m, ushort number, QByteArray* data)
{
    unsigned char size[4];
    uint length = 0;
    if (!m.readData(4, size, &length, 9, number) || length != 4)
        return false;
    const uint n = uint(size[0] | size[1] << 8 | size[2] << 16 | size[3] << 24);
    data->resize(n);
    return m.readData(n, reinterpret_cast<unsigned char*>(data->data()), &length, 10, 3)
        && length == n;
}

} // namespace

class TestProtocolMaster : public QObject {
    Q_OBJECT
private slots:
    void init() { sim::Bus::instance().uninstall(); }

    void writesInChunksThatFitTheFrame()
    {
        SimSetup s({recorderWithFrame(80)});
        QSignalSpy spy(&s.master, &KVPMaster::sigTransferred);

        QVERIFY(write(s.master, pattern(66)));
        auto frames = framesOf(s.recorder(), 0);
        QCOMPARE(frames.size(), 1u);
        QCOMPARE(frames[0].flags, 0x0C);
        QCOMPARE(frames[0].payload, pattern(66));
        QVERIFY(spy.isEmpty());

        s.recorder().clearLogs();
        QVERIFY(write(s.master, pattern(67)));
        frames = framesOf(s.recorder(), 0);
        QCOMPARE(frames.size(), 2u);
        QCOMPARE(frames[0].payload.size(), 64);
        QCOMPARE(frames[0].flags, 0x08);
        QCOMPARE(frames[0].sequence, 0);
        QCOMPARE(frames[1].payload.size(), 3);
        QCOMPARE(frames[1].flags, 0x04);
        QCOMPARE(frames[1].sequence, 1);
        QCOMPARE(valuesOf(spy), std::vector<uint>({100}));

        s.recorder().clearLogs();
        spy.clear();
        QVERIFY(write(s.master, pattern(200)));
        frames = framesOf(s.recorder(), 0);
        QCOMPARE(frames.size(), 4u);
        const int sizes[] = {64, 64, 64, 8};
        const int flags[] = {0x08, 0x00, 0x00, 0x04};
        QByteArray joined;
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(frames[i].payload.size(), sizes[i]);
            QCOMPARE(frames[i].flags, flags[i]);
            QCOMPARE(frames[i].sequence, i);
            joined += frames[i].payload;
        }
        QCOMPARE(joined, pattern(200));
        QCOMPARE(valuesOf(spy), std::vector<uint>({64, 96, 100}));
        QCOMPARE(KVPMaster::percentOf(45'000'000, 50'000'000), 90u);
    }

    void takesTheRecorderFrameSize_data()
    {
        QTest::addColumn<int>("reported");
        QTest::addColumn<int>("used");
        QTest::addColumn<int>("single");
        QTest::addColumn<int>("chunk");
        QTest::newRow("64 is raised to 80") << 64 << 80 << 66 << 64;
        QTest::newRow("200") << 200 << 200 << 186 << 184;
        QTest::newRow("65535 is bounded by the buffers") << 65535 << 40400 << 40386 << 40384;
    }
    void takesTheRecorderFrameSize()
    {
        QFETCH(int, reported);
        QFETCH(int, used);
        QFETCH(int, single);
        QFETCH(int, chunk);
        SimSetup s({recorderWithFrame(std::uint16_t(reported))});
        QString name;
        uint software = 0, hardware = 0;
        QVERIFY(s.master.getDeviceInfo(&name, &software, &hardware));
        QCOMPARE(name, QStringLiteral("MZT-500"));
        QCOMPARE(software, 0x0104u);
        QCOMPARE(hardware, 0x0102u);
        QCOMPARE(s.master.maximumFrameSize(), used);

        s.recorder().clearLogs();
        QVERIFY(write(s.master, pattern(single)));
        QCOMPARE(framesOf(s.recorder(), 0).size(), 1u);

        s.recorder().clearLogs();
        QVERIFY(write(s.master, pattern(2 * single + 1)));
        const auto frames = framesOf(s.recorder(), 0);
        QVERIFY(frames.size() >= 3);
        for (std::size_t i = 0; i + 1 < frames.size(); ++i)
            QCOMPARE(frames[i].payload.size(), chunk);
    }

    void identificationRecordIsCheckedAndBounded()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.model = std::string(45, 'M');
        {
            SimSetup s({c});
            QString name;
            uint sw = 0, hw = 0;
            QVERIFY(s.master.getDeviceInfo(&name, &sw, &hw));
            QCOMPARE(name, QString(39, QLatin1Char('M')));
        }

        // Records one byte short or long are refused and change nothing.
        ScriptedLink link;
        KVPMaster master;
        master.attachLink(&link);
        master.setTimeout(300);
        QByteArray record(50, '\0');
        record[46] = char(0x00);
        record[47] = char(0x02); // 512
        for (int length : {49, 51}) {
            link.script({{ScriptedLink::read(1), KVP_TYPE_DATA,
                          record.left(49) + QByteArray(length - 49, '\0'), 0x0C}});
            QString name = QStringLiteral("before");
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(QStringLiteral("Read Length %1").arg(length)));
            QVERIFY(!master.getDeviceInfo(&name, nullptr, nullptr));
            QCOMPARE(name, QStringLiteral("before"));
            QCOMPARE(master.maximumFrameSize(), 80);
        }
        link.script({{ScriptedLink::read(1), KVP_TYPE_DATA, record, 0x0C}});
        QVERIFY(master.getDeviceInfo(nullptr, nullptr, nullptr));
        QCOMPARE(master.maximumFrameSize(), 512);
    }

    void repeatsAMiddleFrameOnce()
    {
        SimSetup s({recorderWithFrame(80)});
        sim::Faults f;
        f.statusAtFrame = 1;
        f.status = 7;
        s.recorder().setFaults(f);
        QVERIFY(write(s.master, pattern(200)));
        auto frames = framesOf(s.recorder(), 0);
        QCOMPARE(frames.size(), 5u);
        QCOMPARE(frames[1].flags, 0x00);
        QCOMPARE(frames[2].flags, 0x01);
        QCOMPARE(frames[2].payload, frames[1].payload);
        QCOMPARE(frames[2].sequence, frames[1].sequence);
        // On the wire: the same frame with flags 0x01 and both checksums one higher.
        const QByteArray wire = s.recorder().receivedBytes();
        const qsizetype frameLength = 14 + 64;
        const QByteArray first = wire.mid(frameLength, frameLength);
        const QByteArray again = wire.mid(2 * frameLength, frameLength);
        QCOMPARE(std::uint8_t(again[3]), 0x01);
        QCOMPARE(std::uint8_t(again[11]), std::uint8_t(first[11] + 1));
        QCOMPARE(std::uint8_t(again[frameLength - 2]), std::uint8_t(first[frameLength - 2] + 1));
        QCOMPARE(again.mid(12, 64), first.mid(12, 64));

        // A second refusal of the same frame fails the write there.
        s.recorder().clearLogs();
        f.statusCount = 2;
        s.recorder().setFaults(f);
        QVERIFY(!write(s.master, pattern(200)));
        QCOMPARE(framesOf(s.recorder(), 0).size(), 3u);
    }

    void failedFirstFrameEndsTheWrite()
    {
        SimSetup s({recorderWithFrame(80)});
        sim::Faults f;
        f.statusAtFrame = 0;
        f.status = sim::StatusRefused;
        s.recorder().setFaults(f);
        QSignalSpy spy(&s.master, &KVPMaster::sigTransferred);
        QVERIFY(!write(s.master, pattern(200)));
        QCOMPARE(framesOf(s.recorder(), 0).size(), 1u);
        QVERIFY(spy.isEmpty());
    }

    void readsAcrossFrames()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        // Start and end bytes everywhere in the payload.
        QByteArray content = sim::makeFile(3, 1, 300, 1000);
        for (int i = 16; i < content.size(); i += 3)
            content[i] = char(i % 2 ? 0xAA : 0xCC);
        c.files[3] = content;
        SimSetup s({c});
        QSignalSpy spy(&s.master, &KVPMaster::sigReceived);

        unsigned char size[4];
        uint length = 0;
        QVERIFY(s.master.readData(4, size, &length, 9, 3));
        QCOMPARE(length, 4u);
        QCOMPARE(valuesOf(spy), std::vector<uint>({0, 4, 0xFFFFFFFFu}));

        spy.clear();
        QByteArray data(300, '\0');
        QVERIFY(
            s.master.readData(300, reinterpret_cast<unsigned char*>(data.data()), &length, 10, 3));
        QCOMPARE(length, 300u);
        QCOMPARE(data, content);
        QCOMPARE(valuesOf(spy), std::vector<uint>({0, 66, 132, 198, 264, 300, 0xFFFFFFFFu}));
    }

    void readStaysInsideTheBuffer()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        c.files[5] = sim::makeFile(5, 1, 200, 1000);
        SimSetup s({c});
        unsigned char size[4];
        uint length = 0;

        // The buffer fills up before the recorder marks its last reply.
        QVERIFY(s.master.readData(4, size, &length, 9, 5));
        QByteArray data(132, '\0');
        QVERIFY(
            !s.master.readData(132, reinterpret_cast<unsigned char*>(data.data()), &length, 10, 3));
        QCOMPARE(length, 132u);
        QCOMPARE(data, c.files[5].left(132));

        // A reply larger than the room left fails instead of running past it.
        QVERIFY(s.master.readData(4, size, &length, 9, 5));
        QByteArray guarded(100 + 64, char(0x5A));
        QVERIFY(!s.master.readData(100, reinterpret_cast<unsigned char*>(guarded.data()), &length,
                                   10, 3));
        QVERIFY(length <= 100);
        QCOMPARE(guarded.mid(100), QByteArray(64, char(0x5A)));
    }

    void emptyRepliesAndMalformedStatus()
    {
        ScriptedLink link;
        KVPMaster master;
        master.attachLink(&link);
        master.setTimeout(300);
        unsigned char buffer[8];
        uint length = 0;

        // An empty first reply that is not last asks for more.
        link.script({{ScriptedLink::read(10), KVP_TYPE_DATA, {}, 0x08},
                     {ScriptedLink::read(10, KVP_FLAG_LAST), KVP_TYPE_DATA, "\1\2\3\4", 0x04}});
        QVERIFY(master.readData(8, buffer, &length, 10, 3));
        QCOMPARE(bytesOf(buffer, length), QByteArray("\1\2\3\4"));

        // An empty follow-up never ends: it fails the read.
        link.script({{ScriptedLink::read(10), KVP_TYPE_DATA, "\1\2", 0x08},
                     {ScriptedLink::read(10, KVP_FLAG_LAST), KVP_TYPE_DATA, {}, 0x04}});
        QVERIFY(!master.readData(8, buffer, &length, 10, 3));
        QCOMPARE(length, 2u);

        // Status replies without a status byte fail reads and writes.
        link.script({{ScriptedLink::read(9), KVP_TYPE_STATUS, {}, 0x0C}});
        QVERIFY(!master.readData(8, buffer, &length, 9, 1));
        link.script({{ScriptedLink::write(0), KVP_TYPE_STATUS, {}, 0x0C}});
        QVERIFY(!write(master, "abcd"));
        link.script({{ScriptedLink::write(0), KVP_TYPE_STATUS, QByteArray(1, '\0'), 0x0C}});
        QVERIFY(write(master, "abcd"));
    }

    void successStatusDoesNotAnswerARead()
    {
        SimSetup s;
        sim::Faults f;
        f.statusCommand = 9;
        f.status = 0;
        s.recorder().setFaults(f);
        unsigned char buffer[4];
        uint length = 99;
        QVERIFY(!s.master.readData(4, buffer, &length, 9, 1));
        QCOMPARE(length, 0u);
    }

    void ignoresAForeignAddressUntilTheTimeout()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.replyAddress = 0x05;
        SimSetup s({c}, 200);
        QElapsedTimer t;
        t.start();
        unsigned char buffer[4];
        uint length = 0;
        QVERIFY(!s.master.readData(4, buffer, &length, 18, 0));
        QVERIFY(t.elapsed() >= 150);
        // Given up at the first time-out, never asked twice.
        QCOMPARE(framesOf(s.recorder(), 18).size(), 1u);
    }

    void recoversAfterACutShortReply()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        c.files[7] = sim::makeFile(7, 1, 150, 1000);
        SimSetup s({c}, 200);
        sim::Faults f;
        f.dropAtFrame = 1; // the first data reply loses a payload byte
        f.faultOffset = 30;
        s.recorder().setFaults(f);
        QByteArray data;
        QVERIFY(!readFile(s.master, 7, &data));
        s.recorder().clearFaults();
        QVERIFY(readFile(s.master, 7, &data));
        QCOMPARE(data, c.files[7]);
    }

    void aLostReplyFailsTheTransferWithoutRepeatingAFrame_data()
    {
        QTest::addColumn<sim::RepeatedFrames>("repeated");
        QTest::newRow("recorder recognises repetitions") << sim::RepeatedFrames::Recognised;
        QTest::newRow("recorder takes every frame as new") << sim::RepeatedFrames::TakenAsNew;
    }

    void aLostReplyFailsTheTransferWithoutRepeatingAFrame()
    {
        // Whatever the recorder does with a frame it gets twice, a reply
        // that does not come fails the transfer there: nothing is sent
        // again, so nothing can be stored twice or skipped.
        QFETCH(sim::RepeatedFrames, repeated);
        sim::DeviceConfig c = recorderWithFrame(80);
        c.repeatedFrames = repeated;
        c.files[7] = sim::makeFile(7, 1, 150, 1000);
        SimSetup s({c}, 200);
        const QByteArray content = sim::makeFile(9, 1, 200, 1000);
        const auto fault = [&](int frame, int offset) {
            sim::Faults f;
            f.dropAtFrame = frame;
            f.faultOffset = offset;
            s.recorder().removeFile(9);
            s.recorder().clearLogs();
            s.recorder().setFaults(f);
        };
        // Frame 0 selects file 9 for writing, frames 1.. carry its 64-byte
        // chunks (the last one 8 bytes).
        const auto writeFile = [&] {
            unsigned char ready[4];
            uint length = 0;
            if (!s.master.readData(4, ready, &length, 14, 9))
                return kvp::TransferOutcome {kvp::FailureCause::Refused};
            return s.master.write(uint(content.size()),
                                  reinterpret_cast<const unsigned char*>(content.constData()), 15,
                                  0);
        };

        // The acknowledgement of the second chunk lost a byte.
        fault(2, 12);
        kvp::TransferOutcome outcome = writeFile();
        QCOMPARE(outcome.cause, kvp::FailureCause::NoReply);
        QCOMPARE(outcome.length, 64u); // the first chunk was acknowledged
        QCOMPARE(framesOf(s.recorder(), 15).size(), 2u);
        QVERIFY(!s.recorder().file(9));

        // The last chunk's acknowledgement is lost after the recorder took
        // it in: the write reports what it knows, not a success.
        fault(4, 12);
        outcome = writeFile();
        QCOMPARE(outcome.cause, kvp::FailureCause::NoReply);
        QCOMPARE(outcome.length, 192u);
        QCOMPARE(framesOf(s.recorder(), 15).size(), 4u);
        QCOMPARE(s.recorder().file(9), std::optional<QByteArray>(content));

        // A follow-up request of a read whose block came short: the read
        // fails with what it had; read again from its start it is whole.
        fault(2, 40);
        QByteArray data;
        QVERIFY(!readFile(s.master, 7, &data));
        QCOMPARE(framesOf(s.recorder(), 10).size(), 2u);
        QVERIFY(readFile(s.master, 7, &data));
        QCOMPARE(data, c.files[7]);

        // With the faults gone, the write is whole.
        fault(-1, 0);
        QVERIFY(writeFile());
        QCOMPARE(s.recorder().file(9), std::optional<QByteArray>(content));
    }

    void outcomesTellTheRecordersStatusAndTheCause()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        c.files[7] = sim::makeFile(7, 1, 150, 1000);
        SimSetup s({c}, 200);
        unsigned char buffer[4];

        kvp::TransferOutcome outcome = s.master.read(4, buffer, 9, 30); // no file 30
        QCOMPARE(outcome.cause, kvp::FailureCause::Refused);
        QCOMPARE(outcome.status, std::uint8_t(sim::StatusNoSuchFile));
        QVERIFY(!s.master.isLinkLost());

        sim::Faults silent;
        silent.silentCommand = 9;
        silent.silentCount = 1;
        s.recorder().setFaults(silent);
        outcome = s.master.read(4, buffer, 9, 7);
        QCOMPARE(outcome.cause, kvp::FailureCause::NoReply);
        QCOMPARE(outcome.length, 0u);
        outcome = s.master.read(4, buffer, 9, 7);
        QVERIFY(outcome.ok());
        QCOMPARE(outcome.length, 4u);

        s.master.requestAbort();
        QCOMPARE(s.master.read(4, buffer, 9, 7).cause, kvp::FailureCause::Aborted);
        s.master.clearAbortRequest();

        s.recorder().vanish();
        QCOMPARE(s.master.read(4, buffer, 9, 7).cause, kvp::FailureCause::Gone);
    }

    void ignoresALateReplyToAnotherCommand()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.files[2] = sim::makeFile(2, 1, 64, 1000);
        // Half a time-out after the first request's, and half before the
        // second's: a busy machine that runs either thread late still sees
        // the first time out and the second answered.
        c.turnaroundUs = 1'500'000;
        SimSetup s({c}, 1000);
        unsigned char buffer[4];
        uint length = 0;
        // The connection probe times out (it is not asked twice); its
        // answer is still on its way.
        QCOMPARE(s.master.checkConnection(), 1);
        s.recorder().setTiming(sim::Timing::Instant, 0);
        // The next first request has sequence 0 too: the late answer to the
        // probe comes first and must not be taken for the file size.
        QVERIFY(s.master.readData(4, buffer, &length, 9, 2));
        QCOMPARE(length, 4u);
        QCOMPARE(buffer[0], 64);
        QCOMPARE(buffer[1], 0);
    }

    void timeoutCountsFromTheTransmission()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.turnaroundUs = 300'000;
        SimSetup s({c}, 1000);
        unsigned char buffer[4];
        uint length = 0;
        QVERIFY(s.master.readData(4, buffer, &length, 18, 0));
        // A short time-out right after a slow answer: the next exchange's
        // clock starts with its own transmission, not the previous one.
        s.recorder().setTiming(sim::Timing::Instant, 0);
        s.master.setTimeout(100);
        for (int i = 0; i < 5; ++i)
            QVERIFY(s.master.readData(4, buffer, &length, 18, 0));
    }

    void failsAtOnceWithoutTheMasterThread()
    {
        SimSetup s({sim::DeviceConfig::recorder()}, 30'000);
        s.master.stopAndReset();
        QElapsedTimer t;
        t.start();
        unsigned char buffer[4];
        uint length = 0;
        QVERIFY(!s.master.readData(4, buffer, &length, 18, 0));
        QVERIFY(!write(s.master, "abcd"));
        QCOMPARE(s.master.checkConnection(), 1);
        QVERIFY(t.elapsed() < 10'000);
        s.master.connectLink();
        QVERIFY(s.master.readData(4, buffer, &length, 18, 0));
    }

    void failsAtOnceWhenTheRecorderIsUnplugged()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.timing = sim::Timing::Wire;
        c.files[4] = sim::makeFile(4, 1, 20'000, 1000);
        SimSetup s({c}, 30'000);
        sim::Faults f;
        f.vanishAfterBytes = 3000;
        s.recorder().setFaults(f);
        QByteArray data;
        QElapsedTimer t;
        t.start();
        QVERIFY(!readFile(s.master, 4, &data));
        QVERIFY(t.elapsed() < 10'000);
        QVERIFY(!s.link.isConnected());
        QVERIFY(s.master.isLinkLost());
    }

    void cancelFromOtherThreadsLeavesAWorkingMaster()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.files[1] = sim::makeFile(1, 1, 5000, 1000);
        SimSetup s({c}, 200);
        std::atomic<bool> stop {false};
        QThread* canceller = QThread::create([&] {
            while (!stop.load()) {
                s.master.cancel();
                QThread::usleep(700);
            }
        });
        canceller->start();
        QByteArray data;
        int failures = 0;
        for (int i = 0; i < 30; ++i)
            failures += readFile(s.master, 1, &data) ? 0 : 1;
        stop.store(true);
        canceller->wait();
        delete canceller;
        QVERIFY(failures > 0);
        QVERIFY(readFile(s.master, 1, &data));
        QCOMPARE(data, c.files[1]);
    }

    void abortStopsATransferAfterTheCurrentFrame()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        c.timing = sim::Timing::Wire;
        c.files[9] = sim::makeFile(9, 1, 20'000, 1000);
        SimSetup s({c}, 2000);
        std::atomic<int> chunks {0};
        connect(
            &s.master, &KVPMaster::sigTransferred, this, [&](uint) { ++chunks; },
            Qt::DirectConnection);
        std::atomic<bool> ok {true};
        QThread* upload = QThread::create([&] { ok = write(s.master, pattern(20'000)); });
        upload->start();
        QTRY_VERIFY(chunks.load() >= 2);
        s.master.requestAbort();
        upload->wait();
        delete upload;
        QVERIFY(!ok);
        // The first frame, one per percentage, and the frame in flight when
        // the abort came: nothing after it.
        QCOMPARE(framesOf(s.recorder(), 0).size(), std::size_t(chunks.load()) + 2);
        QVERIFY(framesOf(s.recorder(), 0).size() < 20'000 / 64);

        // A read stops after the reply in progress.
        s.master.clearAbortRequest();
        std::atomic<int> replies {0};
        connect(
            &s.master, &KVPMaster::sigReceived, this, [&](uint) { ++replies; },
            Qt::DirectConnection);
        QThread* download = QThread::create([&] {
            QByteArray data;
            ok = readFile(s.master, 9, &data);
        });
        download->start();
        QTRY_VERIFY(replies.load() >= 8); // past the size request, inside the data
        s.master.requestAbort();
        download->wait();
        delete download;
        QVERIFY(!ok);
        QVERIFY(framesOf(s.recorder(), 10).size() < 20'000 / 66);
    }

    void abortRequestLastsUntilANewOperationClearsIt()
    {
        sim::DeviceConfig c = recorderWithFrame(80);
        c.files[9] = sim::makeFile(9, 1, 2'000, 1000);
        SimSetup s({c}, 2000);
        QByteArray data;

        // Asked for between two transactions: the next one fails before its
        // first frame instead of forgetting it.
        s.master.requestAbort();
        s.recorder().clearLogs();
        QVERIFY(!readFile(s.master, 9, &data));
        QVERIFY(!write(s.master, pattern(300)));
        QVERIFY(s.recorder().receivedFrames().empty());
        s.master.clearAbortRequest();
        QVERIFY(readFile(s.master, 9, &data));

        // Deferred, it lets everything through, interrupt() included, and
        // stops the first transaction after the deferral.
        s.master.deferAbort();
        s.master.interrupt();
        QVERIFY(s.master.isAbortRequested());
        QVERIFY(write(s.master, pattern(300)));
        QVERIFY(readFile(s.master, 9, &data));
        s.master.endAbortDeferral();
        s.recorder().clearLogs();
        QVERIFY(!readFile(s.master, 9, &data));
        QVERIFY(s.recorder().receivedFrames().empty());
        s.master.clearAbortRequest();
        QVERIFY(readFile(s.master, 9, &data));
        QCOMPARE(data, c.files[9]);
    }

    void checkConnectionProbesWithoutWaiting()
    {
        sim::DeviceConfig c = sim::DeviceConfig::recorder();
        c.timing = sim::Timing::Wire;
        c.files[6] = sim::makeFile(6, 1, 30'000, 1000);
        SimSetup s({c}, 2000);
        QCOMPARE(s.master.checkConnection(), 2);

        // Counted in the downloading thread, where the signal is emitted.
        std::atomic<int> replies {0};
        connect(
            &s.master, &KVPMaster::sigReceived, this, [&](uint) { ++replies; },
            Qt::DirectConnection);
        std::atomic<bool> ok {true};
        QThread* download = QThread::create([&] {
            QByteArray data;
            ok = readFile(s.master, 6, &data);
        });
        download->start();
        QTRY_VERIFY(replies.load() >= 5); // inside the data read
        QCOMPARE(s.master.checkConnection(), 0);
        s.master.cancel();
        download->wait();
        delete download;
        QVERIFY(!ok);
        // The probe does not clear a lost link.
        QCOMPARE(s.master.checkConnection(), 1);

        s.recorder().setAnswering(false);
        s.master.setTimeout(100);
        unsigned char buffer[4];
        uint length = 0;
        QVERIFY(!s.master.readData(4, buffer, &length, 18, 0));
        QCOMPARE(s.master.checkConnection(), 1);
    }

    void ensureTransferMode()
    {
        {
            sim::DeviceConfig c = sim::DeviceConfig::recorder();
            c.transferMode = true;
            SimSetup s({c});
            QCOMPARE(s.master.ensureTransferMode(), 1);
            QCOMPARE(s.recorder().receivedFrames().size(), 1u);
        }
        {
            SimSetup s;
            QCOMPARE(s.master.ensureTransferMode(), 1);
            std::vector<int> parameters;
            for (const sim::Frame& f : s.recorder().receivedFrames())
                parameters.push_back(f.command == 18 ? f.parameter : -1);
            QCOMPARE(parameters, std::vector<int>({0, 1, 0, 0}));
            QVERIFY(s.link.isConnected());
        }
        {
            sim::DeviceConfig c = sim::DeviceConfig::recorder();
            c.refuseTransferMode = true;
            SimSetup s({c});
            QCOMPARE(s.master.ensureTransferMode(), 3);
        }
        {
            sim::DeviceConfig c = sim::DeviceConfig::recorder();
            c.answering = false;
            SimSetup s({c}, 100);
            QCOMPARE(s.master.ensureTransferMode(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestProtocolMaster)
#include "tst_protocol_master.moc"
