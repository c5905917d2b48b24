// mzt500-bench watch: how soon `mzt500-cli watch` starts reading a recorder
// after it is plugged in, and the CPU it uses while it waits for the next
// one. The recorder is simulated and plugged in by creating the path it is
// present while; the watch runs as a child process.
#include "bench.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

// Waits for the watch to print an event of this kind; false when it ended
// or the time ran out first.
bool waitForEvent(QProcess& watch, const QString& event, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        while (watch.canReadLine())
            if (QJsonDocument::fromJson(watch.readLine())
                    .object()
                    .value(QStringLiteral("event"))
                    .toString()
                == event)
                return true;
        if (watch.state() == QProcess::NotRunning)
            return false;
        watch.waitForReadyRead(int(std::max<qint64>(timeoutMs - clock.elapsed(), 1)));
    }
    return false;
}

int runWatch(const QStringList& args)
{
#ifndef MZT_CLI_PROGRAM
    Q_UNUSED(args);
    std::fprintf(stderr, "watch: built without mzt500-cli\n");
    return 2;
#else
    const int idleSeconds =
        bench::option(args, QStringLiteral("idle"), QStringLiteral("30")).toInt();
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "watch: no temporary folder\n");
        return 2;
    }
    const QString present = dir.filePath(QStringLiteral("plugged"));
    const QString config = dir.filePath(QStringLiteral("recorder.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QStringLiteral(R"({"serial": "KV000001", "presentWhile": "%1",
              "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 20000, "durationMs": 5000}]})")
                          .arg(present)
                          .toUtf8())
            < 0) {
        std::fprintf(stderr, "watch: cannot write %s\n", qPrintable(config));
        return 2;
    }
    file.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MZT500_SIMULATOR"), config);
    env.insert(QStringLiteral("MZT500_NO_HARDWARE"), QStringLiteral("1"));
    env.insert(QStringLiteral("MZT500_PORTS"), QString());
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QProcess watch;
    watch.setProcessEnvironment(env);
    watch.start(QStringLiteral(MZT_CLI_PROGRAM),
                {QStringLiteral("watch"), QStringLiteral("--json"), QStringLiteral("--folder"),
                 dir.filePath(QStringLiteral("backups"))});
    if (!waitForEvent(watch, QStringLiteral("watching"), 30000)) {
        std::fprintf(stderr, "watch: mzt500-cli watch did not start\n");
        return 1;
    }
    QElapsedTimer plugged;
    QFile(present).open(QIODevice::WriteOnly);
    plugged.start();
    const bool started = waitForEvent(watch, QStringLiteral("started"), 30000);
    const double plugToRead = double(plugged.nsecsElapsed()) / 1e6;
    const bool saved = started && waitForEvent(watch, QStringLiteral("backedUp"), 60000);
    // The end of the backup (letting the recorder go, the log) is not idling.
    watch.waitForFinished(2000);
    QElapsedTimer idle;
    const double cpuStart = bench::cpuSecondsOf(watch.processId());
    idle.start();
    watch.waitForFinished(idleSeconds * 1000);
    const double cpuEnd = bench::cpuSecondsOf(watch.processId());
    const double wall = double(idle.nsecsElapsed()) / 1e9;
    const bool ran = watch.state() == QProcess::Running && cpuStart >= 0 && cpuEnd >= 0;
    watch.terminate();
    if (!watch.waitForFinished(10000)) {
        watch.kill();
        watch.waitForFinished(5000);
    }
    if (!saved || !ran) {
        std::fprintf(stderr, "watch: the recorder was not backed up, or the watch ended early\n");
        return 1;
    }
    std::printf("watch plug_to_read_ms=%.0f idle_seconds=%.0f idle_cpu=%.3f\n", plugToRead, wall,
                100.0 * (cpuEnd - cpuStart) / wall);
    return 0;
#endif
}

} // namespace

MZT_BENCH_COMMAND("watch", "[--idle=S]  plug-in to first read, and the CPU of the idle watch",
                  runWatch);
