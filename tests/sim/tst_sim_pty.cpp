// mzt500-sim --pty: one simulated recorder on a pseudo-terminal that keeps
// serving across the client's close and reopen.
#include "simtest.h"

#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray exchange(const QByteArray& path, const QByteArray& request, int want)
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return "open failed";
    termios t {};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    QByteArray reply;
    if (::write(fd, request.constData(), static_cast<size_t>(request.size())) == request.size()) {
        while (reply.size() < want) {
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            reply.append(buf, n);
        }
    }
    ::close(fd);
    return reply;
}

} // namespace

class TestSimPty : public QObject {
    Q_OBJECT

private slots:
    void servesAcrossReopen()
    {
        QProcess sim;
        sim.start(QStringLiteral(MZT_SIM_TOOL), {QStringLiteral("--pty")});
        QVERIFY(sim.waitForStarted());
        QVERIFY(sim.waitForReadyRead(10000));
        const QByteArray path = sim.readLine().trimmed();
        QVERIFY2(path.startsWith("/dev/"), path.constData());

        const QByteArray identify = hexBytes("AA 00 FF 0C 02 01 00 00 00 00 00 B8 B8 CC");
        for (int round = 0; round < 3; ++round) {
            const QByteArray reply = exchange(path, identify, 64);
            QCOMPARE(reply.size(), 64);
            QCOMPARE(static_cast<int>(reply[3]), 0x0C);
            QCOMPARE(reply.mid(18, 7), QByteArray("MZT-500"));
        }
        // State survives the reopen: transfer mode entered in one session is
        // reported in the next.
        exchange(path, sim::HostClient::readRequest(18, 1, true, 0), 18);
        const QByteArray mode = exchange(path, sim::HostClient::readRequest(18, 0, true, 0), 18);
        QCOMPARE(mode.size(), 18);
        QCOMPARE(u32At(mode, 12), 0xFFFFFFFFu);

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSimPty)
#include "tst_sim_pty.moc"
