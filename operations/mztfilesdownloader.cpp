#include "mztfilesdownloader.h"

#include "devicecontentupdater.h"
#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "mzttransfersupport.h"
#include "operationslog.h"

#include <QByteArray>

#include <memory>

namespace {

constexpr uint endOfReadMark = 0xFFFFFFFFu;
// Every selected cell advances the overall progress by this much; a whole
// row has three cells, so n cells of whole rows end at 100.
constexpr qint64 progressPerCell = 300;

} // namespace

MZTFilesDownLoader::MZTFilesDownLoader(QObject* parent)
    : QThread(parent)
{
}

void MZTFilesDownLoader::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void MZTFilesDownLoader::abort()
{
    qCDebug(lcOperations) << "aborting";
    abortRequested = true;
    // Breaks a read that is waiting for the recorder.
    if (mainWindow && mainWindow->master())
        mainWindow->master()->cancel();
}

void MZTFilesDownLoader::onBytesReceived(uint nBytes)
{
    qCDebug(lcOperations) << "MZTFilesDownLoader progress " << nBytes;
    // Counts of reads made by other operations, or left over from an ended
    // run, say nothing about this download.
    if (checkingTransferMode || !isRunning())
        return;
    qCDebug(lcOperations) << "FilesDownLoader is running";
    if (nBytes == endOfReadMark) {
        qCDebug(lcOperations) << "100% ************************************************";
        emit progress_current(100);
        return;
    }
    const quint32 size = expectedSize;
    if (size != 0)
        emit progress_current(int(quint64(nBytes) * 100u / size));
}

void MZTFilesDownLoader::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    abortRequested = false;
    emit progress_current(0);

    if (!mainWindow || !mainWindow->archive() || !mainWindow->master()) {
        emit failed();
        return;
    }
    KVPMaster* master = mainWindow->master();
    MZTArchive* archive = mainWindow->archive();

    // Counter signals of the transfer-mode request are not this file's.
    checkingTransferMode = true;
    const mzt::TransferMode mode = mzt::enterTransferMode(master);
    if (mode != mzt::TransferMode::Entered) {
        mode == mzt::TransferMode::Busy ? emit busy() : emit failed();
        return;
    }
    checkingTransferMode = false;

    mzt::ReplyTimeoutOverride timeout(master, mzt::TransferReplyTimeoutMs);
    QString missing;
    const bool ok = downloadSelection(master, archive, &missing);
    expectedSize = 0;
    timeout.restore();

    if (!ok) {
        emit failed();
        return;
    }
    qCDebug(lcOperations) << "DISCONNECTING FROM kvpMaster";
    if (!missing.isEmpty())
        emit not_existing_files(missing);
}

bool MZTFilesDownLoader::downloadSelection(KVPMaster* master, MZTArchive* archive, QString* missing)
{
    const QList<mzt::SelectedCell> cells =
        mzt::readSelectedCells(mainWindow, mzt::TransferTable::Device);
    const qint64 n = cells.size();

    for (qint64 i = 0; i < n; ++i) {
        const qint64 accumulator = progressPerCell * (i + 1);
        expectedSize = 0;
        if (abortRequested)
            return false;

        const mzt::SelectedCell& cell = cells.at(i);
        if (cell.column != 0)
            continue;
        const int id = cell.id;
        qCDebug(lcOperations) << "Going to download " << id;

        ArchiveEntry* found = nullptr;
        for (ArchiveEntry* entry : archive->entries()) {
            if (entry && entry->id() == id) {
                qCDebug(lcOperations) << "Replacing " << id;
                archive->setModified(true);
                found = entry;
            }
        }

        QByteArray data;
        const kvp::StoredFileRead read = kvp::readStoredFile(
            master, kvp::fileNumberForId(id), &data, [this](quint32 size) { expectedSize = size; });
        if (read == kvp::StoredFileRead::Missing) {
            missing->append(QLatin1String("\n ") + cell.text);
            continue;
        }
        if (read == kvp::StoredFileRead::Failed)
            return false;

        // The file is checked before the archive is touched: a file that is
        // too short or of odd length is damaged, and whatever the archive
        // already holds under this id must survive a failed copy.
        if (data.size() < ContentRecord::Size)
            return false;
        emit progress_total(int(accumulator / n));

        const ContentRecord record =
            ContentRecord::fromBytes(reinterpret_cast<const unsigned char*>(data.constData()));
        qCDebug(lcOperations) << "Duration: " << record.duration;
        qCDebug(lcOperations) << "Id: " << record.id;
        qCDebug(lcOperations) << "Size: " << record.memSize;
        qCDebug(lcOperations) << "len: " << data.size();
        if (data.size() % 2 != 0)
            return false;

        std::unique_ptr<ArchiveEntry> fresh;
        ArchiveEntry* target = found;
        if (!target) {
            fresh = std::make_unique<ArchiveEntry>();
            target = fresh.get();
        }
        target->clear();
        target->setDuration(record.duration);
        target->setId(qint32(record.id));
        target->setType(qint32(record.type));
        target->appendContent(data.constData(), data.size());
        target->setName(cell.text);
        if (fresh)
            archive->addEntry(fresh.release());
        qCDebug(lcOperations) << "*******************************";
    }
    return true;
}
