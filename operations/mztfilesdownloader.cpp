#include "mztfilesdownloader.h"

#include "kvpmaster.h"
#include "mztarchive.h"
#include "operationslog.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

MZTFilesDownLoader::MZTFilesDownLoader(QObject* parent)
    : mzt::TransferWorker(parent)
{
}

void MZTFilesDownLoader::takeSelection()
{
    const QList<mzt::SelectedCell> cells = mzt::selectionOf(host, mzt::TransferTable::Device);
    files = mzt::selectedFiles(cells);
    // The overall bar counts in cells, three to a row.
    selectedCells = cells.size();
    passesOver = std::exchange(nextPassesOver, false);
    archive = host ? host->archive() : nullptr;
}

void MZTFilesDownLoader::stopRunningRequest()
{
    qCDebug(lcOperations) << "aborting";
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

void MZTFilesDownLoader::fileProgress(const core::Progress& progress)
{
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
        // The master's end-of-read count reaches this object queued and may
        // come after the run has ended, so the finished file is reported here.
        emit progress_current(100);
        break;
    case Stage::Deleting:
        break;
    }
}

void MZTFilesDownLoader::work()
{
    filesDone = 0;
    unreadable.clear();
    emit progress_current(0);

    if (!host || !archive || !host->master()) {
        emit failed();
        return;
    }
    KVPMaster* master = host->master();
    if (!enterTransferMode(master))
        return;

    QString missing;
    QPointer<MZTArchive> target = archive;
    const auto onFile = [&](const core::DownloadedFile& file) {
        if (file.missing) {
            missing.append(QLatin1String("\n ") + file.file.name);
            return;
        }
        results.post([target, file] {
            if (target)
                core::storeInArchive(target, file, file.file.name);
        });
    };
    const auto progress = [this](const core::Progress& p) { onProgress(p); };
    core::Result result;
    if (passesOver) {
        core::PartialDownload partial =
            core::downloadReadableFiles(master, files, onFile, progress, &abortRequested);
        result = partial.result;
        unreadable = std::move(partial.unreadable);
    } else {
        result = core::downloadFiles(master, files, onFile, progress, &abortRequested);
    }
    expectedSize = 0;

    if (!result.ok()) {
        fail(result.reason, result.file.name);
        return;
    }
    if (!missing.isEmpty())
        emit not_existing_files(missing);
}
