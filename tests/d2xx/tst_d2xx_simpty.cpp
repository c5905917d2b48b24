// The simulated recorder served on a pseudo-terminal by mzt500-sim --pty,
// reached through MZT500_PORTS and the kernel serial backend as a real
// recorder on a serial port would be.
#include "ftd2xx.h"

#include <QProcess>
#include <QTest>

namespace {

// Reads one whole frame (header, payload, trailer) or fails.
QByteArray readFrame(FT_HANDLE h)
{
    QByteArray header(12, '\0');
    DWORD got = 0;
    if (FT_Read(h, header.data(), 12, &got) != FT_OK || got != 12)
        return {};
    const int length = quint8(header[8]) | quint8(header[9]) << 8;
    QByteArray rest(length + 2, '\0');
    if (FT_Read(h, rest.data(), DWORD(rest.size()), &got) != FT_OK || got != DWORD(rest.size()))
        return {};
    return header + rest;
}

} // namespace

class TestSimPty : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void deviceInformationOverThePty();
    void cleanupTestCase();

private:
    QProcess sim_;
    QString slave_;
};

void TestSimPty::initTestCase()
{
    qputenv("MZT500_NO_HARDWARE", "1");
    qunsetenv("MZT500_SIMULATOR");
    sim_.setProgram(QStringLiteral(MZT500_SIM_PATH));
    sim_.setArguments({"--pty"});
    sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim_.start();
    QVERIFY2(sim_.waitForStarted(5000), qPrintable(sim_.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(sim_.canReadLine(), 20000);
    slave_ = QString::fromLocal8Bit(sim_.readLine()).trimmed();
    QVERIFY2(slave_.startsWith('/'), qPrintable(slave_));
    qputenv("MZT500_PORTS", (slave_ + "=KORVANT KVP-DEV").toLocal8Bit());
}

void TestSimPty::deviceInformationOverThePty()
{
    // The program closes and reopens the port at every discovery and mode
    // switch; the recorder must answer every time.
    for (int round = 0; round < 3; ++round) {
        DWORD count = 0;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(1));
        FT_DEVICE_LIST_INFO_NODE node {};
        QCOMPARE(FT_GetDeviceInfoList(&node, &count), FT_OK);
        QCOMPARE(QByteArray(node.Description), QByteArray("KORVANT KVP-DEV"));

        FT_HANDLE h = nullptr;
        QCOMPARE(FT_Open(0, &h), FT_OK);
        QCOMPARE(FT_ResetDevice(h), FT_OK);
        QCOMPARE(FT_SetBaudRate(h, 250000), FT_OK);
        QCOMPARE(FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE), FT_OK);
        QCOMPARE(FT_SetTimeouts(h, 3000, 2000), FT_OK);

        // Read request for command 1 (device information), parameter 0.
        unsigned char request[] = {0xAA, 0x00, 0xFF, 0x0C, 0x02, 0x01, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0xB8, 0xB8, 0xCC};
        DWORD written = 0;
        QCOMPARE(FT_Write(h, request, sizeof request, &written), FT_OK);
        QCOMPARE(written, DWORD(sizeof request));

        const QByteArray reply = readFrame(h);
        QCOMPARE(reply.size(), 14 + 50);
        QCOMPARE(quint8(reply[0]), quint8(0xAA));
        QCOMPARE(quint8(reply[3]), quint8(0x0C)); // first and last
        QCOMPARE(quint8(reply[4]), quint8(3));    // data reply
        QCOMPARE(quint8(reply[5]), quint8(1));    // command echoed
        QCOMPARE(quint8(reply[10]), quint8(0));   // sequence
        quint8 sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = quint8(sum + quint8(reply[i]));
        QCOMPARE(quint8(reply[11]), sum);
        const QByteArray payload = reply.mid(12, 50);
        for (char c : payload)
            sum = quint8(sum + quint8(c));
        QCOMPARE(quint8(reply[62]), sum);
        QCOMPARE(quint8(reply[63]), quint8(0xCC));
        QVERIFY2(payload.contains("MZT-500"), payload.toHex(' ').constData());

        // Nothing more follows.
        QCOMPARE(FT_SetTimeouts(h, 50, 2000), FT_OK);
        char extra;
        DWORD got = 0;
        QCOMPARE(FT_Read(h, &extra, 1, &got), FT_OK);
        QCOMPARE(got, DWORD(0));
        QCOMPARE(FT_Close(h), FT_OK);
    }
}

void TestSimPty::cleanupTestCase()
{
    if (sim_.state() != QProcess::NotRunning) {
        sim_.terminate();
        if (!sim_.waitForFinished(5000))
            sim_.kill();
        sim_.waitForFinished(5000);
    }
}

QTEST_GUILESS_MAIN(TestSimPty)
#include "tst_d2xx_simpty.moc"
