// mzt500-cli inside the test guest (scripts/vm-run), through a real kernel
// USB stack to the simulated recorder on the host: the whole program, its
// device layer and the FTDI route the guest was started with ($MZT_VM_ROUTE:
// "kernel" for ftdi_sio's /dev/ttyUSB0, "libftdi" for the FT232R stand-in).
// Every case shares one guest, so the cases run in order and leave the
// recorder as they found it.
#include "../cli/clitest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QByteArray sha256(const QString& path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex();
}

// Asks scripts/vm-run on the host for an event and waits for its answer.
QString askHost(const QString& request)
{
    const int fd = ::open(qgetenv("MZT_VM_CONTROL").constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("no control port");
    const QByteArray line = request.toUtf8() + '\n';
    QByteArray answer;
    if (::write(fd, line.constData(), size_t(line.size())) == line.size()) {
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n')
            answer.append(c);
    }
    ::close(fd);
    return QString::fromUtf8(answer);
}

// An FTDI device on the guest's USB bus, as the kernel lists it.
bool ftdiPresent()
{
    const QDir devices(QStringLiteral("/sys/bus/usb/devices"));
    for (const QString& name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (readFile(devices.filePath(name + QStringLiteral("/idVendor"))).trimmed() == "0403")
            return true;
    return false;
}

bool kernelRoute()
{
    return qgetenv("MZT_VM_ROUTE") == "kernel";
}

} // namespace

class TestVmRoutes : public QObject {
    Q_OBJECT

private:
    QString m_dir;
    QProcessEnvironment m_env;
    std::map<std::uint16_t, QByteArray> m_files;

    CliRun cli(const QStringList& args)
    {
        QElapsedTimer t;
        t.start();
        const CliRun run = runCli(args, m_env);
        qInfo("mzt500-cli %s: status %d in %.1f s", qPrintable(args.join(QLatin1Char(' '))),
              run.code, t.elapsed() / 1000.0);
        return run;
    }

    QString scratch(const QString& name) const { return m_dir + QLatin1Char('/') + name; }

    // Bytes carried between the program and the device so far.
    qint64 bytesMoved() const
    {
        if (kernelRoute()) {
            // ftdi_sio counts the port's bytes; a second opener does not
            // disturb the program's own use of the port.
            const int fd = ::open("/dev/ttyUSB0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                return -1;
            serial_icounter_struct counts {};
            const int r = ::ioctl(fd, TIOCGICOUNT, &counts);
            ::close(fd);
            return r == 0 ? qint64(counts.rx) + counts.tx : -1;
        }
        const QStringList answer = askHost(QStringLiteral("standin bytes")).split(QLatin1Char(' '));
        return answer.size() == 2 ? answer[1].toLongLong() : -1;
    }

    static bool waitFor(const std::function<bool()>& condition, int seconds)
    {
        QDeadlineTimer deadline(seconds * 1000);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(200);
        }
        return true;
    }

    static bool portReady()
    {
        return ftdiPresent() && (!kernelRoute() || QFile::exists(QStringLiteral("/dev/ttyUSB0")));
    }

    struct Unplugged {
        CliRun run;
        double seconds = -1; // from the unplug to the program's exit
    };

    // Starts mzt500-cli, pulls the device once `afterBytes` more bytes have
    // crossed the link, and plugs it in again once the program has ended.
    Unplugged runAndUnplug(const QStringList& args, qint64 afterBytes)
    {
        Unplugged result;
        const qint64 before = bytesMoved();
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.start(QStringLiteral(MZT_CLI), args);
        if (!p.waitForStarted(10000))
            return result;
        while (p.state() == QProcess::Running && bytesMoved() - before < afterBytes)
            p.waitForFinished(100);
        if (p.state() != QProcess::Running) {
            result.run.err = "finished before the unplug: " + p.readAllStandardError();
            return result;
        }
        const QString unplugged = askHost(QStringLiteral("unplug"));
        QElapsedTimer t;
        t.start();
        const bool ended = p.waitForFinished(120000);
        result.seconds = t.elapsed() / 1000.0;
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        result.run.code = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        result.run.out = p.readAllStandardOutput();
        result.run.err = p.readAllStandardError();
        qInfo("mzt500-cli %s: %s, status %d %.2f s after the unplug: %s",
              qPrintable(args.join(QLatin1Char(' '))), qPrintable(unplugged), result.run.code,
              result.seconds, result.run.err.trimmed().constData());
        const QString plugged = askHost(QStringLiteral("plug"));
        if (!waitFor(portReady, 60))
            qWarning("the device did not come back after \"%s\"", qPrintable(plugged));
        return result;
    }

    void compareWithRecorder(const QString& archive, const QStringList& names = {})
    {
        const QList<LoadedEntry> entries = archiveEntries(archive);
        QCOMPARE(entries.size(), names.isEmpty() ? qsizetype(m_files.size()) : names.size());
        for (const LoadedEntry& e : entries) {
            const int number = e.id == 0 ? 120 : e.id;
            QVERIFY2(m_files.count(std::uint16_t(number)), qPrintable(e.name));
            QCOMPARE(e.content, m_files.at(std::uint16_t(number)));
        }
    }

private slots:
    void initTestCase()
    {
        m_dir = qEnvironmentVariable("MZT_VM_SCRATCH");
        if (m_dir.isEmpty())
            QSKIP("runs inside the test guest (scripts/vm-run)");
        m_files = configuredFiles("[" + readFile(QStringLiteral(MZT_VM_RECORDER)) + "]");
        QVERIFY(!m_files.empty());
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove(QStringLiteral("MZT500_SIMULATOR"));
        m_env.remove(QStringLiteral("QT_LOGGING_RULES"));
        if (kernelRoute()) {
            // QEMU's FTDI chip names itself, not the recorder: name the port.
            m_env.insert(QStringLiteral("MZT500_NO_HARDWARE"), QStringLiteral("1"));
            m_env.insert(QStringLiteral("MZT500_PORTS"),
                         QStringLiteral("/dev/ttyUSB0=KORVANT KVP-DEV"));
        } else {
            m_env.remove(QStringLiteral("MZT500_NO_HARDWARE"));
            m_env.remove(QStringLiteral("MZT500_PORTS"));
        }
        QVERIFY2(waitFor(portReady, 60), "no FTDI device in the guest");
    }

    void devicesAndListNameTheRecorder()
    {
        const CliRun devices = cli({"devices"});
        QCOMPARE(devices.code, 0);
        const QStringList found = lines(devices.out);
        QCOMPARE(found.size(), 1);
        QVERIFY2(found[0].contains(QLatin1String("MZT-500 #1"))
                     && found[0].contains(QLatin1String("KORVANT KVP-DEV")),
                 qPrintable(found[0]));
        if (!kernelRoute())
            QVERIFY2(found[0].contains(QLatin1String("FT000001")), qPrintable(found[0]));

        const CliRun list = cli({"list"});
        QCOMPARE(list.code, 0);
        const QStringList files = lines(list.out);
        QCOMPARE(files.size(), qsizetype(m_files.size()));
        QVERIFY(files[0].startsWith(QLatin1String("SETTINGS")));
        QVERIFY(files.last().startsWith(QLatin1String("SEQUENCE 30")));
    }

    void backupDeleteRestoreRoundTrip()
    {
        const QString first = scratch(QStringLiteral("first.mzt"));
        QFile::remove(first);
        QCOMPARE(cli({"backup", first}).code, 0);
        compareWithRecorder(first);

        QCOMPARE(cli({"delete", "1", "2", "12", "30"}).code, 0);
        const CliRun emptied = cli({"list"});
        QCOMPARE(emptied.code, 0);
        QCOMPARE(lines(emptied.out).size(), 1); // the settings stay

        const CliRun restore = cli({"restore", first, "--overwrite"});
        QCOMPARE(restore.code, 0);
        QCOMPARE(lines(restore.out).size(), qsizetype(m_files.size()));

        const QString second = scratch(QStringLiteral("second.mzt"));
        QFile::remove(second);
        QCOMPARE(cli({"backup", second}).code, 0);
        compareWithRecorder(second);
    }

    void firmwareUpdateWithTheBuiltInImage()
    {
        // The recorder checks the sections' checksum before it takes an
        // image, so an update that succeeds arrived byte for byte.
        const CliRun update = cli({"update-firmware"});
        QCOMPARE(update.code, 0);
        QVERIFY(update.out.contains("firmware updated from the built-in image"));
        QCOMPARE(cli({"list"}).code, 0);
    }

    void unplugDuringBackupLeavesTheArchive()
    {
        const QString archive = scratch(QStringLiteral("first.mzt"));
        const QByteArray before = sha256(archive);
        const Unplugged u = runAndUnplug({"backup", archive}, 40000);
        QVERIFY2(u.seconds >= 0, u.run.err.constData());
        QVERIFY(u.run.code != 0);
        QVERIFY2(u.run.oneLineReason(), u.run.err.constData());
        QCOMPARE(sha256(archive), before);
        QVERIFY2(u.run.out.isEmpty(), u.run.out.constData()); // nothing reported as saved
    }

    void unplugDuringRestoreReportsOnlyWholeFiles()
    {
        const QString archive = scratch(QStringLiteral("first.mzt"));
        const QByteArray before = sha256(archive);
        const Unplugged u = runAndUnplug({"restore", archive, "--overwrite"}, 60000);
        QVERIFY2(u.seconds >= 0, u.run.err.constData());
        QVERIFY(u.run.code != 0);
        QVERIFY2(u.run.oneLineReason(), u.run.err.constData());
        QCOMPARE(sha256(archive), before);

        // Every file the program reported as written is on the recorder whole.
        QStringList reported;
        for (const QString& line : lines(u.run.out))
            reported.append(line.section(QLatin1String("  "), 0, 0).trimmed());
        if (!reported.isEmpty()) {
            const QString check = scratch(QStringLiteral("check.mzt"));
            QFile::remove(check);
            QCOMPARE(cli(QStringList {"backup", check} + reported).code, 0);
            compareWithRecorder(check, reported);
        }
        // Put the recorder back as it was for the cases after this one.
        QCOMPARE(cli({"restore", archive, "--overwrite"}).code, 0);
    }

    void unplugDuringFirmwareUpdate()
    {
        const Unplugged u = runAndUnplug({"update-firmware"}, 40000);
        QVERIFY2(u.seconds >= 0, u.run.err.constData());
        QVERIFY(u.run.code != 0);
        QVERIFY2(u.run.oneLineReason(), u.run.err.constData());
        QVERIFY(!u.run.out.contains("firmware updated"));
    }
};

QTEST_GUILESS_MAIN(TestVmRoutes)
#include "tst_vm_routes.moc"
