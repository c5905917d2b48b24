// mzt500-bench verify / status: a whole recorder compared with its archive,
// byte for byte (every file read) and from the content list alone, over the
// simulated line with wire timing, through the comparison the window and the
// command line use.
#include "bench.h"
#include "bench_recorder.h"

#include "comparison.h"
#include "transfers.h"

#include <QElapsedTimer>

namespace {

using namespace bench::wire;

QList<core::ArchivedFile> archiveOf(const std::map<std::uint16_t, QByteArray>& files)
{
    QList<core::ArchivedFile> archive;
    for (const auto& [number, content] : files) {
        const ContentRecord record =
            ContentRecord::fromBytes(reinterpret_cast<const unsigned char*>(content.constData()));
        core::ArchivedFile f;
        f.file = {idOfFileNumber(number), QString::number(number)};
        f.type = qint32(record.type);
        f.duration = record.duration;
        f.content = content;
        archive.append(f);
    }
    return archive;
}

struct Timed {
    double seconds = 0;
    double cpuPercent = 0;
};

template <typename Work> Timed timed(Work work)
{
    QElapsedTimer clock;
    const double cpuStart = bench::processCpuSeconds();
    clock.start();
    work();
    Timed t;
    t.seconds = double(clock.nsecsElapsed()) / 1e9;
    t.cpuPercent = 100.0 * (bench::processCpuSeconds() - cpuStart) / t.seconds;
    return t;
}

int runVerify(const QStringList& args)
{
    const int frame = frameOption(args);
    const sim::DeviceConfig config = fullWireRecorder(frame);
    return onRecorder("verify", config, [&](Link& l, sim::Recorder&) {
        int status = 0;
        core::VerifyRequest request;
        request.archive = archiveOf(config.files);
        QList<core::FileRef> files;
        std::size_t bytes = 0;
        for (const core::ArchivedFile& f : request.archive) {
            files.append(f.file);
            bytes += std::size_t(f.content.size());
        }
        // The same files downloaded first: the CPU a verification may take.
        core::Result downloaded;
        const Timed download =
            timed([&] { downloaded = core::downloadFiles(&l.master, files, {}); });
        core::Comparison comparison;
        const Timed verify =
            timed([&] { comparison = core::verifyWithRecorder(&l.master, request); });
        if (!downloaded.ok() || !comparison.result.ok()) {
            std::printf("verify failed: %s\n",
                        qPrintable(downloaded.ok() ? comparison.result.reason : downloaded.reason));
            status = 1;
        } else if (comparison.count(core::FileState::Identical) != int(files.size())) {
            std::printf("verify failed: %d of %d files identical\n",
                        comparison.count(core::FileState::Identical), int(files.size()));
            status = 1;
        } else {
            std::printf("verify files=%zu bytes=%zu seconds=%.3f ratio=%.3f cpu=%.2f "
                        "download_cpu=%.2f\n",
                        std::size_t(files.size()), bytes, verify.seconds,
                        double(bytes) / verify.seconds / lineLimit(frame), verify.cpuPercent,
                        download.cpuPercent);
            std::fflush(stdout);
        }
        return status;
    });
}

// The identification and the content list of a recorder with the settings
// and 64 sequences, compared with their archive; the list's exchange (one
// read, split into reply frames) is timed on its own too.
int runStatus(const QStringList& args)
{
    const int frame = frameOption(args);
    const sim::DeviceConfig config = fullWireRecorder(frame);
    return onRecorder("status", config, [&](Link& l, sim::Recorder& recorder) {
        int status = 0;
        const QList<core::ArchivedFile> archive = archiveOf(config.files);
        core::Content content;
        core::Comparison comparison;
        const Timed whole = timed([&] {
            content = core::readContent(&l.master);
            comparison = core::compareWithContentList(content.records, archive);
        });
        unsigned char list[mzt500::ContentListCapacity];
        uint length = 0;
        recorder.clearLogs();
        const Timed exchange = timed(
            [&] { l.master.readData(sizeof list, list, &length, mzt500::CmdContentList, 0); });
        int frames = 0;
        for (const sim::Frame& f : recorder.receivedFrames())
            frames += f.command == mzt500::CmdContentList ? 1 : 0;
        if (!content.result.ok() || length != uint(content.list.size())
            || comparison.count(core::FileState::SameRecord) != int(config.files.size())) {
            std::printf("status failed: %s\n", qPrintable(content.result.reason));
            status = 1;
        } else {
            std::printf("status files=%d list_bytes=%u list_frames=%d list_ms=%.1f "
                        "with_identification_ms=%.1f\n",
                        int(comparison.files.size()), length, frames, exchange.seconds * 1000.0,
                        whole.seconds * 1000.0);
            std::fflush(stdout);
        }
        return status;
    });
}

} // namespace

MZT_BENCH_COMMAND("verify",
                  "[--frame=F]  read a whole recorder (65 files, ~1 MiB) and compare it with "
                  "its archive at wire speed",
                  runVerify);
MZT_BENCH_COMMAND("status",
                  "[--frame=F]  compare a whole recorder's content list with its archive at "
                  "wire speed (the list's exchange, and with the identification)",
                  runStatus);
