#include "mztfilesuploader.h"

#include "devicecontentupdater.h"
#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "mzttransfersupport.h"
#include "operationslog.h"

namespace {

enum : qint32 { typeSettings = 0, typeSequence = 1 };
constexpr int lastFileId = 64;
constexpr qint64 progressPerCell = 300;

// While a replaced file is deleted first, the deletion fills this share of
// the current-file bar and the write the rest.
constexpr uint deletionShare = 30;
constexpr uint deletionDone = 255;

} // namespace

MZTFilesUpLoader::MZTFilesUpLoader(QObject* parent)
    : QThread(parent)
{
}

void MZTFilesUpLoader::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void MZTFilesUpLoader::abort()
{
    abortRequested = true;
    // The deletion polls the flag itself; a write in progress only stops
    // when the master is told.
    if (!deleting && mainWindow && mainWindow->master())
        mainWindow->master()->requestAbort();
}

void MZTFilesUpLoader::onSigTransferred(uint percents)
{
    if (!isRunning() || checkingTransferMode)
        return;
    const uint value =
        replacing ? percents * (100 - deletionShare) / 100 + deletionShare : percents;
    emit progress_current(int(value));
    qCDebug(lcOperations) << "progress_current" << value;
}

void MZTFilesUpLoader::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    abortRequested = false;
    deleting = false;

    if (!mainWindow)
        return;
    KVPMaster* master = mainWindow->master();
    if (!master) {
        emit failed();
        return;
    }

    // Counter signals of the transfer-mode request are not this file's.
    checkingTransferMode = true;
    const mzt::TransferMode mode = mzt::enterTransferMode(master);
    if (mode != mzt::TransferMode::Entered) {
        mode == mzt::TransferMode::Busy ? emit busy() : emit failed();
        return;
    }
    checkingTransferMode = false;

    MZTArchive* archive = mainWindow->archive();
    if (!archive) {
        emit failed();
        return;
    }

    mzt::ReplyTimeoutOverride timeout(master, mzt::TransferReplyTimeoutMs);
    const bool ok = uploadSelection(master, archive);
    timeout.restore();
    if (!ok)
        emit failed();
}

bool MZTFilesUpLoader::uploadSelection(KVPMaster* master, MZTArchive* archive)
{
    const QList<mzt::SelectedCell> cells =
        mzt::readSelectedCells(mainWindow, mzt::TransferTable::Archive);
    const qint64 n = cells.size();

    for (qint64 i = 0; i < n; ++i) {
        const qint64 accumulator = progressPerCell * (i + 1);
        if (abortRequested)
            return false;
        const mzt::SelectedCell& cell = cells.at(i);
        if (cell.column != 0)
            continue;
        const int id = cell.id;
        qCDebug(lcOperations).nospace() << "Going to upload \"" << id << "\"";

        const ArchiveEntry* entry = mzt::lastEntryWithId(archive, id);
        if (!entry)
            return false;
        replacing = false;
        // The settings live only under id 0, sequences never do.
        if ((entry->type() == typeSettings) != (id == 0))
            return false;

        if ((entry->type() == typeSettings || entry->type() == typeSequence) && id >= 0
            && id <= lastFileId) {
            const int fileNumber = kvp::fileNumberForId(id);
            bool exists = false;
            if (!kvp::queryFileExists(master, fileNumber, &exists))
                return false;
            if (exists) {
                replacing = true;
                if (!deleteOnRecorder(master, fileNumber))
                    return false;
            }
            // A cancel that came before the write started would be lost:
            // the master forgets abort requests when a write begins.
            if (abortRequested)
                return false;
            if (!kvp::writeStoredFile(master, fileNumber, entry->refreshedContent()))
                return false;
        }
        emit progress_total(int(accumulator / n));
    }
    return true;
}

bool MZTFilesUpLoader::deleteOnRecorder(KVPMaster* master, int fileNumber)
{
    deleting = true;
    kvp::DeleteSequenceHooks hooks;
    hooks.abortRequested = [this] { return abortRequested.load(); };
    hooks.onProgress = [this](uint progress) {
        emit progress_current(int(progress * deletionShare / deletionDone));
    };
    const bool ok = kvp::deleteStoredFile(master, fileNumber, hooks);
    deleting = false;
    return ok;
}
