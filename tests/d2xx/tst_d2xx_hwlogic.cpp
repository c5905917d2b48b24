// The hardware backends' logic that needs no hardware: naming and ordering
// of FTDI devices, the sysfs scan, MZT500_PORTS and the merged list.
#include "backend.h"
#include "ftd2xx.h"
#include "hw_common.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <libusb.h>

using namespace d2xx;
using namespace d2xx::hw;

namespace {

class NamedBackend : public Backend {
public:
    explicit NamedBackend(const char* n)
        : n_(n)
    {
    }
    const char* name() const override { return n_; }
    std::vector<DeviceInfo> list() override { return {}; }
    std::unique_ptr<Port> open(const DeviceInfo&, OpenFailure*) override { return nullptr; }

private:
    const char* n_;
};

DeviceInfo usbDevice(const std::string& key, int bus, int address)
{
    DeviceInfo d;
    d.key = key;
    d.usbBus = bus;
    d.usbAddress = address;
    return d;
}

// A fake sysfs tree with the links the kernel makes for a usb-serial port.
class FakeSysfs {
public:
    explicit FakeSysfs(const QString& root)
        : root_(root)
    {
        QDir(root_).mkpath("class/tty");
        QDir(root_).mkpath("bus/usb-serial/drivers/ftdi_sio");
        QDir(root_).mkpath("bus/usb-serial/drivers/cp210x");
        QDir(root_).mkpath("class/tty/ttyS0"); // a built-in port, no device link
    }

    // usbName like "1-2.3"; files: name -> content of the USB device.
    void addPort(const QString& tty, const QString& usbName, int interface,
                 const QMap<QString, QString>& files, const QString& driver = "ftdi_sio")
    {
        const QString usbDir =
            root_ + "/devices/pci0000:00/usb" + usbName.section('-', 0, 0) + "/" + usbName;
        const QString ifDir = usbDir + "/" + usbName + ":1." + QString::number(interface);
        const QString portDir = ifDir + "/" + tty;
        QVERIFY(QDir().mkpath(portDir));
        for (auto it = files.begin(); it != files.end(); ++it)
            write(usbDir + "/" + it.key(), it.value());
        write(ifDir + "/bInterfaceNumber", QString("%1").arg(interface, 2, 10, QChar('0')));
        QVERIFY(QFile::link(root_ + "/bus/usb-serial/drivers/" + driver, portDir + "/driver"));
        QVERIFY(QDir().mkpath(root_ + "/class/tty/" + tty));
        QVERIFY(QFile::link(portDir, root_ + "/class/tty/" + tty + "/device"));
    }

private:
    static void write(const QString& path, const QString& text)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write((text + "\n").toUtf8());
    }

    QString root_;
};

QMap<QString, QString> ftdiFiles(const QString& product, const QString& bcd, int bus, int devnum,
                                 const QString& serial = {})
{
    QMap<QString, QString> files {{"idVendor", "0403"},
                                  {"idProduct", bcd == "0700" ? "6010" : "6001"},
                                  {"bcdDevice", bcd},
                                  {"product", product},
                                  {"busnum", QString::number(bus)},
                                  {"devnum", QString::number(devnum)}};
    if (!serial.isEmpty())
        files.insert("serial", serial);
    return files;
}

} // namespace

class TestHwLogic : public QObject {
    Q_OBJECT

private slots:
    void portsVariable_data();
    void portsVariable();
    void usbKeysAndOrder();
    void interfaceNaming();
    void resultMapping();
    void sysfsScan();
    void sysfsScanOfMissingTree();
    void namedPortsReplaceTheirTtyUsbEntry();
    void mergedListOrder();
};

void TestHwLogic::portsVariable_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("expected"); // "path|description" pairs

    QTest::newRow("empty") << "" << QStringList {};
    QTest::newRow("one") << "/dev/pts/3=KORVANT KVP-DEV"
                         << QStringList {"/dev/pts/3|KORVANT KVP-DEV"};
    QTest::newRow("two, blanks and empty entries")
        << " /dev/ttyS1 = KORVANT KVP-DGL ;;/dev/pts/7=KORVANT KVP-DEV;"
        << QStringList {"/dev/ttyS1|KORVANT KVP-DGL", "/dev/pts/7|KORVANT KVP-DEV"};
    QTest::newRow("no description") << "/dev/ttyS2" << QStringList {"/dev/ttyS2|"};
    QTest::newRow("description keeps later '='") << "/dev/x=a=b" << QStringList {"/dev/x|a=b"};
    QTest::newRow("no path") << "=KORVANT KVP-DEV;/dev/y=Y" << QStringList {"/dev/y|Y"};
    QTest::newRow("path named twice")
        << "/dev/z=first;/dev/z=second" << QStringList {"/dev/z|first"};
}

void TestHwLogic::portsVariable()
{
    QFETCH(QString, value);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const NamedPort& p : parsePortsVariable(value.toStdString()))
        got << QString::fromStdString(p.path + "|" + p.description);
    QCOMPARE(got, expected);
}

void TestHwLogic::usbKeysAndOrder()
{
    UsbPlace place {3, {1, 10, 2}, 1};
    UsbPlace back;
    QVERIFY(parseUsbKey(usbKey(place), &back));
    QCOMPARE(back, place);
    for (const char* bad : {"", "usb:", "usb:1-:0", "usb:0-1:0", "usb:1-2", "usb:1-2.:0",
                            "usb:1-x:0", "/dev/ttyUSB0", "usb:-1-2:0"})
        QVERIFY2(!parseUsbKey(bad, &back), bad);

    // Numeric order by bus, then port path, then interface; anything that is
    // not a USB place goes last in its original order.
    std::vector<DeviceInfo> devices {usbDevice("other-b", 0, 0),    usbDevice("usb:2-1:0", 2, 1),
                                     usbDevice("usb:1-10:0", 1, 2), usbDevice("usb:1-9.1:1", 1, 3),
                                     usbDevice("other-a", 0, 0),    usbDevice("usb:1-9.1:0", 1, 3),
                                     usbDevice("usb:1-9:0", 1, 4)};
    sortByUsbPlace(&devices);
    QStringList keys;
    for (const DeviceInfo& d : devices)
        keys << QString::fromStdString(d.key);
    QCOMPARE(keys,
             (QStringList {"usb:1-9:0", "usb:1-9.1:0", "usb:1-9.1:1", "usb:1-10:0", "usb:2-1:0",
                           "other-b", "other-a"}));

    // Different sockets give different location ids.
    QVERIFY(locationId({1, {2}, 0}) != locationId({1, {3}, 0}));
    QVERIFY(locationId({1, {2}, 0}) != locationId({2, {2}, 0}));
    QVERIFY(locationId({1, {2, 1}, 0}) != locationId({1, {2}, 0}));
}

void TestHwLogic::interfaceNaming()
{
    const DeviceInfo r =
        describeInterface(0x6001, 0x0600, "KORVANT KVP-DEV", "KV123456", {1, {4}, 0}, 9);
    QCOMPARE(r.description, std::string("KORVANT KVP-DEV"));
    QCOMPARE(r.serial, std::string("KV123456"));
    QCOMPARE(r.type, ULONG {FT_DEVICE_232R});
    QCOMPARE(r.id, 0x04036001u);
    QCOMPARE(r.flags, 0u);
    QCOMPARE(r.usbBus, 1);
    QCOMPARE(r.usbAddress, 9);

    const DeviceInfo c = describeInterface(0x6011, 0x0800, "Quad RS232-HS", "FT4X", {1, {2}, 2}, 5);
    QCOMPARE(c.description, std::string("Quad RS232-HS C"));
    QCOMPARE(c.serial, std::string("FT4XC"));
    QCOMPARE(c.type, ULONG {FT_DEVICE_4232H});
    QCOMPARE(c.flags, ULONG {FT_FLAGS_HISPEED});

    // A missing serial number stays missing rather than becoming "A".
    const DeviceInfo a = describeInterface(0x6010, 0x0700, "Dual RS232-HS", "", {1, {2}, 0}, 5);
    QCOMPARE(a.description, std::string("Dual RS232-HS A"));
    QCOMPARE(a.serial, std::string());
    QVERIFY(a.key != c.key);
}

void TestHwLogic::resultMapping()
{
    QCOMPARE(classifyUsbResult(5), UsbOutcome::Ok);
    QCOMPARE(classifyUsbResult(LIBUSB_ERROR_NO_DEVICE), UsbOutcome::Gone);
    QCOMPARE(classifyUsbResult(LIBUSB_ERROR_TIMEOUT), UsbOutcome::TimedOut);
    QCOMPARE(classifyUsbResult(LIBUSB_ERROR_IO), UsbOutcome::Failed);
    QCOMPARE(classifyUsbResult(LIBUSB_ERROR_PIPE), UsbOutcome::Failed);

    QVERIFY(openFailureText(-4, LIBUSB_ERROR_ACCESS).find("permission denied") == 0);
    QVERIFY(openFailureText(-8, 0).find("permission denied") == 0);
    QVERIFY(openFailureText(-5, 0).find("cannot claim") == 0);
    QVERIFY(openFailureText(-4, LIBUSB_ERROR_BUSY).find("cannot claim") == 0);
    QVERIFY(openFailureText(-4, LIBUSB_ERROR_NO_DEVICE).find("no longer connected")
            != std::string::npos);

    QVERIFY(isGoneErrno(EIO) && isGoneErrno(ENODEV) && isGoneErrno(ENXIO) && isGoneErrno(ENOENT));
    QVERIFY(!isGoneErrno(EAGAIN) && !isGoneErrno(EINTR));
    QVERIFY(serialOpenFailureText(EACCES).find("permission denied") == 0);
    QVERIFY(serialOpenFailureText(EBUSY).find("in use") != std::string::npos);
}

void TestHwLogic::sysfsScan()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    FakeSysfs sys(dir.path());
    sys.addPort("ttyUSB1", "1-2", 0, ftdiFiles("KORVANT KVP-DEV", "0600", 1, 7, "KV000001"));
    sys.addPort("ttyUSB3", "2-1", 0, ftdiFiles("KORVANT KVP-DGL", "0600", 2, 3));
    // A dual chip on a hub port that sorts before 1-2: interface B got the
    // lower tty number, the list still goes by interface.
    sys.addPort("ttyUSB0", "1-1.4", 1, ftdiFiles("Dual RS232-HS", "0700", 1, 12, "FTDUAL"));
    sys.addPort("ttyUSB2", "1-1.4", 0, ftdiFiles("Dual RS232-HS", "0700", 1, 12, "FTDUAL"));
    // Not an FTDI chip.
    sys.addPort("ttyUSB4", "1-3", 0,
                {{"idVendor", "10c4"},
                 {"idProduct", "ea60"},
                 {"product", "CP2102"},
                 {"busnum", "1"},
                 {"devnum", "8"}},
                "cp210x");
    // An FTDI chip with a vendor id of its own, still bound to ftdi_sio.
    sys.addPort("ttyUSB5", "1-5", 0,
                {{"idVendor", "1234"},
                 {"idProduct", "0001"},
                 {"bcdDevice", "0600"},
                 {"product", "Custom FTDI"},
                 {"busnum", "1"},
                 {"devnum", "20"}});

    const std::vector<DeviceInfo> ports = scanTtyUsbPorts(dir.path().toStdString(), "/dev");
    QStringList got;
    for (const DeviceInfo& p : ports)
        got << QString("%1|%2|%3|%4:%5")
                   .arg(QString::fromStdString(p.key), QString::fromStdString(p.description),
                        QString::fromStdString(p.serial))
                   .arg(p.usbBus)
                   .arg(p.usbAddress);
    QCOMPARE(got,
             (QStringList {"/dev/ttyUSB2|Dual RS232-HS A|FTDUALA|1:12",
                           "/dev/ttyUSB0|Dual RS232-HS B|FTDUALB|1:12",
                           "/dev/ttyUSB1|KORVANT KVP-DEV|KV000001|1:7",
                           "/dev/ttyUSB5|Custom FTDI||1:20", "/dev/ttyUSB3|KORVANT KVP-DGL||2:3"}));
    QCOMPARE(ports[2].type, ULONG {FT_DEVICE_232R});
    // Its place is the USB socket, as libftdi would list it, not the tty
    // number, which a replugged device need not get back.
    QCOMPARE(ports[2].place, std::string("usb:1-2:0"));
    QCOMPARE(ports[1].place, std::string("usb:1-1.4:1"));
}

void TestHwLogic::sysfsScanOfMissingTree()
{
    QTemporaryDir dir;
    QVERIFY(scanTtyUsbPorts((dir.path() + "/nothing").toStdString()).empty());
}

void TestHwLogic::namedPortsReplaceTheirTtyUsbEntry()
{
    QTemporaryDir dir;
    const QString tty0 = dir.path() + "/ttyUSB0";
    const QString tty1 = dir.path() + "/ttyUSB1";
    QFile(tty0).open(QIODevice::WriteOnly);
    QFile(tty1).open(QIODevice::WriteOnly);
    QVERIFY(QFile::link(tty1, dir.path() + "/by-id-recorder"));

    std::vector<DeviceInfo> ttyUsb {usbDevice(tty0.toStdString(), 1, 5),
                                    usbDevice(tty1.toStdString(), 1, 6)};
    const auto named = parsePortsVariable((dir.path()
                                           + "/by-id-recorder=KORVANT KVP-DEV;"
                                             "/dev/pts/9=KORVANT KVP-DGL")
                                              .toStdString());
    const std::vector<DeviceInfo> list = serialListing(ttyUsb, named);
    QCOMPARE(list.size(), std::size_t(3));
    QCOMPARE(list[0].key, tty0.toStdString());
    QCOMPARE(list[1].key, (dir.path() + "/by-id-recorder").toStdString());
    QCOMPARE(list[1].description, std::string("KORVANT KVP-DEV"));
    QCOMPARE(list[1].usbBus, 0); // named ports carry no USB identity
    QCOMPARE(list[2].key, std::string("/dev/pts/9"));
    QCOMPARE(list[2].place, std::string("/dev/pts/9"));
}

void TestHwLogic::mergedListOrder()
{
    NamedBackend ftdi("ftdi"), serial("serial");
    // libftdi could read bus 1 address 7 (both interfaces of a dual chip);
    // the ttyUSB ports of address 7 are the same device and go, the one of
    // address 9 (no USB permission) stays, the named port comes last.
    const std::vector<DeviceInfo> ftdiDevices {usbDevice("usb:1-2:0", 1, 7),
                                               usbDevice("usb:1-2:1", 1, 7)};
    const std::vector<DeviceInfo> serialDevices {
        usbDevice("/dev/ttyUSB0", 1, 7), usbDevice("/dev/pts/4", 0, 0),
        usbDevice("/dev/ttyUSB1", 1, 7), usbDevice("/dev/ttyUSB2", 1, 9),
        usbDevice("/dev/ttyUSB3", 2, 7)};
    const std::vector<ListedDevice> merged =
        mergeListings(&ftdi, ftdiDevices, &serial, serialDevices);
    QStringList got;
    for (const ListedDevice& d : merged)
        got << QString("%1 %2").arg(d.backend->name(), QString::fromStdString(d.info.key));
    QCOMPARE(got,
             (QStringList {"ftdi usb:1-2:0", "ftdi usb:1-2:1", "serial /dev/ttyUSB2",
                           "serial /dev/ttyUSB3", "serial /dev/pts/4"}));
}

QTEST_GUILESS_MAIN(TestHwLogic)
#include "tst_d2xx_hwlogic.moc"
