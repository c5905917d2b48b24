// mzt500-bench plug-listed: the time from a recorder being plugged in to its
// line in the discovery listing, along the window's own path: the device
// layer's plug monitor notices it, and discovery lists and asks the
// devices. The recorder is simulated on the wire's timing and plugged in by
// creating its presentWhile path.
#include "bench.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "plug_monitor.h"
#include "recorder_session.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

constexpr auto Serial = "KV000001";

// Plugs the recorder in and waits until discovery lists it; the time in
// milliseconds, or a negative one when it was not listed within a minute.
double plugInToListed(const QString& plug, d2xx::PlugMonitor& monitor, KVPMaster& master,
                      KVPmPhyUSB& link)
{
    QEventLoop loop;
    QElapsedTimer clock;
    double listedMs = -1;
    const auto listOnce = [&] {
        for (const core::FoundDevice& d : core::discoverDevices(&master, &link)) {
            if (d.serial == QLatin1String(Serial)) {
                listedMs = double(clock.nsecsElapsed()) / 1e6;
                loop.quit();
            }
        }
    };
    const QMetaObject::Connection heard =
        QObject::connect(&monitor, &d2xx::PlugMonitor::devicesChanged, &loop, listOnce);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    clock.start();
    QFile(plug).open(QIODevice::WriteOnly);
    loop.exec();
    QObject::disconnect(heard);
    return listedMs;
}

int runPlugListed(const QStringList& args)
{
    const int rounds = bench::option(args, QStringLiteral("rounds"), QStringLiteral("10")).toInt();
    if (rounds < 1) {
        std::fprintf(stderr, "plug-listed: --rounds takes a whole number from 1 on\n");
        return 2;
    }
    // The figure, not the discovery's diagnostics, unless asked for.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("mzt.*.debug=false"));
    QTemporaryDir dir;
    const QString plug = dir.filePath(QStringLiteral("plug"));
    sim::DeviceConfig config = sim::demoRecorder();
    config.serial = Serial;
    config.timing = sim::Timing::Wire;
    config.presentWhile = plug.toStdString();
    sim::Bus::instance().install({config});

    d2xx::PlugMonitor monitor;
    monitor.start();
    KVPmPhyUSB link;
    KVPMaster master;
    core::attachLink(&master, &link);
    master.connectLink();

    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const double ms = plugInToListed(plug, monitor, master, link);
        if (ms < 0) {
            std::fprintf(stderr, "plug-listed: the recorder was not listed\n");
            return 1;
        }
        times.push_back(ms);
        master.stopAndReset();
        QFile::remove(plug);
        // The unplug's own event comes and goes before the next round.
        QEventLoop settle;
        QTimer::singleShot(3 * d2xx::PlugMonitor::kSettleMs, &settle, &QEventLoop::quit);
        settle.exec();
    }
    master.stopAndReset();
    sim::Bus::instance().uninstall();
    std::sort(times.begin(), times.end());
    std::printf("plug-in to listed median_ms=%.1f max_ms=%.1f rounds=%d\n", times[times.size() / 2],
                times.back(), rounds);
    return 0;
}

} // namespace

MZT_BENCH_COMMAND("plug-listed", "[--rounds=N]  plug-in to listed by discovery (simulated)",
                  runPlugListed);
