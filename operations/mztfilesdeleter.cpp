#include "mztfilesdeleter.h"

#include "kvpmaster.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

MZTFilesDeleter::MZTFilesDeleter(QObject* parent)
    : mzt::TransferWorker(parent)
{
}

void MZTFilesDeleter::takeSelection()
{
    cells = mzt::selectionOf(host, mzt::TransferTable::Device);
    selectedCells = cells.size();
}

void MZTFilesDeleter::fileProgress(const core::Progress& progress)
{
    if (progress.stage == core::Progress::Stage::Deleting && progress.deletion >= 0)
        emit progress_current(int(uint(progress.deletion) * 100u / mzt500::DeletionDone));
}

void MZTFilesDeleter::work()
{
    filesDone = 0;
    KVPMaster* master = host ? host->master() : nullptr;
    if (!master) {
        emit failed();
        return;
    }
    if (!enterTransferMode(master))
        return;
    // The abort is looked at inside each deletion, after its start request
    // and between polls.
    const core::Result result = core::deleteFiles(
        master, mzt::selectedFiles(cells), [this](const core::Progress& p) { onProgress(p); },
        &abortRequested, false);
    if (!result.ok())
        fail(result.reason, result.file.name);
}
