// mzt500-bench idle-window: the CPU the desktop program uses while it sits
// open with the simulated demo recorder connected, polling it as it does on a
// desk for hours. The window runs as a child process (this one has no GUI);
// its CPU time comes from /proc.
#include "bench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

namespace {

int runIdleWindow(const QStringList& args)
{
#ifndef MZT_WINDOW_PROGRAM
    Q_UNUSED(args);
    std::fprintf(stderr, "idle-window: built without the desktop program\n");
    return 2;
#else
    const int seconds =
        bench::option(args, QStringLiteral("seconds"), QStringLiteral("10")).toInt();
    const int settleSeconds =
        bench::option(args, QStringLiteral("settle"), QStringLiteral("5")).toInt();
    const QString program =
        bench::option(args, QStringLiteral("program"), QStringLiteral(MZT_WINDOW_PROGRAM));
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "idle-window: %s not found\n", qPrintable(program));
        return 2;
    }
    // A home of its own: the remembered archive of the user stays untouched.
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "idle-window: no temporary folder\n");
        return 2;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MZT500_SIMULATOR"), QStringLiteral("demo"));
    env.insert(QStringLiteral("MZT500_NO_HARDWARE"), QStringLiteral("1"));
    env.insert(QStringLiteral("MZT500_PORTS"), QString());
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (::geteuid() == 0)
        env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));

    QProcess window;
    window.setProcessEnvironment(env);
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.setStandardOutputFile(QProcess::nullDevice());
    window.start(program, {});
    if (!window.waitForStarted()) {
        std::fprintf(stderr, "idle-window: cannot start %s\n", qPrintable(program));
        return 2;
    }
    const qint64 pid = window.processId();
    // Start-up lists the recorder's content; only what follows is idling.
    window.waitForFinished(settleSeconds * 1000);
    QElapsedTimer clock;
    const double cpuStart = bench::cpuSecondsOf(pid);
    clock.start();
    window.waitForFinished(seconds * 1000);
    const double cpuEnd = bench::cpuSecondsOf(pid);
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const bool ran = window.state() == QProcess::Running && cpuStart >= 0 && cpuEnd >= 0;
    window.terminate();
    if (!window.waitForFinished(5000)) {
        window.kill();
        window.waitForFinished(5000);
    }
    if (!ran) {
        std::fprintf(stderr, "idle-window: the window ended early\n");
        return 1;
    }
    std::printf("window cpu idle=%.2f\n", 100.0 * (cpuEnd - cpuStart) / wall);
    return 0;
#endif
}

} // namespace

MZT_BENCH_COMMAND("idle-window",
                  "[--seconds=S] [--settle=S] [--program=PATH]  CPU of the idle window",
                  runIdleWindow);
