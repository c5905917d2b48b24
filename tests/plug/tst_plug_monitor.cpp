// Plug and unplug events: the monitor tells when a simulated device or a
// named serial port comes or goes, and the listing diff says which.
#include "ftd2xx.h"
#include "plug_monitor.h"
#include "simulator.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <fcntl.h>
#include <unistd.h>

using d2xx::PluggedDevice;

namespace {

constexpr int kGenerous = 10000;

bool listed(const std::string& serialOrPlace)
{
    for (const PluggedDevice& d : d2xx::listPluggedDevices())
        if (d.serial == serialOrPlace || d.place == serialOrPlace)
            return true;
    return false;
}

// A pseudo-terminal whose slave stands in for a serial port.
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QString slave;
    Pty()
    {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            slave = QString::fromLocal8Bit(::ptsname(master));
    }
    ~Pty() { close(); }
    void close()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
};

// A simulated recorder, present while presentWhile exists when it is given.
sim::DeviceConfig recorder(const char* serial, const QString& presentWhile = {})
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = serial;
    c.presentWhile = presentWhile.toStdString();
    return c;
}

PluggedDevice device(const char* serial, const char* place)
{
    return PluggedDevice {serial, place, "KORVANT KVP-DEV"};
}

// Lets the monitor finish telling of what happened so far (one event may
// come in two bursts, a busy machine may delay the second), then forgets
// what it told: whatever comes after is about the next change.
void waitUntilQuiet(QSignalSpy& changed)
{
    for (int round = 0; round < 25; ++round) {
        const qsizetype before = changed.count();
        QTest::qWait(400);
        if (changed.count() == before)
            break;
    }
    changed.clear();
}

} // namespace

Q_DECLARE_METATYPE(std::vector<PluggedDevice>)

class TestPlugMonitor : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        qunsetenv("MZT500_PORTS");
        qunsetenv("MZT500_SIMULATOR");
        sim::Bus::instance().uninstall();
    }

    // A simulated recorder that follows a path is plugged in by creating
    // the path and unplugged by removing it, and the monitor notices both.
    void simulatedDeviceFollowsItsPath()
    {
        QTemporaryDir dir;
        const QString plug = dir.filePath("kv1");
        sim::Bus::instance().install({recorder("KV000001", plug)});
        QVERIFY(!listed("KV000001"));

        d2xx::PlugMonitor monitor;
        QSignalSpy changed(&monitor, &d2xx::PlugMonitor::devicesChanged);
        monitor.start();
        QVERIFY(QFile(plug).open(QIODevice::WriteOnly));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(listed("KV000001"));

        changed.clear();
        QVERIFY(QFile::remove(plug));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(!listed("KV000001"));
    }

    // The same from a configuration file, as the program and scripts
    // select the simulator.
    void configuredDeviceFollowsItsPath()
    {
        QTemporaryDir dir;
        const QString plug = dir.filePath("kv9");
        const QString config = dir.filePath("sim.json");
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QStringLiteral(R"({"serial": "KV000009", "presentWhile": "%1"})").arg(plug).toUtf8());
        file.close();
        sim::Bus::instance().uninstall();
        qputenv("MZT500_SIMULATOR", config.toLocal8Bit());
        QVERIFY(!listed("KV000009"));

        d2xx::PlugMonitor monitor;
        QSignalSpy changed(&monitor, &d2xx::PlugMonitor::devicesChanged);
        monitor.start();
        QVERIFY(QFile(plug).open(QIODevice::WriteOnly));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(listed("KV000009"));
    }

    // An open handle fails once the path goes, as when a cable is pulled,
    // and the device plugged in again is a new one that opens.
    void removingThePathUnplugsAnOpenDevice()
    {
        QTemporaryDir dir;
        const QString plug = dir.filePath("kv1");
        QVERIFY(QFile(plug).open(QIODevice::WriteOnly));
        sim::Bus::instance().install({recorder("KV000001", plug)});
        QVERIFY(listed("KV000001"));
        FT_HANDLE h = nullptr;
        QCOMPARE(FT_Open(0, &h), FT_OK);
        DWORD queued = 0;
        QCOMPARE(FT_GetStatus(h, &queued, nullptr, nullptr), FT_OK);

        QVERIFY(QFile::remove(plug));
        QVERIFY(FT_GetStatus(h, &queued, nullptr, nullptr) != FT_OK);
        QVERIFY(!listed("KV000001"));

        QVERIFY(QFile(plug).open(QIODevice::WriteOnly));
        QVERIFY(listed("KV000001"));
        FT_HANDLE again = nullptr;
        QCOMPARE(FT_Open(0, &again), FT_OK);
        QCOMPARE(FT_Close(again), FT_OK);
        QCOMPARE(FT_Close(h), FT_OK);
    }

    // What is plugged in now is read without replacing the list FT_Open's
    // positions refer to, and shows each device as the listing does.
    void presentDevicesLeaveTheOpenList()
    {
        QTemporaryDir dir;
        const QString plug = dir.filePath("kv1");
        sim::Bus::instance().install({recorder("KV000001", plug), recorder("KV000002")});
        DWORD count = 0;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(1));
        const std::vector<d2xx::PresentDevice> before = d2xx::presentDevices();
        QCOMPARE(d2xx::presentDevices(), before);

        QVERIFY(QFile(plug).open(QIODevice::WriteOnly));
        const std::vector<d2xx::PresentDevice> after = d2xx::presentDevices();
        QVERIFY(after != before);
        QCOMPARE(after.size(), size_t(2));
        FT_DEVICE_LIST_INFO_NODE nodes[2] {};
        count = 2;
        QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_OK);
        QCOMPARE(count, DWORD(1));
        QCOMPARE(QByteArray(nodes[0].SerialNumber), QByteArray("KV000002"));

        const std::vector<PluggedDevice> listed = d2xx::listPluggedDevices();
        QCOMPARE(listed.size(), after.size());
        for (size_t i = 0; i < listed.size(); ++i)
            QVERIFY(listed[i] == after[i].device);
    }

    // Devices plugged and unplugged through the simulator's API, from
    // another thread too, are told; a burst comes as one signal.
    void simulatorApiChangesAreTold()
    {
        auto first = sim::Bus::instance().install({recorder("KV000001")}).front();
        d2xx::PlugMonitor monitor;
        QSignalSpy changed(&monitor, &d2xx::PlugMonitor::devicesChanged);
        monitor.start();

        std::thread([first] {
            first->vanish();
            first->reappear();
            first->vanish();
        }).join();
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!listed("KV000001"));

        changed.clear();
        sim::Bus::instance().add(recorder("KV000002"));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(listed("KV000002"));

        // Stopped, it says nothing more.
        monitor.stop();
        changed.clear();
        first->reappear();
        QTest::qWait(3 * d2xx::PlugMonitor::kSettleMs);
        QCOMPARE(changed.count(), 0);
    }

    // A link named in MZT500_PORTS to a pseudo-terminal stands in for a
    // serial port being plugged in; removing the link, or closing the
    // terminal behind it, unplugs it.
    void namedPortLinkComesAndGoes()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("recorder");
        qputenv("MZT500_PORTS", (link + "=KORVANT KVP-DEV").toLocal8Bit());
        Pty pty;
        QVERIFY(!pty.slave.isEmpty());
        QVERIFY(!listed(link.toStdString()));

        d2xx::PlugMonitor monitor;
        QSignalSpy changed(&monitor, &d2xx::PlugMonitor::devicesChanged);
        monitor.start();
        QVERIFY(QFile::link(pty.slave, link));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(listed(link.toStdString()));

        waitUntilQuiet(changed);
        QVERIFY(QFile::remove(link));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(!listed(link.toStdString()));

        waitUntilQuiet(changed);
        QVERIFY(QFile::link(pty.slave, link));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        waitUntilQuiet(changed);
        QVERIFY(listed(link.toStdString()));
        pty.close();
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kGenerous);
        QVERIFY(!listed(link.toStdString()));
    }

    // A port whose folder does not exist yet is noticed once the folder
    // and the port in it appear.
    void namedPortInAFolderMadeLater()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("serial/by-id");
        const QString port = folder + "/recorder";
        qputenv("MZT500_PORTS", (port + "=KORVANT KVP-DEV").toLocal8Bit());
        Pty pty;
        d2xx::PlugMonitor monitor;
        QSignalSpy changed(&monitor, &d2xx::PlugMonitor::devicesChanged);
        monitor.start();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(pty.slave, port));
        QTRY_VERIFY_WITH_TIMEOUT(listed(port.toStdString()) && changed.count() > 0, kGenerous);
    }

    void diffOfListings_data()
    {
        QTest::addColumn<std::vector<PluggedDevice>>("before");
        QTest::addColumn<std::vector<PluggedDevice>>("after");
        QTest::addColumn<QStringList>("appeared");
        QTest::addColumn<QStringList>("gone");

        const auto a = device("KV1", "sim:slot1");
        const auto b = device("KV2", "sim:slot2");
        const auto bElsewhere = device("KV2", "usb:1-4:0");
        const auto port = device("", "/dev/ttyS0");
        const auto portMoved = device("", "/dev/ttyS1");
        QTest::newRow("nothing changed, order aside")
            << std::vector {a, b} << std::vector {b, a} << QStringList() << QStringList();
        QTest::newRow("one plugged in")
            << std::vector {a} << std::vector {a, b} << QStringList {"KV2"} << QStringList();
        QTest::newRow("one unplugged")
            << std::vector {a, b} << std::vector {b} << QStringList() << QStringList {"KV1"};
        QTest::newRow("same serial in another socket is the same recorder")
            << std::vector {a, b} << std::vector {a, bElsewhere} << QStringList() << QStringList();
        QTest::newRow("without serial, the place tells")
            << std::vector {port} << std::vector {portMoved} << QStringList {"/dev/ttyS1"}
            << QStringList {"/dev/ttyS0"};
        QTest::newRow("one of two twins gone") << std::vector {b, bElsewhere} << std::vector {b}
                                               << QStringList() << QStringList {"KV2"};
        QTest::newRow("from nothing") << std::vector<PluggedDevice> {} << std::vector {a, port}
                                      << QStringList {"KV1", "/dev/ttyS0"} << QStringList();
    }

    void diffOfListings()
    {
        QFETCH(std::vector<PluggedDevice>, before);
        QFETCH(std::vector<PluggedDevice>, after);
        QFETCH(QStringList, appeared);
        QFETCH(QStringList, gone);
        const auto names = [](const std::vector<PluggedDevice>& devices) {
            QStringList out;
            for (const PluggedDevice& d : devices)
                out << QString::fromStdString(d.serial.empty() ? d.place : d.serial);
            return out;
        };
        const d2xx::PlugDiff diff = d2xx::diffListings(before, after);
        QCOMPARE(names(diff.appeared), appeared);
        QCOMPARE(names(diff.gone), gone);
        QCOMPARE(diff.empty(), appeared.isEmpty() && gone.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPlugMonitor)
#include "tst_plug_monitor.moc"
