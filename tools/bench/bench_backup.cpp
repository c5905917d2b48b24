// mzt500-bench backup / restore: a whole recorder copied into an archive and
// an archive written back to an emptied recorder, over the simulated line
// with wire timing, through the operations core the window and the command
// line use.
#include "bench.h"
#include "bench_recorder.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "simulator.h"
#include "transfers.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cmath>
#include <cstdio>
#include <map>

namespace {

using namespace bench::wire;

int runBackup(const QStringList& args)
{
    const int frame = frameOption(args);
    const sim::DeviceConfig config = fullWireRecorder(frame);
    return onRecorder("backup", config, [&](Link& l, sim::Recorder&) {
        int status = 0;
        std::size_t bytes = 0;
        QList<core::FileRef> files;
        for (const auto& [number, content] : config.files)
            files.append({idOfFileNumber(number), QString::number(number)});
        QElapsedTimer clock;
        clock.start();
        const core::Result result =
            core::downloadFiles(&l.master, files, [&](const core::DownloadedFile& file) {
                const int number = mzt500::fileNumberForId(file.file.id);
                if (file.missing || file.data != config.files.at(std::uint16_t(number))) {
                    std::printf("backup failed at file %d\n", number);
                    status = 1;
                }
                bytes += std::size_t(file.data.size());
            });
        if (!result.ok() && status == 0) {
            std::printf("backup failed: %s\n", qPrintable(result.reason));
            status = 1;
        }
        if (status == 0)
            report("backup", frame, config.files.size(), bytes, double(clock.nsecsElapsed()) / 1e9);
        return status;
    });
}

int runRestore(const QStringList& args)
{
    const int frame = frameOption(args);
    const std::map<std::uint16_t, QByteArray> archive = recorderFiles();
    // An emptied recorder: nothing to delete first, so no deletion polls.
    return onRecorder("restore", wireRecorder(frame), [&](Link& l, sim::Recorder& recorder) {
        int status = 0;
        std::size_t bytes = 0;
        QList<core::UploadItem> items;
        for (const auto& [number, content] : archive) {
            core::UploadItem item;
            const bool settings = number == mzt500::SettingsFileNumber;
            item.file = {settings ? mzt500::SettingsId : number, QString::number(number)};
            item.type = settings ? mzt500::SettingsRecord : mzt500::SequenceRecord;
            item.content = content;
            items.append(item);
            bytes += std::size_t(content.size());
        }
        QElapsedTimer clock;
        clock.start();
        const core::Result result = core::uploadFiles(&l.master, items);
        if (!result.ok()) {
            std::printf("restore failed at file %d: %s\n", result.file.id,
                        qPrintable(result.reason));
            status = 1;
        }
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        if (status == 0 && recorder.files() != archive) {
            std::printf("restore failed: the recorder holds other files\n");
            status = 1;
        }
        if (status == 0)
            report("restore", frame, archive.size(), bytes, seconds);
        return status;
    });
}

} // namespace

MZT_BENCH_COMMAND("backup", "[--frame=F]  copy a whole recorder (65 files, ~1 MiB) at wire speed",
                  runBackup);
MZT_BENCH_COMMAND("restore", "[--frame=F]  write those files to an emptied recorder at wire speed",
                  runRestore);
