// The FT232R stand-in's chip model, without a guest: what the guest's
// drivers read back from it must be what a real chip would say.
#include "ft232r.h"

#include <QtTest>

using namespace ft232r;

class TestVmFt232r : public QObject {
    Q_OBJECT

private slots:
    void baudDivisors()
    {
        QCOMPARE(baudRate(0x000C, 0), 250000.0); // the recorder's line: 3 MHz / 12
        QCOMPARE(baudRate(0x4138, 0), 9600.0);   // 312.5, the chip's reset state
        QCOMPARE(baudRate(0x0000, 0), 3000000.0);
        QCOMPARE(baudRate(0x0001, 0), 2000000.0);
        QCOMPARE(baudRate(0x800C, 0), 3000000 / 12.25);
        QCOMPARE(baudRate(0x800C, 1), 3000000 / 12.75); // the third fraction bit is in the index
        QCOMPARE(baudRate(0x4001, 0), 0.0);             // 1.5 is no divisor the chip takes
    }

    void inPacketsCarryTheStatusFirst()
    {
        Chip chip;
        QCOMPARE(chip.packetize({}), (std::vector<std::uint8_t> {0x31, 0x60}));

        std::vector<std::uint8_t> data(130);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = std::uint8_t(i);
        chip.lineError = kOverrun;
        const std::vector<std::uint8_t> packets = chip.packetize(data);
        QCOMPARE(packets.size(), std::size_t(136)); // 2 + 62, 2 + 62, 2 + 6
        for (const std::size_t at : {0, 64, 128}) {
            QCOMPARE(packets[at], std::uint8_t(0x31));
            QCOMPARE(packets[at + 1], std::uint8_t(0x60 | kOverrun));
        }
        QCOMPARE(packets[2], std::uint8_t(0));
        QCOMPARE(packets[66], std::uint8_t(62));
        QCOMPARE(packets[135], std::uint8_t(129));

        QCOMPARE(dataCapacity(4096), std::size_t(64 * 62));
        QCOMPARE(dataCapacity(64), std::size_t(62));
        QCOMPARE(dataCapacity(10), std::size_t(8));
        QCOMPARE(dataCapacity(2), std::size_t(0));
    }

    void vendorRequests()
    {
        Chip chip;
        const Identity id;
        QCOMPARE(chip.control({0xC0, 0x0A, 0, 1, 1}, {}, id).data, std::vector<std::uint8_t> {16});
        QVERIFY(!chip.control({0x40, 0x09, 2, 1, 0}, {}, id).stall);
        QCOMPARE(chip.latencyMs, std::uint8_t(2));
        QVERIFY(chip.control({0x40, 0x09, 0, 1, 0}, {}, id).stall); // 0 ms is no latency
        QCOMPARE(chip.latencyMs, std::uint8_t(2));

        const Reply data = chip.control({0x40, 0x04, 0x1008, 1, 0}, {}, id);
        QCOMPARE(data.meaning, std::string("8 data bits, no parity, 2 stop bits"));
        const Reply purge = chip.control({0x40, 0x00, 1, 1, 0}, {}, id);
        QVERIFY(purge.purgeRx && !purge.purgeTx);
        QVERIFY(chip.control({0x40, 0x03, 0x4001, 1, 0}, {}, id).stall);
        QCOMPARE(chip.baudValue, std::uint16_t(0x4138));
        QVERIFY(chip.control({0x40, 0x55, 0, 0, 0}, {}, id).stall);

        chip.stallLatency = true;
        QVERIFY(chip.control({0xC0, 0x0A, 0, 1, 1}, {}, id).stall);
        QVERIFY(chip.control({0x40, 0x09, 2, 1, 0}, {}, id).stall);
    }

    void descriptorsNameTheRecorder()
    {
        Chip chip;
        Identity id;
        id.product = "KORVANT KVP-DGL";
        const Reply device = chip.control({0x80, 0x06, 0x0100, 0, 18}, {}, id);
        QCOMPARE(device.data.size(), std::size_t(18));
        QCOMPARE(device.data[8] | device.data[9] << 8, 0x0403);
        QCOMPARE(device.data[10] | device.data[11] << 8, 0x6001);
        QCOMPARE(device.data[12] | device.data[13] << 8, 0x0600);

        const Reply config = chip.control({0x80, 0x06, 0x0200, 0, 255}, {}, id);
        QCOMPARE(config.data.size(), std::size_t(config.data[2]));

        const Reply product = chip.control({0x80, 0x06, 0x0302, 0x0409, 255}, {}, id);
        QCOMPARE(product.data[0], std::uint8_t(2 + 2 * id.product.size()));
        std::string text;
        for (std::size_t i = 2; i < product.data.size(); i += 2)
            text += char(product.data[i]);
        QCOMPARE(text, id.product);
        QVERIFY(chip.control({0x80, 0x06, 0x0304, 0x0409, 255}, {}, id).stall);
    }
};

QTEST_GUILESS_MAIN(TestVmFt232r)
#include "tst_vm_ft232r.moc"
