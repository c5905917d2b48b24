// mzt500-cli inside the test guest (scripts/vm-run), through a real kernel
// USB stack to the simulated recorder on the host: the whole program, its
// device layer and the FTDI route the guest was started with ($MZT_VM_ROUTE:
// "kernel" for ftdi_sio's /dev/ttyUSB0, "libftdi" for the FT232R stand-in).
// Every case shares one guest, so the cases run in order and leave the
// recorder as they found it.
#include "../cli/clitest.h"
#include "backup_history.h"
#include "devicesdiscoverer.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTableWidget>
#include <QThread>

#include <csignal>
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

QString standinLog()
{
    return qEnvironmentVariable("MZT_VM_STANDIN_LOG");
}

// The stand-in's control requests logged since `mark` (a size of its log).
QStringList controlRequests(qint64 mark)
{
    QStringList requests;
    for (const QString& line : lines(readFile(standinLog()).mid(mark)))
        if (line.contains(QLatin1String(" ctrl ")))
            requests.append(line.simplified());
    return requests;
}

// Log lines the window writes, kept for the window case.
QStringList g_windowLog;
QtMessageHandler g_previousHandler = nullptr;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

void showWindowLog(QLoggingCategory* category)
{
    // Installing calls this before the previous filter is known; the
    // categories keep their settings then.
    if (g_previousFilter)
        g_previousFilter(category);
    const QByteArray name = category->categoryName();
    if (name == "mzt.app" || name == "mzt.operations")
        category->setEnabled(QtDebugMsg, true);
}

void keepWindowLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QByteArray(context.category).startsWith("mzt."))
        g_windowLog.append(QString::fromLatin1(context.category) + QLatin1String(": ") + text);
    else
        g_previousHandler(type, context, text);
}

// udev's daemon, which the guest's init starts as a desktop's does.
bool udevRunning()
{
    return QFile::exists(QStringLiteral("/run/udev/control"));
}

// The events of a running `mzt500-cli watch --json`, one object per line.
class WatchEvents {
public:
    explicit WatchEvents(QProcess& process)
        : m_process(process)
    {
    }

    // The next event of this kind, the others passed over but kept; empty
    // when none came before the deadline or the end.
    QJsonObject next(const QString& event, int timeoutMs = 120000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                m_lines.append(QString::fromUtf8(line));
                const QJsonObject object = QJsonDocument::fromJson(line).object();
                if (object.value(QStringLiteral("event")).toString() == event)
                    return object;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
        }
    }

    QString seen() const { return m_lines.join(QLatin1Char('\n')); }

private:
    QProcess& m_process;
    QStringList m_lines;
};

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
        qInfo("mzt500-cli %s: status %d in %.1f s%s%s", qPrintable(args.join(QLatin1Char(' '))),
              run.code, t.elapsed() / 1000.0, run.code == 0 ? "" : ": ",
              run.code == 0 ? "" : run.err.trimmed().constData());
        return run;
    }

    // A run expected to succeed, with the device layer's and the protocol's
    // diagnostics kept: shown only when it fails after all.
    CliRun cliDiagnosed(const QStringList& args)
    {
        QProcessEnvironment env = m_env;
        env.insert(
            QStringLiteral("QT_LOGGING_RULES"),
            QStringLiteral("mzt.d2xx.debug=true;mzt.link.debug=true;mzt.protocol.debug=true"));
        QElapsedTimer t;
        t.start();
        CliRun run = runCli(args, env);
        const QStringList diagnostics = lines(run.err);
        qInfo("mzt500-cli %s: status %d in %.1f s", qPrintable(args.join(QLatin1Char(' '))),
              run.code, t.elapsed() / 1000.0);
        if (run.code != 0)
            for (const QString& line : diagnostics.mid(diagnostics.size() - 60))
                qInfo("  %s", qPrintable(line));
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
        // The recorder was cut off in the middle of a frame; it may take a
        // moment (and the first exchange) before it answers again.
        int tries = 1;
        CliRun devices = runCli({"devices"}, m_env);
        const QByteArray firstAnswer = devices.err.trimmed();
        while (devices.code != 0 && tries < 10) {
            QThread::msleep(1000);
            devices = runCli({"devices"}, m_env);
            ++tries;
        }
        if (tries > 1)
            qInfo("after the replug the recorder answered %s (first: %s)",
                  devices.code == 0 ? qPrintable(QStringLiteral("on try %1").arg(tries))
                                    : "not at all",
                  firstAnswer.constData());
        return result;
    }

    void replug()
    {
        askHost(QStringLiteral("unplug"));
        QVERIFY(waitFor([] { return !ftdiPresent(); }, 60));
        askHost(QStringLiteral("plug"));
        QVERIFY(waitFor(portReady, 60));
    }

    static bool ttyBack() { return QFile::exists(QStringLiteral("/dev/ttyUSB0")); }

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
        // The backup reads every file again and compares it with what it wrote.
        const CliRun verifiedBackup = cliDiagnosed({"backup", first, "--verify"});
        QCOMPARE(verifiedBackup.code, 0);
        QVERIFY2(verifiedBackup.out.contains("verified identical"), verifiedBackup.out.constData());
        compareWithRecorder(first);

        QCOMPARE(cli({"delete", "1", "2", "12", "30"}).code, 0);
        const CliRun emptied = cli({"list"});
        QCOMPARE(emptied.code, 0);
        QCOMPARE(lines(emptied.out).size(), 1); // the settings stay

        const CliRun restore = cliDiagnosed({"restore", first, "--overwrite", "--verify"});
        QCOMPARE(restore.code, 0);
        QCOMPARE(lines(restore.out).size(), qsizetype(m_files.size()) + 1);
        QVERIFY2(restore.out.contains("verified identical"), restore.out.constData());

        // A verification on its own reads the recorder byte for byte.
        const CliRun verify = cliDiagnosed({"verify", first});
        QCOMPARE(verify.code, 0);
        const QStringList verdicts = lines(verify.out);
        QCOMPARE(verdicts.size(), qsizetype(m_files.size()));
        for (const QString& verdict : verdicts)
            QVERIFY2(verdict.endsWith(QLatin1String(": identical")), qPrintable(verdict));

        const QString second = scratch(QStringLiteral("second.mzt"));
        QFile::remove(second);
        QCOMPARE(cliDiagnosed({"backup", second}).code, 0);
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

    // The watcher started with the recorder plugged in backs it up; pulled
    // out and plugged in again through the kernel's USB stack (heard of
    // through udev on the libftdi route, through the port's path on the
    // kernel route), it is read again and found unchanged: no second archive.
    void watcherBacksUpAndNoticesReplug()
    {
        if (!kernelRoute())
            QVERIFY2(udevRunning(), "the guest's init started no udev daemon");
        const QString folder = scratch(QStringLiteral("watched"));
        QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QProcessEnvironment env = m_env;
        // No desktop in the guest: notifications are only logged.
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + scratch(QStringLiteral("no-bus")));
        QProcess watch;
        watch.setProcessEnvironment(env);
        // Its diagnostics among the events, to be shown when a case fails.
        watch.setProcessChannelMode(QProcess::MergedChannels);
        watch.start(QStringLiteral(MZT_CLI), {"watch", "--json", "--folder", folder});
        QVERIFY(watch.waitForStarted(10000));
        WatchEvents events(watch);

        const QJsonObject first = events.next(QStringLiteral("backedUp"));
        QVERIFY2(!first.isEmpty(), qPrintable(events.seen()));
        QVERIFY(first.value(QStringLiteral("first")).toBool());
        const QString archive = first.value(QStringLiteral("path")).toString();
        compareWithRecorder(archive);

        QCOMPARE(askHost(QStringLiteral("unplug")), QStringLiteral("unplugged"));
        QElapsedTimer t;
        t.start();
        const QJsonObject unplugged = events.next(QStringLiteral("unplugged"));
        QVERIFY2(!unplugged.isEmpty(), qPrintable(events.seen()));
        qInfo("watch: the unplug noticed after %.1f s", t.elapsed() / 1000.0);

        QCOMPARE(askHost(QStringLiteral("plug")), QStringLiteral("plugged"));
        t.restart();
        const QJsonObject started = events.next(QStringLiteral("started"));
        QVERIFY2(!started.isEmpty(), qPrintable(events.seen()));
        const double toRead = t.elapsed() / 1000.0;
        const QJsonObject again = events.next(QStringLiteral("unchanged"));
        QVERIFY2(!again.isEmpty(), qPrintable(events.seen()));
        qInfo("watch: from the plug-in to its first read %.1f s, to \"unchanged\" %.1f s", toRead,
              t.elapsed() / 1000.0);
        QCOMPARE(again.value(QStringLiteral("path")).toString(), archive);

        ::kill(pid_t(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(60000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        const QJsonObject stopped = events.next(QStringLiteral("stopped"), 0);
        QVERIFY2(!stopped.isEmpty(), qPrintable(events.seen()));
        // The archive and the folder's index of what was read; nothing else.
        QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        left.removeOne(QLatin1String(history::indexFileName));
        QVERIFY2(left == QStringList {QFileInfo(archive).fileName()},
                 qPrintable(left.join(QLatin1Char(' ')) + QLatin1Char('\n') + events.seen()));
        QVERIFY(waitFor(portReady, 60));
    }

    // libftdi route only from here on: the stand-in tells what the program
    // asked of the chip.

    void lineSettingsWhileOpenAndLatencyRestoredAtClose()
    {
        if (kernelRoute())
            QSKIP("the stand-in serves the libftdi route only");
        const qint64 mark = readFile(standinLog()).size();
        QCOMPARE(cli({"list"}).code, 0);
        const QStringList requests = controlRequests(mark);
        for (const QString& r : requests)
            qInfo("%s", qPrintable(r));
        // The program's own requests name interface A (index 1); ftdi_sio's,
        // when it takes the device back, name none.
        const auto program = [&](const QString& prefix) {
            QStringList found;
            for (const QString& r : requests)
                if (r.section(QLatin1Char(' '), 2).startsWith(prefix))
                    found.append(r.section(QLatin1Char(' '), 2));
            return found;
        };
        QVERIFY(!program(QStringLiteral("40 03 000c 0000")).isEmpty()); // 3 MHz / 12
        QVERIFY(program(QStringLiteral("40 03")).filter(QStringLiteral("stall")).isEmpty());
        const QStringList data = program(QStringLiteral("40 04"));
        QVERIFY(!data.isEmpty());
        for (const QString& d : data) // 8 data bits, no parity, 2 stop bits
            QVERIFY2(d.startsWith(QLatin1String("40 04 1008 0001")), qPrintable(d));

        const QStringList asked = program(QStringLiteral("c0 0a 0000 0001"));
        QStringList set;
        for (const QString& r : program(QStringLiteral("40 09")))
            if (r.section(QLatin1Char(' '), 3, 3) == QLatin1String("0001"))
                set.append(r);
        QVERIFY(!asked.isEmpty());
        QVERIFY(set.size() >= 2);
        const QString saved = asked.first().section(QLatin1Char(' '), 7, 7); // "10": 16 ms
        QCOMPARE(set.first().section(QLatin1Char(' '), 2, 3), QStringLiteral("0002 0001"));
        QCOMPARE(set.last().section(QLatin1Char(' '), 2, 3),
                 QStringLiteral("00%1 0001").arg(saved));
        QVERIFY(waitFor(ttyBack, 30)); // ftdi_sio has the device again
    }

    void secondInstanceIsRefusedWhileTheFirstHoldsTheDevice()
    {
        if (kernelRoute())
            QSKIP("the stand-in serves the libftdi route only");
        const QString archive = scratch(QStringLiteral("busy.mzt"));
        QFile::remove(archive);
        QProcess first;
        first.setProcessEnvironment(m_env);
        const qint64 before = bytesMoved();
        first.start(QStringLiteral(MZT_CLI), {"backup", archive});
        QVERIFY(first.waitForStarted(10000));
        while (first.state() == QProcess::Running && bytesMoved() - before < 20000)
            first.waitForFinished(100);
        QCOMPARE(first.state(), QProcess::Running);
        const CliRun second = cli({"list"});
        qInfo("second instance: status %d: %s", second.code, second.err.trimmed().constData());
        // Busy, not absent: the interface is claimed by the first.
        QCOMPARE(second.code, 5);
        QVERIFY2(second.oneLineReason(), second.err.constData());
        QVERIFY2(second.err.contains("in use by another program"), second.err.constData());
        QVERIFY(first.waitForFinished(120000));
        QCOMPARE(first.exitCode(), 0); // the first one did not notice
        compareWithRecorder(archive);
    }

    void wrongProductStringIsNotListed()
    {
        if (kernelRoute())
            QSKIP("the stand-in serves the libftdi route only");
        QCOMPARE(askHost(QStringLiteral("standin product KORVANT KVP-XYZ")),
                 QStringLiteral("product KORVANT KVP-XYZ"));
        replug();
        const CliRun devices = cli({"devices"});
        QCOMPARE(askHost(QStringLiteral("standin product KORVANT KVP-DEV")),
                 QStringLiteral("product KORVANT KVP-DEV"));
        replug();
        QVERIFY(devices.code != 0);
        QVERIFY2(!devices.out.contains("KORVANT"), devices.out.constData());
        QCOMPARE(cli({"devices"}).code, 0);
    }

    void stalledLatencyTimerLeavesTheChipsOwn()
    {
        if (kernelRoute())
            QSKIP("the stand-in serves the libftdi route only");
        askHost(QStringLiteral("standin stall-latency on"));
        const CliRun list = cli({"list"});
        askHost(QStringLiteral("standin stall-latency off"));
        qInfo("latency timer stalled: status %d: %s", list.code, list.err.trimmed().constData());
        // The chip keeps its own latency timer; only its answers come later.
        QCOMPARE(list.code, 0);
        QCOMPARE(lines(list.out).size(), qsizetype(m_files.size()));
        QCOMPARE(cli({"list"}).code, 0);
    }

    void badInPacketsAreNeverTakenForData()
    {
        if (kernelRoute())
            QSKIP("the stand-in serves the libftdi route only");
        const QString archive = scratch(QStringLiteral("bad-packets.mzt"));
        struct Bad {
            const char* on;
            const char* off;
        };
        for (const Bad& bad : {Bad {"line-error overrun", "line-error none"},
                               Bad {"line-error framing", "line-error none"},
                               Bad {"zero-length on", "zero-length off"}}) {
            QFile::remove(archive);
            askHost(QStringLiteral("standin %1").arg(QLatin1String(bad.on)));
            const CliRun backup = cli({"backup", archive, "12"});
            askHost(QStringLiteral("standin %1").arg(QLatin1String(bad.off)));
            qInfo("%s: status %d: %s", bad.on, backup.code, backup.err.trimmed().constData());
            // Either a failed exchange, said in one line, or the data whole:
            // the status bytes never end up in the file.
            if (backup.code == 0)
                compareWithRecorder(archive, {QStringLiteral("SEQUENCE 12")});
            else
                QVERIFY2(backup.oneLineReason(), backup.err.constData());
        }
    }

    void windowDiscoversListsAndPolls()
    {
        if (kernelRoute())
            QSKIP("the window finds the recorder by its description: libftdi route");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch(QStringLiteral("window-config"))));
        for (const char* name : {"MZT500_NO_HARDWARE", "MZT500_PORTS", "MZT500_SIMULATOR"})
            qunsetenv(name);
        // The test run turns the diagnostics off in the environment, which
        // outranks any rules set here; a filter has the last word.
        g_previousFilter = QLoggingCategory::installFilter(showWindowLog);
        g_previousHandler = qInstallMessageHandler(keepWindowLog);
        const auto logged = [](const char* text) {
            return !g_windowLog.filter(QLatin1String(text)).isEmpty();
        };
        {
            MainWindow window;
            window.show();
            QElapsedTimer t;
            t.start();
            QTRY_VERIFY_WITH_TIMEOUT(logged("devices Done"), 60000);
            QTRY_COMPARE_WITH_TIMEOUT(window.ui()->devTable->rowCount(), int(m_files.size()),
                                      60000);
            qInfo("window: recorder listed with its %d files after %.1f s",
                  window.ui()->devTable->rowCount(), t.elapsed() / 1000.0);
            QTRY_VERIFY_WITH_TIMEOUT(logged("PING OK"), 60000);
            qInfo("window: first probe answered after %.1f s", t.elapsed() / 1000.0);
            // Opening the recorder took it from the kernel's serial driver and
            // the discovery's close gave it back: udev reported the port going
            // and coming, which is no reason to list the recorders again (a
            // new listing would open them again, and so on).
            QTest::qWait(3000);
            QCOMPARE(g_windowLog.filter(QStringLiteral("devices Done")).size(), 1);
            window.close();
        }
        qInstallMessageHandler(g_previousHandler);
        QLoggingCategory::installFilter(g_previousFilter);
        for (const QString& line : g_windowLog.filter(
                 QRegularExpression(QStringLiteral("devices Done|Update content|PING OK"))))
            qInfo("window log: %s", qPrintable(line));
        // Closing the window let go of the device: the kernel driver is back.
        QVERIFY(waitFor(ttyBack, 30));
    }

    // The window hears of the stand-in's unplug and replug through udev: the
    // recorder leaves the list with a status line and comes back without
    // "Discover devices".
    void windowNoticesUnplugAndReplug()
    {
        if (kernelRoute())
            QSKIP("the window finds the recorder by its description: libftdi route");
        QVERIFY2(udevRunning(), "the guest's init started no udev daemon");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch(QStringLiteral("window-config"))));
        for (const char* name : {"MZT500_NO_HARDWARE", "MZT500_PORTS", "MZT500_SIMULATOR"})
            qunsetenv(name);
        {
            MainWindow window;
            window.show();
            QTRY_COMPARE_WITH_TIMEOUT(window.ui()->devTable->rowCount(), int(m_files.size()),
                                      60000);
            QTRY_VERIFY_WITH_TIMEOUT(window.isConnected(), 60000);
            const auto chosenSerial = [&window] {
                return window.ui()
                    ->devicesCombo->currentData(DevicesDiscoverer::SerialRole)
                    .toString();
            };
            QTRY_VERIFY_WITH_TIMEOUT(!chosenSerial().isEmpty(), 60000);
            const QString serial = chosenSerial();

            QCOMPARE(askHost(QStringLiteral("unplug")), QStringLiteral("unplugged"));
            QElapsedTimer t;
            t.start();
            QTRY_COMPARE_WITH_TIMEOUT(window.statusBar()->currentMessage(),
                                      serial + QStringLiteral(" was unplugged."), 60000);
            QCOMPARE(window.ui()->devicesCombo->count(), 0);
            QCOMPARE(window.ui()->devTable->rowCount(), 0);
            qInfo("window: the unplug said after %.1f s", t.elapsed() / 1000.0);

            QCOMPARE(askHost(QStringLiteral("plug")), QStringLiteral("plugged"));
            t.restart();
            QTRY_COMPARE_WITH_TIMEOUT(window.ui()->devicesCombo->count(), 1, 60000);
            const double listed = t.elapsed() / 1000.0;
            QTRY_COMPARE_WITH_TIMEOUT(window.statusBar()->currentMessage(),
                                      serial + QStringLiteral(" was plugged in."), 60000);
            QTRY_COMPARE_WITH_TIMEOUT(window.ui()->devTable->rowCount(), int(m_files.size()),
                                      60000);
            qInfo("window: from the plug-in to listed %.1f s, to its files shown %.1f s", listed,
                  t.elapsed() / 1000.0);
            window.close();
        }
        QVERIFY(waitFor(ttyBack, 30));
    }

    void udevRuleTagsTheRecorderOnly()
    {
        if (kernelRoute())
            QSKIP("checked on the stand-in, the libftdi route");
        if (!QFile::exists(QStringLiteral("/lib/systemd/systemd-udevd")))
            QSKIP("udev is not installed (scripts/setup)");
        // /run is the guest's own: the rule goes into udev's runtime folder.
        QVERIFY(QDir().mkpath(QStringLiteral("/run/udev/rules.d")));
        const QString rule = QStringLiteral("/run/udev/rules.d/60-mzt500.rules");
        QFile::remove(rule);
        QVERIFY(QFile::copy(QStringLiteral(MZT_UDEV_RULE), rule));

        QString ftdi, hub;
        const QDir devices(QStringLiteral("/sys/bus/usb/devices"));
        for (const QString& name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray vendor =
                readFile(devices.filePath(name + QStringLiteral("/idVendor"))).trimmed();
            if (vendor == "0403")
                ftdi = QDir(devices.filePath(name)).canonicalPath();
            else if (vendor == "1d6b" && hub.isEmpty())
                hub = QDir(devices.filePath(name)).canonicalPath();
        }
        QVERIFY(!ftdi.isEmpty() && !hub.isEmpty());

        const auto run = [](const QStringList& args) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(QStringLiteral("udevadm"), args);
            p.waitForFinished(120000);
            return QString::fromLocal8Bit(p.readAll());
        };
        QStringList views;
        if (udevRunning()) {
            // The daemon the guest's init started takes the rule on a reload;
            // both devices are announced again and their events awaited.
            run({"control", "--reload"});
            run({"trigger", "--settle", "--action=add", ftdi, hub});
            views << run({"info", "--query=all", "--path=" + ftdi})
                  << run({"info", "--query=all", "--path=" + hub});
        } else {
            qInfo("no udev daemon in the guest; asking udevadm test instead");
            views << run({"test", "--action=add", ftdi}) << run({"test", "--action=add", hub});
        }
        const auto tagged = [](const QString& view) {
            for (const QString& line : view.split(QLatin1Char('\n')))
                if (line.contains(QLatin1String("TAGS="))
                    && line.contains(QLatin1String(":uaccess:")))
                    return true;
            return false;
        };
        for (const QString& view : views)
            for (const QString& line : view.split(QLatin1Char('\n')))
                if (line.contains(QLatin1String("uaccess")) || line.contains(QLatin1String("ID_MM"))
                    || line.startsWith(QLatin1String("P: ")))
                    qInfo("udev: %s", qPrintable(line));
        QVERIFY2(tagged(views[0]), qPrintable(views[0]));
        QVERIFY2(views[0].contains(QLatin1String("ID_MM_DEVICE_IGNORE=1")), qPrintable(views[0]));
        QVERIFY2(!tagged(views[1]), qPrintable(views[1]));
        QVERIFY2(!views[1].contains(QLatin1String("ID_MM_DEVICE_IGNORE")), qPrintable(views[1]));
    }
};

QTEST_MAIN(TestVmRoutes)
#include "tst_vm_routes.moc"
