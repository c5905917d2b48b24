#include "mztfilesdeleter.h"

#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mainwindow.h"
#include "mzttransfersupport.h"
#include "operationslog.h"

namespace {

constexpr int settingsId = 0;
constexpr qint64 progressPerCell = 300;
constexpr uint deletionDone = 255;

} // namespace

MZTFilesDeleter::MZTFilesDeleter(QObject* parent)
    : QThread(parent)
{
}

void MZTFilesDeleter::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void MZTFilesDeleter::abort()
{
    abortRequested = true;
}

void MZTFilesDeleter::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    abortRequested = false;
    if (!mainWindow) {
        emit failed();
        return;
    }
    const QList<mzt::SelectedCell> cells =
        mzt::readSelectedCells(mainWindow, mzt::TransferTable::Device);
    KVPMaster* master = mainWindow->master();
    if (!master) {
        emit failed();
        return;
    }
    const mzt::TransferMode mode = mzt::enterTransferMode(master);
    if (mode != mzt::TransferMode::Entered) {
        mode == mzt::TransferMode::Busy ? emit busy() : emit failed();
        return;
    }
    if (!deleteCells(master, cells))
        emit failed();
}

bool MZTFilesDeleter::deleteCells(KVPMaster* master, const QList<mzt::SelectedCell>& cells)
{
    const qint64 n = cells.size();
    kvp::DeleteSequenceHooks hooks;
    hooks.abortRequested = [this] { return abortRequested.load(); };
    hooks.onProgress = [this](uint progress) {
        emit progress_current(int(progress * 100u / deletionDone));
    };
    hooks.progressLogText = QStringLiteral("MZTFilesDeleter:: Progress ");
    hooks.reconnectAfterStatusFailure = false;

    for (qint64 i = 0; i < n; ++i) {
        const qint64 accumulator = progressPerCell * (i + 1);
        const mzt::SelectedCell& cell = cells.at(i);
        if (cell.column != 0)
            continue;
        qCDebug(lcOperations) << "Going to delete " << cell.text;
        qCDebug(lcOperations) << "id = " << cell.id;
        if (cell.id == settingsId)
            continue;
        if (!kvp::deleteStoredFile(master, cell.id, hooks))
            return false;
        emit progress_total(int(accumulator / n));
    }
    return true;
}
