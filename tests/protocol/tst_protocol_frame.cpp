// The frame engine on its own: frames are built and bytes fed directly, the
// hooks record what the engine reports.
#include "kvpframe.h"
#include "protocoltest.h"

#include <QByteArray>
#include <QTest>

#include <memory>
#include <vector>

namespace {

struct Report {
    enum Kind { Ack, Data } kind;
    int command = 0;
    int parameter = 0;
    int status = 0;
    QByteArray payload;
    bool first = false;
    bool last = false;
};

struct Recorded {
    std::vector<QByteArray> transmitted;
    std::vector<Report> reports;
};

void onTransmit(KVPEngine* e, unsigned short length, const unsigned char* bytes)
{
    static_cast<Recorded*>(e->owner)->transmitted.emplace_back(reinterpret_cast<const char*>(bytes),
                                                               length);
}

void onAck(KVPEngine* e, unsigned char command, unsigned short parameter, unsigned char status)
{
    static_cast<Recorded*>(e->owner)->reports.push_back(
        {Report::Ack, command, parameter, status, {}, false, false});
}

void onData(KVPEngine* e, unsigned char command, unsigned short parameter, unsigned short length,
            const unsigned char* payload, bool first, bool last, unsigned char status)
{
    static_cast<Recorded*>(e->owner)->reports.push_back(
        {Report::Data, command, parameter, status,
         QByteArray(reinterpret_cast<const char*>(payload), payload ? length : 0), first, last});
}

QByteArray reply(std::uint8_t type, std::uint8_t command, std::uint8_t sequence,
                 const QByteArray& payload = {}, std::uint8_t flags = 0x0C,
                 std::uint8_t address = 0x00, std::uint16_t parameter = 0)
{
    return encodeReply(type, command, sequence, payload, flags, address, parameter);
}

QByteArray status(std::uint8_t command, std::uint8_t sequence, std::uint8_t s)
{
    return reply(KVP_TYPE_STATUS, command, sequence, QByteArray(1, char(s)));
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

class Engine {
public:
    Engine()
        : e(std::make_unique<KVPEngine>())
    {
        kvpInitEngine(e.get());
        kvpSetHooks(e.get(), onTransmit, onAck, onData, &rec);
    }
    void feed(const QByteArray& bytes)
    {
        for (char c : bytes)
            kvpReceiveByte(e.get(), std::uint8_t(c));
    }
    // Feeds and processes, as the reader and master threads would.
    void answer(const QByteArray& bytes)
    {
        feed(bytes);
        kvpProcess(e.get());
    }
    void write(std::uint8_t command, const QByteArray& payload, bool first, bool last)
    {
        QVERIFY(kvpBuildWriteFrame(e.get(), command, 0,
                                   reinterpret_cast<const std::uint8_t*>(payload.constData()),
                                   std::size_t(payload.size()), first, last));
        kvpProcess(e.get());
    }
    void read(std::uint8_t command, std::uint16_t parameter, bool first)
    {
        kvpBuildReadRequest(e.get(), command, parameter, first);
        kvpProcess(e.get());
    }
    std::unique_ptr<KVPEngine> e;
    Recorded rec;
};

} // namespace

class TestProtocolFrame : public QObject {
    Q_OBJECT
private slots:
    void buildsFramesAsOnTheWire()
    {
        Engine en;
        en.read(1, 0, true);
        en.write(3, hex("01020304"), true, true);
        QCOMPARE(en.rec.transmitted.size(), 2u);
        QCOMPARE(en.rec.transmitted[0], hex("AA00FF0C02010000000000B8B8CC"));
        QCOMPARE(en.rec.transmitted[1], hex("AA00FF0C00030000040000BC01020304C6CC"));

        // Follow-ups count the sequence on; a transfer's first frame restarts it.
        en.read(10, 3, false);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[3]), KVP_FLAG_LAST);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[10]), 1);
        en.write(15, hex("00"), false, false);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[3]), 0);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[10]), 2);
        en.write(15, hex("00"), true, false);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[3]), KVP_FLAG_FIRST);
        QCOMPARE(std::uint8_t(en.rec.transmitted.back()[10]), 0);

        // A payload larger than the buffers is refused, not written past them.
        std::vector<std::uint8_t> big(KVP_MAX_PAYLOAD + 1);
        QVERIFY(!kvpBuildWriteFrame(en.e.get(), 15, 0, big.data(), big.size(), true, true));
        QVERIFY(kvpBuildWriteFrame(en.e.get(), 15, 0, big.data(), KVP_MAX_PAYLOAD, true, true));
        QCOMPARE(kvpTransmitLength(en.e.get()), KVP_BUFFER_SIZE);
    }

    void deliversDataReplies()
    {
        Engine en;
        en.read(10, 3, true);
        // Start and end bytes inside the payload are data, not framing.
        const QByteArray payload = hex("AA00AACC55AACCAA");
        en.answer(reply(KVP_TYPE_DATA, 10, 0, payload, 0x08, 0xFF, 3));
        QCOMPARE(en.rec.reports.size(), 1u);
        const Report& r = en.rec.reports[0];
        QCOMPARE(r.kind, Report::Data);
        QCOMPARE(r.payload, payload);
        QCOMPARE(r.parameter, 3);
        QVERIFY(r.first);
        QVERIFY(!r.last);
        QCOMPARE(r.status, 0);

        // An empty data reply flagged last.
        en.read(10, 3, false);
        en.answer(reply(KVP_TYPE_DATA, 10, 1, {}, 0x04));
        QCOMPARE(en.rec.reports.size(), 2u);
        QVERIFY(en.rec.reports[1].last);
        QVERIFY(en.rec.reports[1].payload.isEmpty());

        // A data reply to a write is not an answer.
        en.write(15, hex("01"), true, true);
        en.answer(reply(KVP_TYPE_DATA, 15, 0, hex("01")));
        QCOMPARE(en.rec.reports.size(), 2u);
        en.answer(status(15, 0, 0));
        QCOMPARE(en.rec.reports.back().kind, Report::Ack);
        QCOMPARE(en.rec.reports.back().status, 0);
    }

    void ignoresRepliesThatAreNotOurs()
    {
        Engine en;
        en.read(9, 1, true);
        // Another station's address: silently skipped, no corrupt count.
        en.answer(reply(KVP_TYPE_DATA, 9, 0, hex("01020304"), 0x0C, 0x05));
        // A reply to another command (a late answer to an earlier request).
        en.answer(reply(KVP_TYPE_DATA, 18, 0, hex("FFFFFFFF")));
        // Broken trailer checksum, broken end byte.
        QByteArray bad = reply(KVP_TYPE_DATA, 9, 0, hex("01020304"));
        bad[bad.size() - 2] = char(bad[bad.size() - 2] + 1);
        en.answer(bad);
        bad = reply(KVP_TYPE_DATA, 9, 0, hex("01020304"));
        bad[bad.size() - 1] = char(0xCD);
        en.answer(bad);
        QVERIFY(en.rec.reports.empty());
        QCOMPARE(en.e->corruptCountdown, KVP_CORRUPT_TOLERANCE);
        QCOMPARE(en.rec.transmitted.size(), 1u);

        en.answer(reply(KVP_TYPE_DATA, 9, 0, hex("01020304")));
        QCOMPARE(en.rec.reports.size(), 1u);
    }

    void dropsBytesWhileAFrameWaits()
    {
        Engine en;
        en.read(9, 1, true);
        en.feed(reply(KVP_TYPE_DATA, 9, 0, hex("11223344")));
        en.feed(reply(KVP_TYPE_DATA, 9, 0, hex("55667788")));
        kvpProcess(en.e.get());
        QCOMPARE(en.rec.reports.size(), 1u);
        QCOMPARE(en.rec.reports[0].payload, hex("11223344"));
        kvpProcess(en.e.get());
        QCOMPARE(en.rec.reports.size(), 1u);
    }

    void resynchronisesAfterACutShortReply()
    {
        Engine en;
        en.read(10, 3, true);
        const QByteArray cut = reply(KVP_TYPE_DATA, 10, 0, QByteArray(20, char(0x11))).left(12 + 5);
        const QByteArray good = reply(KVP_TYPE_DATA, 10, 0, hex("0102"));
        const int owed = 20 - 5 + 2; // rest of the announced payload, then the trailer
        // Whatever follows, start bytes included, counts as the cut frame's
        // payload and trailer until the announced length is consumed...
        en.answer(cut + QByteArray(owed - 1, char(0xAA)) + good);
        QVERIFY(en.rec.reports.empty());
        // ...after which the receiver looks for a start byte again.
        en.answer(cut + QByteArray(owed, char(0xAA)) + good);
        QCOMPARE(en.rec.reports.size(), 1u);
        QCOMPARE(en.rec.reports[0].payload, hex("0102"));
    }

    void repeatsOnBusyStatus()
    {
        Engine en;
        en.write(15, hex("0102"), true, false);
        en.answer(status(15, 0, 0));
        en.write(15, hex("0304"), false, false);
        const QByteArray middle = en.rec.transmitted.back();
        en.answer(status(15, 1, 7));
        // Resent at once, marked repeated, both checksums one higher.
        QCOMPARE(en.rec.transmitted.size(), 3u);
        QByteArray expected = middle;
        expected[3] = char(0x01);
        expected[11] = char(middle[11] + 1);
        expected[14] = char(middle[14] + 1);
        QCOMPARE(en.rec.transmitted.back(), expected);
        QCOMPARE(en.rec.reports.size(), 1u);
        // The budget is spent: a second 7 fails the frame with that status.
        en.answer(status(15, 1, 7));
        QCOMPARE(en.rec.transmitted.size(), 3u);
        QCOMPARE(en.rec.reports.back().kind, Report::Ack);
        QCOMPARE(en.rec.reports.back().status, 7);

        // A status 0 restores the budget; a first frame is repeated unchanged.
        en.write(15, hex("05"), true, false);
        en.answer(status(15, 0, 0));
        en.write(15, hex("06"), false, true);
        const QByteArray lastFrame = en.rec.transmitted.back();
        en.answer(status(15, 1, 10));
        QCOMPARE(en.rec.transmitted.back(), lastFrame);

        // In request mode a repeated refusal reaches the data hook.
        en.read(9, 1, true);
        en.answer(status(9, 0, 8));
        en.answer(status(9, 0, 9));
        QCOMPARE(en.rec.reports.back().kind, Report::Data);
        QCOMPARE(en.rec.reports.back().status, 9);
        QVERIFY(en.rec.reports.back().last);
    }

    void readRecoversFromOneBusyReplyPerBlock()
    {
        // Each block of a read may be refused once: the delivered block
        // before it restores the budget, as a status 0 does for writes.
        Engine en;
        en.read(10, 3, true);
        en.answer(status(10, 0, 7));
        en.answer(reply(KVP_TYPE_DATA, 10, 0, hex("0102"), 0x08, 0x00, 3));
        en.read(10, 3, false);
        en.answer(status(10, 1, 7));
        QCOMPARE(en.rec.transmitted.size(), 4u);
        en.answer(reply(KVP_TYPE_DATA, 10, 1, hex("0304"), 0x04, 0x00, 3));
        QCOMPARE(en.rec.reports.size(), 2u);
        QCOMPARE(en.rec.reports.back().kind, Report::Data);
        QCOMPARE(en.rec.reports.back().status, 0);
        QCOMPARE(en.rec.reports.back().payload, hex("0304"));
    }

    void failsOnErrorAndMalformedStatus()
    {
        Engine en;
        en.read(9, 1, true);
        en.answer(status(9, 0, 4));
        QCOMPARE(en.rec.reports.back().status, 4);

        // A success status cannot answer a read: it carries no data.
        en.read(9, 1, true);
        en.answer(status(9, 0, 0));
        QCOMPARE(en.rec.reports.size(), 2u);
        QCOMPARE(en.rec.reports.back().kind, Report::Data);
        QVERIFY(en.rec.reports.back().status != 0);

        // A status reply without its status byte fails reads and writes.
        en.read(9, 1, true);
        en.answer(reply(KVP_TYPE_STATUS, 9, 0));
        QCOMPARE(en.rec.reports.size(), 3u);
        QVERIFY(en.rec.reports.back().status != 0);
        en.write(0, hex("00000000"), true, true);
        en.answer(reply(KVP_TYPE_STATUS, 0, 0));
        QCOMPARE(en.rec.reports.back().kind, Report::Ack);
        QVERIFY(en.rec.reports.back().status != 0);
    }

    void corruptHeadersRepeatThenGiveUp()
    {
        Engine en;
        en.read(10, 3, true);
        // Wrong sequence numbers count as corrupt headers and are not delivered.
        const QByteArray wrongSequence = reply(KVP_TYPE_DATA, 10, 5, hex("01"));
        for (int i = 0; i < 49; ++i)
            en.answer(wrongSequence);
        QVERIFY(en.rec.reports.empty());
        QCOMPARE(en.rec.transmitted.size(), 1u);
        en.answer(wrongSequence);
        QCOMPARE(en.rec.transmitted.size(), 2u); // the request is repeated
        QCOMPARE(en.rec.transmitted[1], en.rec.transmitted[0]);

        // With the budget spent, the next 50 give up with the engine's status.
        QByteArray badSum = reply(KVP_TYPE_DATA, 10, 0, hex("01"));
        badSum[11] = char(badSum[11] + 1);
        for (int i = 0; i < 49; ++i)
            en.answer(badSum);
        QVERIFY(en.rec.reports.empty());
        en.answer(badSum);
        QCOMPARE(en.rec.reports.size(), 1u);
        QCOMPARE(en.rec.reports[0].status, KVP_STATUS_CORRUPT);
        QCOMPARE(en.rec.transmitted.size(), 2u);

        // Wrong type and oversized length are corrupt too; the countdown
        // starts again from 50 after every valid frame.
        en.read(10, 3, true);
        QByteArray wrongType = reply(KVP_TYPE_DATA, 10, 0, hex("01"));
        wrongType[4] = char(2);
        wrongType[11] = char(wrongType[11] - 1);
        for (int i = 0; i < 30; ++i)
            en.answer(wrongType);
        en.answer(reply(KVP_TYPE_DATA, 10, 0, hex("01"), 0x08));
        QCOMPARE(en.e->corruptCountdown, KVP_CORRUPT_TOLERANCE);
    }

    void corruptRepliesToFramesThatMustNotBeTakenTwiceFailAtOnce()
    {
        // The recorder answered, so it took the frame in: a write frame or
        // a read's follow-up request sent again could be taken in twice.
        Engine en;
        // One reply too many would be taken for the answer to a repetition.
        const auto spoilTolerance = [&](std::uint8_t type, std::uint8_t command,
                                        std::uint8_t sequence, const char* payload) {
            QByteArray bad = reply(type, command, sequence, hex(payload));
            bad[11] = char(bad[11] + 1);
            for (int i = 0; i < KVP_CORRUPT_TOLERANCE; ++i)
                en.answer(bad);
        };
        en.write(15, hex("01020304"), true, false);
        en.answer(reply(KVP_TYPE_STATUS, 15, 0, hex("00")));
        en.write(15, hex("05060708"), false, false);
        spoilTolerance(KVP_TYPE_STATUS, 15, 1, "00");
        QCOMPARE(en.rec.transmitted.size(), 2u);
        QCOMPARE(en.rec.reports.size(), 2u);
        QCOMPARE(en.rec.reports.back().status, KVP_STATUS_CORRUPT);

        // A write of a single frame executes its command: not repeated either.
        en.write(4, hex("01020304"), true, true);
        spoilTolerance(KVP_TYPE_STATUS, 4, 0, "00");
        QCOMPARE(en.rec.transmitted.size(), 3u);
        QCOMPARE(en.rec.reports.back().status, KVP_STATUS_CORRUPT);

        // A follow-up read request would be answered with the next block.
        en.read(10, 3, true);
        en.answer(reply(KVP_TYPE_DATA, 10, 0, hex("01"), 0x08));
        en.read(10, 3, false);
        spoilTolerance(KVP_TYPE_DATA, 10, 1, "02");
        QCOMPARE(en.rec.transmitted.size(), 5u);
        QCOMPARE(en.rec.reports.back().status, KVP_STATUS_CORRUPT);
    }

    void aDamagedCommandByteCountsTowardTheRepeat()
    {
        Engine en;
        en.read(10, 3, true);
        // The recorder's reply with its command byte changed on the line: the
        // header checksum no longer matches, so it is a corrupt header.
        QByteArray damaged = reply(KVP_TYPE_DATA, 10, 0, hex("01"));
        damaged[5] = char(damaged[5] ^ 0x40);
        for (int i = 0; i < KVP_CORRUPT_TOLERANCE - 1; ++i)
            en.answer(damaged);
        QCOMPARE(en.rec.transmitted.size(), 1u);
        en.answer(damaged);
        QCOMPARE(en.rec.transmitted.size(), 2u);
        QVERIFY(en.rec.reports.empty());

        // An intact answer to another command is still not counted.
        en.answer(reply(KVP_TYPE_DATA, 18, 0, hex("FFFFFFFF")));
        QCOMPARE(en.e->corruptCountdown, KVP_CORRUPT_TOLERANCE);
        en.answer(reply(KVP_TYPE_DATA, 10, 0, hex("01")));
        QCOMPARE(en.rec.reports.size(), 1u);
    }

    void initialisationForgetsAPartialFrame()
    {
        Engine en;
        en.read(9, 1, true);
        en.feed(reply(KVP_TYPE_DATA, 9, 0, hex("01020304")).left(14));
        kvpInitEngine(en.e.get());
        QVERIFY(!en.e->pending.load());
        en.read(9, 1, true);
        en.answer(reply(KVP_TYPE_DATA, 9, 0, hex("01020304")));
        QCOMPARE(en.rec.reports.size(), 1u);
    }
};

QTEST_GUILESS_MAIN(TestProtocolFrame)
#include "tst_protocol_frame.moc"
