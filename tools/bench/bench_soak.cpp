// mzt500-bench soak: random operations through the main window against a
// simulated recorder with faults injected. The work runs in mzt500-soak (a
// GUI process, which this one cannot become); this only starts it and hands
// back its output and exit code.
#include "bench.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

namespace {

int runSoak(const QStringList& args)
{
    const QString runner = QCoreApplication::applicationDirPath() + QStringLiteral("/mzt500-soak");
    if (!QFileInfo(runner).isExecutable()) {
        std::fprintf(stderr, "soak: %s not found (it is built with the desktop program)\n",
                     qPrintable(runner));
        return 2;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(runner, args);
    if (!process.waitForStarted()) {
        std::fprintf(stderr, "soak: cannot start %s\n", qPrintable(runner));
        return 2;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "soak: %s crashed\n", qPrintable(runner));
        return 3;
    }
    return process.exitCode();
}

} // namespace

MZT_BENCH_COMMAND("soak",
                  "[--ops N] [--seed S] [--fault-scale X] [--only KIND] "
                  "[--repeated-frames recognise|takeAsNew] [--verbose]",
                  runSoak);
