#include "mztfilesdownloader.h"

#include "kvpmaster.h"
#include "mztarchive.h"
#include "operationslog.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

MZTFilesDownLoader::MZTFilesDownLoader(QObject* parent)
    : mzt::HostedWorker(parent)
{
}

void MZTFilesDownLoader::start(QThread::Priority priority)
{
    // Cleared here, before the thread runs: an abort that comes before the
    // run has begun is meant for this run and must not be forgotten by it.
    abortRequested = false;
    cells = mzt::selectionOf(host, mzt::TransferTable::Device);
    archive = host ? host->archive() : nullptr;
    QThread::start(priority);
}

void MZTFilesDownLoader::abort()
{
    qCDebug(lcOperations) << "aborting";
    abortRequested = true;
    // Breaks a read that is waiting for the recorder.
    if (host && host->master())
        host->master()->cancel();
}

void MZTFilesDownLoader::onBytesReceived(uint nBytes)
{
    qCDebug(lcOperations) << "MZTFilesDownLoader progress " << nBytes;
    // Counts of reads made by other operations, or left over from an ended
    // run, say nothing about this download.
    if (checkingTransferMode || !isRunning())
        return;
    if (nBytes == mzt500::EndOfReadMark) {
        emit progress_current(100);
        return;
    }
    const quint32 size = expectedSize;
    if (size != 0)
        emit progress_current(int(quint64(nBytes) * 100u / size));
}

void MZTFilesDownLoader::onProgress(const core::Progress& progress)
{
    emit progressDetail(progress);
    using Stage = core::Progress::Stage;
    switch (progress.stage) {
    case Stage::FileStarted:
        expectedSize = 0;
        break;
    case Stage::Transferring:
        // The current-file bar follows the master's counter (onBytesReceived),
        // which needs the announced size.
        expectedSize = quint32(progress.bytesTotal);
        break;
    case Stage::FileDone:
        filesDone = progress.fileIndex;
        // The master's end-of-read count reaches this object queued and may
        // come after the run has ended, so the finished file is reported here.
        emit progress_current(100);
        emit progress_total(mzt::totalProgressAfter(progress.fileIndex, cells.size()));
        break;
    case Stage::Deleting:
        break;
    }
}

void MZTFilesDownLoader::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    filesDone = 0;
    emit progress_current(0);

    if (!host || !archive || !host->master()) {
        emit failed();
        return;
    }
    KVPMaster* master = host->master();

    // Counter signals of the transfer-mode request are not this file's.
    checkingTransferMode = true;
    const core::TransferMode mode = core::enterTransferMode(master);
    if (mode != core::TransferMode::Entered) {
        if (mode == core::TransferMode::Busy)
            emit busy();
        else
            fail(core::lostRecorderReasonOr(
                master, tr("The recorder did not switch into its transfer mode.")));
        return;
    }
    checkingTransferMode = false;

    QString missing;
    QPointer<MZTArchive> target = archive;
    const core::Result result = core::downloadFiles(
        master, mzt::selectedFiles(cells),
        [&](const core::DownloadedFile& file) {
            if (file.missing) {
                missing.append(QLatin1String("\n ") + file.file.name);
                return;
            }
            results.post([target, file] {
                if (target)
                    core::storeInArchive(target, file, file.file.name);
            });
        },
        [this](const core::Progress& p) { onProgress(p); }, &abortRequested);
    expectedSize = 0;

    if (!result.ok()) {
        fail(result.reason, result.file.name);
        return;
    }
    if (!missing.isEmpty())
        emit not_existing_files(missing);
}

void MZTFilesDownLoader::fail(const QString& reason, const QString& file)
{
    emit failureDetail(reason, file, filesDone);
    emit failed();
}
