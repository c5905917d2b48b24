// Faults injected on purpose, each shown by what crosses the wire.
#include "simtest.h"

#include <QtTest>

using namespace sim;

namespace {

const QByteArray kIdentify = hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC");

QByteArray probeFrame()
{
    return HostClient::encodeFrame(0, 0x0C, 0, 0, 0, QByteArray(4, '\0'));
}

} // namespace

class TestSimFaults : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<Recorder> rec;
    QByteArray cleanIdentify; // the undisturbed reply to kIdentify

    void setFaults(const Faults& f) { rec->setFaults(f); }

private slots:
    void init()
    {
        DeviceConfig c;
        c.files[1] = makeFile(1, 1, 2000, 100);
        c.files[2] = makeFile(2, 1, 100, 100);
        rec = Bus::instance().install({c}).front();
        D2xxPort port;
        port.write(kIdentify);
        cleanIdentify = port.drain();
    }
    void cleanup()
    {
        rec.reset();
        Bus::instance().uninstall();
    }

    void corruptsOrDropsTheReplyToAGivenFrame()
    {
        QCOMPARE(cleanIdentify.size(), 64);
        Faults f;
        f.corruptAtFrame = 1;
        setFaults(f);
        D2xxPort port;
        QVERIFY(port.write(kIdentify));
        QCOMPARE(port.drain(), cleanIdentify); // frame 0 untouched
        QVERIFY(port.write(kIdentify));
        QByteArray expected = cleanIdentify;
        expected[11] = static_cast<char>(~expected[11]);
        QCOMPARE(port.drain(), expected);

        f = Faults {};
        f.dropAtFrame = 0;
        f.faultOffset = 30;
        setFaults(f);
        QVERIFY(port.write(kIdentify));
        expected = cleanIdentify;
        expected.remove(30, 1);
        QCOMPARE(port.drain(), expected);
        QVERIFY(port.write(kIdentify));
        QCOMPARE(port.drain(), cleanIdentify);
    }

    void randomLineNoiseRepeatsWithItsSeed()
    {
        auto run = [this](double corrupt, double drop, std::uint64_t seed) {
            Faults f;
            f.corruptProbability = corrupt;
            f.dropProbability = drop;
            f.seed = seed;
            setFaults(f);
            D2xxPort port;
            QByteArray all;
            for (int i = 0; i < 20; ++i) {
                port.write(kIdentify);
                all += port.drain();
            }
            return all;
        };
        QByteArray clean;
        for (int i = 0; i < 20; ++i)
            clean += cleanIdentify;

        const QByteArray corrupted = run(0.05, 0, 42);
        QCOMPARE(corrupted.size(), clean.size());
        int changed = 0;
        for (qsizetype i = 0; i < clean.size(); ++i)
            changed += corrupted[i] != clean[i];
        QVERIFY(changed > 10 && changed < 200); // about 64 of 1280
        QCOMPARE(run(0.05, 0, 42), corrupted);
        QVERIFY(run(0.05, 0, 43) != corrupted);

        const QByteArray dropped = run(0, 0.05, 7);
        QVERIFY(dropped.size() < clean.size() - 10 && dropped.size() > clean.size() - 200);
        QCOMPARE(run(0, 0.05, 7), dropped);
    }

    void answersAGivenFrameWithAStatus()
    {
        D2xxPort port;
        HostClient host = port.host();
        QByteArray v;
        QVERIFY(host.read(14, 5, &v));
        Faults f;
        f.statusAtFrame = 1; // the middle frame below
        f.status = 7;
        setFaults(f);
        const QByteArray file = makeFile(5, 1, 48, 0);
        auto frame = [&](std::uint8_t flags, std::uint8_t seq) {
            return HostClient::encodeFrame(0, flags, 15, 0, seq, file.mid(16 * seq, 16));
        };
        auto status = [&] {
            const auto r = host.receive();
            return r && r->type == 1 ? int(static_cast<std::uint8_t>(r->payload[0])) : -1;
        };
        QVERIFY(host.send(frame(0x08, 0)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x00, 1)));
        QCOMPARE(status(), 7);
        QVERIFY(host.send(frame(0x01, 1))); // the master's repetition is taken in
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x04, 2)));
        QCOMPARE(status(), 0);
        QCOMPARE(rec->file(5).value_or(QByteArray()), file);

        // The reply to an accepted middle frame is lost and the repetition is
        // refused with 7: the next repetition still gets the accepted frame's
        // status, and the data is stored once.
        QVERIFY(host.read(14, 6, &v));
        f = Faults {};
        f.corruptAtFrame = 1;
        f.statusAtFrame = 2;
        f.status = 7;
        setFaults(f);
        const QByteArray file6 = makeFile(6, 1, 48, 0);
        auto frame6 = [&](std::uint8_t flags, std::uint8_t seq) {
            return HostClient::encodeFrame(0, flags, 15, 0, seq, file6.mid(16 * seq, 16));
        };
        QVERIFY(host.send(frame6(0x08, 0)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame6(0x00, 1)));
        QCOMPARE(status(), -1); // header checksum broken: no frame
        QVERIFY(host.send(frame6(0x01, 1)));
        QCOMPARE(status(), 7);
        QVERIFY(host.send(frame6(0x01, 1)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame6(0x04, 2)));
        QCOMPARE(status(), 0);
        QCOMPARE(rec->file(6).value_or(QByteArray()), file6);

        // By command: the first two list requests get an error status.
        f = Faults {};
        f.statusCommand = 16;
        f.statusCount = 2;
        f.status = 0x21;
        setFaults(f);
        std::vector<Frame> replies;
        QVERIFY(!host.read(16, 0, &v, &replies));
        QVERIFY(!host.read(16, 0, &v, &replies));
        QVERIFY(host.read(16, 0, &v, &replies));
        QCOMPARE(replies[0].type, 1);
        QCOMPARE(static_cast<int>(replies[1].payload[0]), 0x21);
        QCOMPARE(replies[2].type, 3);

        // By file: a damaged area refuses that file's size every time and
        // leaves the file beside it readable, until the faults are cleared.
        f = Faults {};
        f.statusFile = 1;
        f.status = 5;
        setFaults(f);
        replies.clear();
        for (int attempt = 0; attempt < 3; ++attempt)
            QVERIFY(!host.read(9, 1, &v, &replies));
        for (const Frame& reply : replies)
            QCOMPARE(static_cast<int>(reply.payload[0]), 5);
        QVERIFY(host.read(9, 2, &v));
        QCOMPARE(u32At(v), 100u);
        QVERIFY(host.read(10, 3, &v));
        QCOMPARE(v, *rec->file(2));
        setFaults({});
        QVERIFY(host.read(9, 1, &v));
        QVERIFY(host.read(10, 3, &v));
        QCOMPARE(v, *rec->file(1));
    }

    void staysSilentForACommand()
    {
        Faults f;
        f.silentCommand = 16;
        f.silentCount = 1;
        setFaults(f);
        D2xxPort port;
        QVERIFY(port.write(HostClient::readRequest(16, 0, true, 0)));
        QVERIFY(port.drain().isEmpty());
        QVERIFY(port.write(kIdentify)); // other commands are answered
        QCOMPARE(port.drain(), cleanIdentify);
        QVERIFY(port.write(HostClient::readRequest(16, 0, true, 0)));
        QCOMPARE(port.drain().size(), 14 + 32);

        f.silentCount = -1;
        f.silentCommand = 0;
        setFaults(f);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(port.write(probeFrame()));
            QVERIFY(port.drain().isEmpty());
        }
    }

    void vanishesAfterNBytesAndComesBack()
    {
        Faults f;
        f.vanishAfterBytes = 64 + 20;
        setFaults(f);
        D2xxPort port;
        QVERIFY(port.write(kIdentify));
        QCOMPARE(port.drain(), cleanIdentify);
        QVERIFY(port.write(kIdentify));
        char buf[64];
        DWORD got = 0;
        QCOMPARE(FT_Read(port.handle, buf, sizeof buf, &got), FT_OK);
        QCOMPARE(got, DWORD(20)); // cut off mid-frame
        QCOMPARE(QByteArray(buf, 20), cleanIdentify.left(20));
        DWORD rx = 0;
        QVERIFY(FT_GetStatus(port.handle, &rx, nullptr, nullptr) != FT_OK);
        QVERIFY(FT_Read(port.handle, buf, 1, &got) != FT_OK);
        DWORD written = 0;
        QVERIFY(FT_Write(port.handle, const_cast<char*>(kIdentify.constData()), 14, &written)
                != FT_OK);
        DWORD count = 99;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(0));

        // Plugged in again: listed, opens while the stale handle is still held,
        // and keeps its files; the stale handle stays dead.
        rec->clearFaults();
        rec->reappear();
        D2xxPort again;
        QVERIFY(again.isOpen());
        HostClient host = again.host();
        QByteArray v;
        QVERIFY(host.read(13, 1, &v));
        QCOMPARE(u32At(v), 1u);
        QVERIFY(FT_GetStatus(port.handle, &rx, nullptr, nullptr) != FT_OK);
    }

    void vanishesAtACommand()
    {
        Faults f;
        f.vanishAtCommand = 10;
        setFaults(f);
        D2xxPort port;
        HostClient host = port.host();
        QByteArray v;
        QVERIFY(host.read(9, 1, &v));
        QVERIFY(port.write(HostClient::readRequest(10, 3, true, 0)));
        char buf[8];
        DWORD got = 0;
        QVERIFY(FT_Read(port.handle, buf, sizeof buf, &got) != FT_OK);
        QCOMPARE(got, DWORD(0));
        QVERIFY(!rec->present());
    }

    void reportsADeletionError()
    {
        Faults f;
        f.deletionError = 3;
        setFaults(f);
        rec->setPollBudget(1);
        D2xxPort port;
        HostClient host = port.host();
        QByteArray v;
        QVERIFY(host.read(11, 2, &v));
        QCOMPARE(u32At(v), 1u); // the budget the test asked for
        QVERIFY(host.read(12, 0, &v));
        QVERIFY(host.read(12, 2, &v));
        QCOMPARE(u16At(v), 3);
        QVERIFY(host.read(12, 1, &v));
        QCOMPARE(u16At(v), 0);
        QVERIFY(rec->file(2)); // the file stays
    }

    void deviceThatDoesNotAnswer()
    {
        rec->setAnswering(false);
        D2xxPort port;
        QVERIFY(port.write(kIdentify));
        QVERIFY(port.drain().isEmpty());
        QCOMPARE(rec->receivedBytes().right(14), kIdentify); // it was on the wire
        rec->setAnswering(true);
        QVERIFY(port.write(kIdentify));
        QCOMPARE(port.drain(), cleanIdentify);
    }

    void repliesFromAnotherAddress()
    {
        DeviceConfig c;
        c.replyAddress = 0x05;
        Bus::instance().install({c});
        D2xxPort port;
        QVERIFY(port.write(kIdentify));
        const QByteArray reply = port.drain();
        QCOMPARE(reply.size(), 64);
        QCOMPARE(static_cast<int>(reply[2]), 0x05);
    }
};

QTEST_GUILESS_MAIN(TestSimFaults)
#include "tst_sim_faults.moc"
