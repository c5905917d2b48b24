#include "mztfileuploadchecker.h"

#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "mzttransfersupport.h"
#include "operationslog.h"

namespace {

enum : qint32 { typeSettings = 0, typeSequence = 1 };
constexpr int firstSequenceId = 1;
constexpr int lastSequenceId = 64;

} // namespace

MZTFileUpLoadChecker::MZTFileUpLoadChecker(QObject* parent)
    : QThread(parent)
{
    qRegisterMetaType<QStringList*>();
}

MZTFileUpLoadChecker::~MZTFileUpLoadChecker()
{
    delete overwriteList;
}

void MZTFileUpLoadChecker::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void MZTFileUpLoadChecker::abort()
{
    abortRequested = true;
}

void MZTFileUpLoadChecker::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
    abortRequested = false;
    qCDebug(lcOperations) << "Checking planned upload";

    if (!mainWindow || !mainWindow->archive() || !mainWindow->master()) {
        emit done(false, false, nullptr);
        return;
    }
    KVPMaster* master = mainWindow->master();

    mzt::ReplyTimeoutOverride timeout(master, mzt::TransferReplyTimeoutMs);
    bool overwrites = false;
    const Outcome outcome = checkSelection(master, mainWindow->archive(), &overwrites);
    timeout.restore();
    // The list is complete; the receiver reads it before this run ends.
    handOver.publish();

    switch (outcome) {
    case Outcome::Checked:
        emit done(true, overwrites, overwriteList);
        break;
    case Outcome::Stopped:
        emit done(false, overwrites, overwriteList);
        break;
    case Outcome::Aborted:
        emit done(false, false, nullptr);
        break;
    }
}

MZTFileUpLoadChecker::Outcome MZTFileUpLoadChecker::checkSelection(KVPMaster* master,
                                                                   MZTArchive* archive,
                                                                   bool* overwrites)
{
    const QList<mzt::SelectedCell> cells =
        mzt::readSelectedCells(mainWindow, mzt::TransferTable::Archive);
    // The window has finished with the previous list: no check starts while
    // it still handles the answer of the last one.
    delete overwriteList;
    overwriteList = new QStringList;

    for (const mzt::SelectedCell& cell : cells) {
        if (abortRequested)
            return Outcome::Aborted;
        if (cell.column != 0)
            continue;
        const int id = cell.id;
        qCDebug(lcOperations).nospace() << "Checking whether \"" << id << "\" exists";

        // The entry the upload will write decides, so that a duplicate id
        // cannot slip an overwrite past the question.
        const ArchiveEntry* entry = mzt::lastEntryWithId(archive, id);
        if (!entry)
            return Outcome::Stopped;

        if (entry->type() == typeSettings) {
            overwriteList->append(QStringLiteral("SETTINGS"));
            *overwrites = true;
        } else if (entry->type() == typeSequence) {
            if (id < firstSequenceId || id > lastSequenceId)
                return Outcome::Stopped;
            bool exists = false;
            if (!kvp::queryFileExists(master, id, &exists))
                return Outcome::Stopped;
            if (exists) {
                overwriteList->append(entry->name());
                *overwrites = true;
            }
        }
    }
    return Outcome::Checked;
}
