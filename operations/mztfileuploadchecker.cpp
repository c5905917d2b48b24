#include "mztfileuploadchecker.h"

#include "kvpmaster.h"
#include "operationslog.h"

MZTFileUpLoadChecker::MZTFileUpLoadChecker(QObject* parent)
    : mzt::AbortableWorker(parent)
{
    qRegisterMetaType<QStringList*>();
}

MZTFileUpLoadChecker::~MZTFileUpLoadChecker()
{
    delete overwriteList;
}

void MZTFileUpLoadChecker::acquireResults() const
{
    handOver.acquire();
    const std::lock_guard<std::mutex> guard(listLock);
}

void MZTFileUpLoadChecker::takeSelection()
{
    MZTArchive* archive = host ? host->archive() : nullptr;
    haveArchive = archive != nullptr;
    items = mzt::uploadItems(archive, mzt::selectionOf(host, mzt::TransferTable::Archive));
}

void MZTFileUpLoadChecker::work()
{
    if (!host || !haveArchive || !host->master()) {
        emit done(false, false, nullptr);
        return;
    }

    const core::UploadCheck check = core::checkUpload(host->master(), items, &abortRequested);
    if (check.result.code == core::ResultCode::Cancelled) {
        emit done(false, false, nullptr);
        return;
    }
    QStringList* list = nullptr;
    {
        // The window has finished with the previous list: no check starts
        // while it still handles the answer of the last one.
        const std::lock_guard<std::mutex> guard(listLock);
        delete overwriteList;
        overwriteList = new QStringList(check.overwritten);
        list = overwriteList;
    }
    emit done(check.result.ok(), !check.overwritten.isEmpty(), list);
}
