// mzt500-cli watch as a process: simulated recorders plugged in and out
// through the paths they are present while, the end by SIGTERM, the login
// switch and the desktop notifications on a private session bus.
#include "clitest.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <csignal>

namespace {

// One recorder, present while `present` exists; slow ones are read on the
// wire for a few seconds.
QByteArray recorderConfig(const QString& present, bool slow = false,
                          const char* softwareVersion = "1.4")
{
    return QStringLiteral(R"({"serial": "KV000001", "presentWhile": "%1", "timing": "%2",
        "softwareVersion": "%3",
        "files": [{"id": 0, "size": 1000}, {"id": 3, "size": 6000, "durationMs": 4000},
                  {"id": 9, "size": %4, "durationMs": 9000}]})")
        .arg(present, slow ? QStringLiteral("wire") : QStringLiteral("instant"),
             QLatin1String(softwareVersion))
        .arg(slow ? 40000 : 3000)
        .toUtf8();
}

void plug(const QString& path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

QStringList everything(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A running `mzt500-cli watch --json`, read event by event.
class Watch {
public:
    Watch(const QStringList& args, const QProcessEnvironment& env)
    {
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(MZT_CLI),
                        QStringList {QStringLiteral("watch"), QStringLiteral("--json")} + args);
    }
    ~Watch()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    // The next event of this kind, skipping others; empty when none came.
    QJsonObject next(const QString& event, int timeoutMs = 60000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QJsonObject object = QJsonDocument::fromJson(m_process.readLine()).object();
                m_seen.append(object.value(QStringLiteral("event")).toString());
                if (object.value(QStringLiteral("event")).toString() == event)
                    return object;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
        }
    }

    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    int finish()
    {
        if (!m_process.waitForFinished(60000))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }
    QStringList seen() const { return m_seen; }
    QByteArray errors() { return m_process.readAllStandardError(); }

private:
    QProcess m_process;
    QStringList m_seen;
};

} // namespace

// The desktop's side: takes notifications and keeps what they said.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList appNames;
    QStringList summaries;

public slots:
    uint Notify(const QString& appName, uint, const QString&, const QString& summary,
                const QString&, const QStringList&, const QVariantMap&, int)
    {
        appNames.append(appName);
        summaries.append(summary);
        return uint(summaries.size());
    }
};

class TestCliWatch : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    QProcessEnvironment environment(const QByteArray& config, const QString& name)
    {
        QProcessEnvironment env = simulatorEnvironment(writeFile(m_dir, name, config));
        // No desktop here unless a test brings its own bus.
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + path(QStringLiteral("no-bus")));
        return env;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // A recorder plugged in is backed up, plugged in again unchanged only
    // said to be so, and the watch ends cleanly on SIGINT.
    void backsUpWhatIsPluggedIn()
    {
        const QString present = path(QStringLiteral("kv-plugged"));
        const QString folder = path(QStringLiteral("plugged"));
        QVERIFY(QDir().mkpath(folder));
        Watch watch({QStringLiteral("--folder"), folder},
                    environment(recorderConfig(present), QStringLiteral("plugged.json")));
        QCOMPARE(watch.next(QStringLiteral("watching")).value(QStringLiteral("folder")).toString(),
                 folder);
        plug(present);
        const QJsonObject saved = watch.next(QStringLiteral("backedUp"));
        QCOMPARE(saved.value(QStringLiteral("serial")).toString(), QStringLiteral("KV000001"));
        QCOMPARE(saved.value(QStringLiteral("files")).toInt(), 3);
        QVERIFY(saved.value(QStringLiteral("first")).toBool());
        const QStringList backups = QDir(folder).entryList({QStringLiteral("*.mzt")});
        QCOMPARE(backups.size(), 1);
        QCOMPARE(archiveEntries(QDir(folder).filePath(backups.first())).size(), 3);

        QVERIFY(QFile::remove(present));
        QVERIFY(!watch.next(QStringLiteral("unplugged")).isEmpty());
        plug(present);
        const QJsonObject unchanged = watch.next(QStringLiteral("unchanged"));
        QCOMPARE(unchanged.value(QStringLiteral("path")).toString(),
                 saved.value(QStringLiteral("path")).toString());
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.mzt")}), backups);

        watch.signal(SIGINT);
        QVERIFY(!watch.next(QStringLiteral("stopped")).isEmpty());
        QCOMPARE(watch.finish(), 0);
    }

    // SIGTERM while a recorder is read ends the watch at once with nothing
    // written into the folder, not even half a file.
    void sigtermMidBackupLeavesNothing()
    {
        const QString present = path(QStringLiteral("kv-slow"));
        plug(present);
        const QString folder = path(QStringLiteral("slow"));
        QVERIFY(QDir().mkpath(folder));
        Watch watch({QStringLiteral("--folder"), folder},
                    environment(recorderConfig(present, true), QStringLiteral("slow.json")));
        QVERIFY(!watch.next(QStringLiteral("started")).isEmpty());
        watch.signal(SIGTERM);
        QVERIFY(!watch.next(QStringLiteral("interrupted")).isEmpty());
        QVERIFY(!watch.next(QStringLiteral("stopped")).isEmpty());
        QCOMPARE(watch.finish(), 0);
        QVERIFY2(!watch.seen().contains(QStringLiteral("backedUp")),
                 qPrintable(watch.seen().join(QLatin1Char(' '))));
        QCOMPARE(everything(folder), QStringList());
    }

    // Another program that opens the recorder mid-backup (here a second
    // mzt500-cli, as the window would) gets it: the watch lets go, saves
    // nothing, and backs the recorder up once it is free again.
    void yieldsToAnotherProgram()
    {
        PtyRecorder recorder;
        QVERIFY(recorder.start(R"({"serial": "KV000009", "timing": "wire",
            "files": [{"id": 0, "size": 1000}, {"id": 5, "size": 40000, "durationMs": 9000}]})",
                               true));
        const QString folder = path(QStringLiteral("yielded"));
        QVERIFY(QDir().mkpath(folder));
        QProcessEnvironment env = recorder.environment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + path(QStringLiteral("no-bus")));
        Watch watch({QStringLiteral("--folder"), folder}, env);
        QVERIFY(!watch.next(QStringLiteral("started")).isEmpty());
        // The watch holds the recorder from here until it has read it.
        QVERIFY(recorder.waitForLog("enters transfer mode"));
        const CliRun list = recorder.run({"list"});
        QCOMPARE(list.code, 0);
        QVERIFY(list.out.contains("SEQUENCE 05"));
        QVERIFY(!watch.next(QStringLiteral("yielded")).isEmpty());
        QVERIFY(!watch.seen().contains(QStringLiteral("backedUp")));

        const QJsonObject saved = watch.next(QStringLiteral("backedUp"));
        QVERIFY(!saved.isEmpty());
        QCOMPARE(
            everything(folder),
            QStringList {QFileInfo(saved.value(QStringLiteral("path")).toString()).fileName()});
        QCOMPARE(archiveEntries(saved.value(QStringLiteral("path")).toString()).size(), 2);
        watch.signal(SIGTERM);
        QCOMPARE(watch.finish(), 0);
    }

    // --enable writes the login entry that runs this program's watch,
    // --disable removes it; neither takes the watch's own options.
    void autostartSwitch()
    {
        const QString config = path(QStringLiteral("config home"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        const QString entry = config + QStringLiteral("/autostart/mzt500-watch.desktop");

        CliRun run = runCli({"watch", "--enable"}, env);
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains(entry.toUtf8()));
        const QString text = QString::fromUtf8(readFile(entry));
        QVERIFY(text.startsWith(QLatin1String("[Desktop Entry]\n")));
        QVERIFY2(text.contains(QStringLiteral("\nExec=%1 watch\n")
                                   .arg(QFileInfo(QStringLiteral(MZT_CLI)).absoluteFilePath())),
                 qPrintable(text));
        QVERIFY(text.contains(QLatin1String("\nType=Application\n")));
        QCOMPARE(runCli({"watch", "--enable"}, env).code, 0);
        QCOMPARE(QDir(config + QStringLiteral("/autostart")).entryList(QDir::Files).size(), 1);

        run = runCli({"watch", "--disable"}, env);
        QCOMPARE(run.code, 0);
        QVERIFY(!QFile::exists(entry));
        run = runCli({"watch", "--disable"}, env);
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains("were not switched on"));

        QCOMPARE(runCli({"watch", "--enable", "--disable"}, env).code, 2);
        QCOMPARE(runCli({"watch", "--enable", "--keep", "3"}, env).code, 2);
        QVERIFY(!QFile::exists(entry));
    }

    // A new backup and a failure reach the desktop's notification service;
    // "unchanged" does not.
    void notifiesTheDesktop()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed (scripts/setup installs it)");
        QProcess bus;
        bus.start(daemon,
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address")});
        QVERIFY(bus.waitForStarted() && bus.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(bus.readLine().trimmed());
        QDBusConnection connection =
            QDBusConnection::connectToBus(address, QStringLiteral("notification service"));
        QVERIFY(connection.isConnected());
        NotificationService service;
        QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                          &service, QDBusConnection::ExportAllSlots));
        QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.Notifications")));

        const QString present = path(QStringLiteral("kv-notified"));
        const QString folder = path(QStringLiteral("notified"));
        QVERIFY(QDir().mkpath(folder));
        QProcessEnvironment env =
            environment(recorderConfig(present), QStringLiteral("notified.json"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        {
            Watch watch({QStringLiteral("--folder"), folder}, env);
            QVERIFY(!watch.next(QStringLiteral("watching")).isEmpty());
            plug(present);
            QVERIFY(!watch.next(QStringLiteral("backedUp")).isEmpty());
            QTRY_COMPARE_WITH_TIMEOUT(service.summaries.size(), 1, 30000);
            QCOMPARE(service.summaries.first(),
                     QStringLiteral("KV000001 backed up: first backup, 3 files"));
            QCOMPARE(service.appNames.first(), QStringLiteral("MZT-500 Data Backup Tool"));
            QVERIFY(QFile::remove(present));
            QVERIFY(!watch.next(QStringLiteral("unplugged")).isEmpty());
            plug(present);
            QVERIFY(!watch.next(QStringLiteral("unchanged")).isEmpty());
            watch.signal(SIGTERM);
            QCOMPARE(watch.finish(), 0);
        }
        QCOMPARE(service.summaries.size(), 1);

        // Firmware too old to list its files: a failure, with its reason.
        QVERIFY(QFile::remove(present));
        env = environment(recorderConfig(present, false, "1.1"), QStringLiteral("old.json"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        Watch failing({QStringLiteral("--folder"), folder}, env);
        plug(present);
        QVERIFY(!failing.next(QStringLiteral("failed")).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(service.summaries.size(), 2, 30000);
        QVERIFY2(service.summaries.last().startsWith(QLatin1String("KV000001 not backed up: ")),
                 qPrintable(service.summaries.last()));
        QVERIFY(service.summaries.last().contains(QLatin1String("cannot list")));
        failing.signal(SIGTERM);
        QCOMPARE(failing.finish(), 0);
        bus.terminate();
        bus.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestCliWatch)
#include "tst_cli_watch.moc"
