// The simulated recorder's frames and commands, driven through the D2XX calls.
#include "simtest.h"

#include <QtTest>

#include <optional>
#include <tuple>
#include <vector>

using namespace sim;

class TestSimProtocol : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<Recorder> installOne(DeviceConfig c = DeviceConfig::recorder())
    {
        return Bus::instance().install({c}).front();
    }

    // Puts file 4 (7000 bytes) on the recorder and reads it: its size, then
    // a read request for each of these frame numbers in turn, the first of
    // them starting the read. The replies in order, none where one failed.
    static std::vector<std::optional<Frame>> readFileFour(
        Recorder& rec, HostClient& host, std::initializer_list<std::uint8_t> frames)
    {
        rec.putFile(4, makeFile(4, 1, 7000, 0));
        QByteArray size;
        if (!host.read(9, 4, &size))
            return {};
        std::vector<std::optional<Frame>> replies;
        for (std::uint8_t frame : frames) {
            const bool first = replies.empty();
            if (!host.send(HostClient::readRequest(10, 3, first, frame)))
                return replies;
            replies.push_back(host.receive());
        }
        return replies;
    }

private slots:
    void cleanup() { Bus::instance().uninstall(); }

    void identifiesItselfThroughD2xx()
    {
        installOne();
        D2xxPort port;
        QVERIFY(port.isOpen());
        QVERIFY(port.write(hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC")));
        const QByteArray reply = port.drain();
        QCOMPARE(reply.size(), 14 + 50); // exactly one frame
        QCOMPARE(static_cast<std::uint8_t>(reply[0]), 0xAA);
        QCOMPARE(static_cast<int>(reply[3]), 0x0C); // first and last
        QCOMPARE(static_cast<int>(reply[4]), 3);    // data reply
        QCOMPARE(static_cast<int>(reply[5]), 1);
        QCOMPARE(u16At(reply, 8), 50);
        QCOMPARE(static_cast<int>(reply[10]), 0); // sequence
        std::uint8_t sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(reply[i]));
        QCOMPARE(static_cast<std::uint8_t>(reply[11]), sum);
        for (int i = 12; i < 62; ++i)
            sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(reply[i]));
        QCOMPARE(static_cast<std::uint8_t>(reply[62]), sum);
        QCOMPARE(static_cast<std::uint8_t>(reply[63]), 0xCC);
        const QByteArray info = reply.mid(12, 50);
        QCOMPARE(info.mid(6, 8), QByteArray("MZT-500\0", 8));
        QCOMPARE(u16At(info, 2), 0x0102); // hardware
        QCOMPARE(u16At(info, 4), 0x0104); // software
        QCOMPARE(u16At(info, 46), 2048);  // maximum frame size
    }

    void longReadComesBackInChainedFrames_data()
    {
        QTest::addColumn<int>("frameSize");
        QTest::newRow("80") << 80;
        QTest::newRow("2048") << 2048;
    }

    void longReadComesBackInChainedFrames()
    {
        QFETCH(int, frameSize);
        DeviceConfig c;
        c.maxFrameSize = static_cast<std::uint16_t>(frameSize);
        const QByteArray file = makeFile(9, 1, 100 * 1024, 5000);
        c.files[9] = file;
        OpenedRecorder opened(c);
        HostClient& host = opened.host;

        QByteArray size;
        QVERIFY(host.read(9, 9, &size));
        QCOMPARE(size.size(), 4);
        QCOMPARE(u32At(size), 100u * 1024);

        QByteArray data;
        std::vector<Frame> replies;
        QVERIFY(host.read(10, 3, &data, &replies));
        QCOMPARE(data, file);
        const std::size_t chunk = static_cast<std::size_t>(frameSize) - 14;
        QCOMPARE(replies.size(), (file.size() + chunk - 1) / chunk);
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const Frame& r = replies[i];
            const bool first = i == 0, last = i + 1 == replies.size();
            QCOMPARE(r.type, 3);
            QCOMPARE(r.command, 10);
            QCOMPARE(r.parameter, 3);
            QCOMPARE(r.sequence, static_cast<std::uint8_t>(i)); // wraps at 256
            QCOMPARE(r.flags, static_cast<std::uint8_t>((first ? 0x08 : 0) | (last ? 0x04 : 0)));
            QVERIFY(static_cast<std::size_t>(r.payload.size()) <= chunk);
        }
        // The follow-up requests went out as the master sends them.
        const std::vector<Frame> got = opened.rec->receivedFrames();
        QCOMPARE(got.back().flags, 0x04);
        QCOMPARE(got.back().sequence, static_cast<std::uint8_t>(replies.size() - 1));
    }

    void fileWrittenInSeveralFramesIsListed()
    {
        OpenedRecorder opened;
        auto& [rec, port, host] = opened;
        QCOMPARE(opened.selectForWriting(17), std::optional<std::uint32_t>(0xFFFFFFFFu));
        const QByteArray file = makeFile(17, 1, 1000, 42000);
        QCOMPARE(host.write(15, 0, file, 64), std::optional<std::uint8_t>(0));
        // 16 frames: first 0x08, middle 0x00, last 0x04, sequences 0..15
        const std::vector<Frame> frames = rec->receivedFrames();
        QCOMPARE(frames.size(), std::size_t(1 + 16));
        QCOMPARE(frames[1].flags, 0x08);
        QCOMPARE(frames[2].flags, 0x00);
        QCOMPARE(frames.back().flags, 0x04);
        QCOMPARE(frames.back().sequence, 15);

        QByteArray list;
        QVERIFY(host.read(16, 0, &list));
        QCOMPARE(list.size(), 16);
        QCOMPARE(list, file.left(16));
        QCOMPARE(rec->file(17).value_or(QByteArray()), file);
    }

    void uploadIsFiledUnderTheSelectedNumber()
    {
        OpenedRecorder opened;
        auto& [rec, port, host] = opened;
        QCOMPARE(opened.selectForWriting(120), std::optional<std::uint32_t>(0xFFFFFFFFu));
        // Content renumbered on the computer still carries id 5 in its record.
        QCOMPARE(host.write(15, 0, makeFile(5, 0, 300, 0), 64), std::optional<std::uint8_t>(0));
        QVERIFY(rec->file(120));
        QCOMPARE(u32At(*rec->file(120)), 0u);
        QVERIFY(!rec->file(5));
    }

    void repeatedFramesAreTakenInOnce()
    {
        OpenedRecorder opened;
        auto& [rec, port, host] = opened;
        QVERIFY(opened.selectForWriting(3));
        const QByteArray file = makeFile(3, 1, 48, 1);
        auto frame = [&](std::uint8_t flags, std::uint8_t seq, int from) {
            return HostClient::encodeFrame(0, flags, 15, 0, seq, file.mid(from, 16));
        };
        auto status = [&]() {
            const auto r = host.receive();
            return r && r->type == 1 ? static_cast<int>(static_cast<std::uint8_t>(r->payload[0]))
                                     : -1;
        };
        QVERIFY(host.send(frame(0x08, 0, 0)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x00, 1, 16)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x01, 1, 16))); // middle frame repeated
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x04, 2, 32)));
        QCOMPARE(status(), 0);
        QVERIFY(host.send(frame(0x04, 2, 32))); // last frame repeated
        QCOMPARE(status(), 0);
        QCOMPARE(rec->file(3).value_or(QByteArray()), file);

        // A repeated follow-up read request gets the same block again.
        const auto replies = readFileFour(*rec, host, {0, 1, 1, 2});
        QCOMPARE(replies.size(), std::size_t(4));
        const auto& [a, b, b2, c] = std::tie(replies[0], replies[1], replies[2], replies[3]);
        QVERIFY(a && b && b2 && c);
        QCOMPARE(b2->payload, b->payload);
        QCOMPARE(a->payload + b->payload + c->payload, rec->file(4)->left(3 * 2034));
        // Out of order: status error, nothing skipped.
        QVERIFY(host.send(HostClient::readRequest(10, 3, false, 7)));
        const auto bad = host.receive();
        QVERIFY(bad);
        QCOMPARE(bad->type, 1);
        QCOMPARE(static_cast<int>(bad->payload[0]), int(StatusSequenceError));
    }

    void aRecorderTakingRepeatsAsNewExecutesEveryFrame()
    {
        DeviceConfig c = DeviceConfig::recorder();
        c.repeatedFrames = RepeatedFrames::TakenAsNew;
        OpenedRecorder opened(c);
        auto& [rec, port, host] = opened;
        QVERIFY(opened.selectForWriting(3));
        const QByteArray file = makeFile(3, 1, 48, 1);
        auto send = [&](std::uint8_t flags, std::uint8_t seq, int from) {
            QVERIFY(host.send(HostClient::encodeFrame(0, flags, 15, 0, seq, file.mid(from, 16))));
            const auto r = host.receive();
            QVERIFY(r && r->type == 1);
            QCOMPARE(int(r->payload[0]), 0);
        };
        send(0x08, 0, 0);
        send(0x00, 1, 16);
        send(0x01, 1, 16); // the middle frame again: its data is stored twice
        send(0x04, 2, 32);
        QCOMPARE(rec->file(3).value_or(QByteArray()),
                 file.left(32) + file.mid(16, 16) + file.mid(32));

        // A follow-up read request sent again is answered with the next block.
        const auto replies = readFileFour(*rec, host, {0, 1, 1});
        QCOMPARE(replies.size(), std::size_t(3));
        const auto& [a, b, c2] = std::tie(replies[0], replies[1], replies[2]);
        QVERIFY(a && b && c2);
        QCOMPARE(a->payload + b->payload + c2->payload, rec->file(4)->left(3 * 2034));
    }

    void skipsGarbageAndDamagedFrames()
    {
        installOne();
        D2xxPort port;
        const QByteArray probe = HostClient::encodeFrame(0, 0x0C, 0, 0, 0, QByteArray(4, '\0'));

        QVERIFY(port.write(hexBytes("00 13 CC AA 55") + probe)); // garbage, a stray 0xAA
        QByteArray reply = port.drain();
        QCOMPARE(reply.size(), 15);
        QCOMPARE(static_cast<int>(reply[4]), 1);
        QCOMPARE(static_cast<int>(reply[12]), 0);

        QByteArray badHeader = probe;
        badHeader[11] = static_cast<char>(badHeader[11] + 1);
        QVERIFY(port.write(badHeader));
        QVERIFY(port.drain().isEmpty());

        QByteArray badTrailer = probe;
        badTrailer[16] = static_cast<char>(badTrailer[16] + 1);
        QVERIFY(port.write(badTrailer));
        QVERIFY(port.drain().isEmpty());

        QByteArray otherAddress = HostClient::encodeFrame(0, 0x0C, 0, 0, 0, QByteArray(4, '\0'));
        otherAddress[2] = 0x05;
        otherAddress[11] = static_cast<char>(otherAddress[11] - 0xFF + 0x05);
        otherAddress[16] = otherAddress[11];
        QVERIFY(port.write(otherAddress));
        QVERIFY(port.drain().isEmpty());

        // Bytes that look like frame marks inside a payload are data.
        const QByteArray marks = HostClient::encodeFrame(0, 0x0C, 0, 0, 0, hexBytes("AA CC AA CC"));
        QVERIFY(port.write(marks));
        QCOMPARE(port.drain().size(), 15);
    }

    void wrongLineSettingsGetNoAnswer()
    {
        installOne();
        D2xxPort port(0, false); // left at the port's power-on 9600 8N1
        QCOMPARE(FT_SetTimeouts(port.handle, 40, 2000), FT_OK);
        QVERIFY(port.write(hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC")));
        QVERIFY(port.drain().isEmpty());
        QCOMPARE(FT_SetBaudRate(port.handle, 250000), FT_OK);
        QCOMPARE(FT_SetDataCharacteristics(port.handle, 8, 2, 0), FT_OK);
        QVERIFY(port.write(hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC")));
        QCOMPARE(port.drain().size(), 64);
    }

    void refusesFramesLongerThanItsFrameSize()
    {
        DeviceConfig c;
        c.maxFrameSize = 100;
        OpenedRecorder opened(c);
        HostClient& host = opened.host;
        QCOMPARE(host.write(0, 0, QByteArray(86, '\0'), 86), std::optional<std::uint8_t>(0));
        QCOMPARE(host.write(0, 0, QByteArray(87, '\0'), 87),
                 std::optional<std::uint8_t>(StatusFrameTooLong));
        // Below 80 the recorder still takes the 80-byte frames every master may send.
        opened.rec->setMaxFrameSize(64);
        QCOMPARE(host.write(0, 0, QByteArray(66, '\0'), 66), std::optional<std::uint8_t>(0));
    }

    void transferModeWithoutReopening()
    {
        auto rec = installOne();
        {
            D2xxPort port;
            HostClient host = port.host();
            QByteArray v;
            QVERIFY(host.read(18, 0, &v));
            QCOMPARE(u32At(v), 0u);
            QVERIFY(host.read(18, 1, &v));
            QCOMPARE(v.size(), 4);
            QVERIFY(host.read(18, 0, &v));
            QCOMPARE(u32At(v), 0xFFFFFFFFu);
            QVERIFY(host.read(16, 0, &v)); // content right away, same port
        }
        {
            D2xxPort again; // reopening keeps the recorder's state
            HostClient host = again.host();
            QByteArray v;
            QVERIFY(host.read(18, 0, &v));
            QCOMPARE(u32At(v), 0xFFFFFFFFu);
            QVERIFY(host.read(18, 2, &v));
            QVERIFY(host.read(18, 0, &v));
            QCOMPARE(u32At(v), 0u);
        }
        rec->setRefuseTransferMode(true);
        D2xxPort port;
        HostClient host = port.host();
        QByteArray v;
        QVERIFY(host.read(18, 1, &v));
        QVERIFY(host.read(18, 0, &v));
        QCOMPARE(u32At(v), 0u);
        QVERIFY(!rec->inTransferMode());
    }

    void fileCommands()
    {
        DeviceConfig c;
        c.files[120] = makeFile(0, 0, 500, 0);
        c.files[2] = makeFile(2, 1, 64, 1000);
        OpenedRecorder opened(c);
        auto& [rec, port, host] = opened;
        QByteArray v;
        std::vector<Frame> replies;

        QVERIFY(host.read(13, 2, &v));
        QCOMPARE(u32At(v), 1u);
        QVERIFY(host.read(13, 3, &v));
        QCOMPARE(u32At(v), 0u);
        QVERIFY(host.read(13, 120, &v));
        QCOMPARE(u32At(v), 1u);

        QVERIFY(!host.read(9, 3, &v, &replies)); // missing file: a status reply
        QCOMPARE(replies.back().type, 1);
        QCOMPARE(static_cast<int>(replies.back().payload[0]), int(StatusNoSuchFile));

        QVERIFY(host.read(9, 120, &v));
        QCOMPARE(u32At(v), 500u);
        QVERIFY(host.read(10, 3, &v));
        QCOMPARE(v, *rec->file(120));

        QVERIFY(host.read(16, 0, &v)); // settings first
        QCOMPARE(v.size(), 32);
        QCOMPARE(u32At(v, 4), 0u);
        QCOMPARE(u32At(v, 16), 2u);

        QVERIFY(host.read(14, 2, &v)); // an occupied number is refused
        QCOMPARE(u32At(v), 0u);
        QVERIFY(host.read(14, 65, &v));
        QCOMPARE(u32At(v), 0u);
        QVERIFY(host.read(14, 6, &v));
        QCOMPARE(u32At(v), 0xFFFFFFFFu);
        QVERIFY(host.read(17, 0, &v)); // failed write ends: selection dropped
        QCOMPARE(v.size(), 4);
        QCOMPARE(host.write(15, 0, makeFile(6, 1, 40, 0)),
                 std::optional<std::uint8_t>(StatusRefused));
        QVERIFY(!rec->file(6));

        replies.clear();
        QVERIFY(!host.read(2, 0, &v, &replies)); // no such command
        QCOMPARE(static_cast<int>(replies.back().payload[0]), int(StatusUnknownCommand));
        QCOMPARE(host.write(16, 0, QByteArray(4, '\0')),
                 std::optional<std::uint8_t>(StatusUnknownCommand));
    }

    void fileCommandsCanRequireTransferMode()
    {
        DeviceConfig c;
        c.requireTransferMode = true;
        c.files[1] = makeFile(1, 1, 100, 0);
        OpenedRecorder opened(c);
        HostClient& host = opened.host;
        QByteArray v;
        std::vector<Frame> replies;
        QVERIFY(!host.read(16, 0, &v, &replies));
        QCOMPARE(static_cast<int>(replies.back().payload[0]), int(StatusNotInTransferMode));
        QVERIFY(host.read(1, 0, &v)); // identification works in any mode
        QVERIFY(host.read(18, 1, &v));
        QVERIFY(host.read(16, 0, &v));
        QCOMPARE(v.size(), 16);
    }

    void deletionProgressRisesTo255()
    {
        DeviceConfig c;
        c.files[4] = makeFile(4, 1, 100, 0);
        c.files[5] = makeFile(5, 1, 100, 0);
        c.pollBudget = 37;
        c.deleteDurationMs = 300;
        OpenedRecorder opened(c);
        auto& [rec, port, host] = opened;
        QByteArray v;
        QVERIFY(host.read(11, 4, &v));
        QCOMPARE(v.size(), 4);
        QCOMPARE(u32At(v), 37u);
        QVERIFY(host.read(12, 0, &v));
        QCOMPARE(v.size(), 2);
        QVERIFY(host.read(12, 0, &v)); // repeated start: the deletion keeps running
        int previous = -1, polls = 0;
        for (;;) {
            QVERIFY(host.read(12, 2, &v));
            QCOMPARE(u16At(v), 0);
            QVERIFY(host.read(12, 1, &v));
            QCOMPARE(v.size(), 2);
            const int p = u16At(v);
            QVERIFY(p >= previous && p <= 255);
            previous = p;
            if (p == 255)
                break;
            QVERIFY(rec->file(4));         // still there while in progress
            QVERIFY(host.read(14, 4, &v)); // and cannot be written meanwhile
            QCOMPARE(u32At(v), 0u);
            ++polls;
            QVERIFY(polls < 200);
            QTest::qWait(20);
        }
        QVERIFY(polls > 0);
        QVERIFY(!rec->file(4));
        QVERIFY(rec->file(5));
        QVERIFY(host.read(13, 4, &v));
        QCOMPARE(u32At(v), 0u);

        std::vector<Frame> replies; // deleting needs a selection
        QVERIFY(!host.read(11, 4, &v, &replies));
        QCOMPARE(static_cast<int>(replies.back().payload[0]), int(StatusNoSuchFile));
    }

    void firmwareIsCheckedAndRecorded()
    {
        OpenedRecorder opened;
        auto& [rec, port, host] = opened;
        const QByteArray s0(512, '\x11'), s1(256, '\x7F');
        QByteArray header(256, '\0');
        header.replace(0, 5, QByteArray("KVU2\0", 5));
        header.replace(5, 7, "MZT-500");
        header[46] = 2;
        auto put32 = [&](int at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                header[at + i] = static_cast<char>(v >> (8 * i));
        };
        put32(68, 512);
        put32(72, 256);
        put32(100, 512 * 0x11 + 256 * 0x7F);

        QCOMPARE(host.write(3, 0, header, 184), std::optional<std::uint8_t>(0));
        QCOMPARE(host.write(4, 1, s1, 184), std::optional<std::uint8_t>(StatusRefused)); // order
        QCOMPARE(host.write(4, 0, s0, 184), std::optional<std::uint8_t>(0));
        QCOMPARE(host.write(4, 0, s0, 184), std::optional<std::uint8_t>(0)); // repeated
        QCOMPARE(host.write(4, 1, s1, 184), std::optional<std::uint8_t>(0));
        FirmwareReceipt fw = rec->firmware();
        QVERIFY(fw.complete);
        QVERIFY(fw.checksumOk);
        QCOMPARE(fw.header, header);
        QCOMPARE(fw.sections.size(), std::size_t(2));
        QCOMPARE(fw.sections[1], s1);

        // One byte off in a section: the last section is refused.
        QByteArray bad = s1;
        bad[100] = 0;
        QCOMPARE(host.write(3, 0, header, 184), std::optional<std::uint8_t>(0));
        QCOMPARE(host.write(4, 0, s0, 184), std::optional<std::uint8_t>(0));
        QCOMPARE(host.write(4, 1, bad, 184), std::optional<std::uint8_t>(StatusChecksumError));
        fw = rec->firmware();
        QVERIFY(fw.complete);
        QVERIFY(!fw.checksumOk);
        QCOMPARE(fw.computedChecksum, fw.expectedChecksum - 0x7F);

        QByteArray notKv2 = header;
        notKv2[4] = '!';
        QCOMPARE(host.write(3, 0, notKv2, 184), std::optional<std::uint8_t>(StatusRefused));
    }
};

QTEST_GUILESS_MAIN(TestSimProtocol)
#include "tst_sim_protocol.moc"
