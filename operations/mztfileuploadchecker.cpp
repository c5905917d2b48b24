#include "mztfileuploadchecker.h"

#include "kvpmaster.h"
#include "operationslog.h"

MZTFileUpLoadChecker::MZTFileUpLoadChecker(QObject* parent)
    : mzt::HostedWorker(parent)
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

void MZTFileUpLoadChecker::start(QThread::Priority priority)
{
    MZTArchive* archive = host ? host->archive() : nullptr;
    haveArchive = archive != nullptr;
    items = mzt::uploadItems(archive, mzt::selectionOf(host, mzt::TransferTable::Archive));
    // Cleared before the thread runs: an abort that comes before the run
    // has begun is meant for this run.
    abortRequested = false;
    QThread::start(priority);
}

void MZTFileUpLoadChecker::abort()
{
    abortRequested = true;
}

void MZTFileUpLoadChecker::run()
{
    const mzt::ResultHandOver::AtEnd publishAtEnd(handOver);
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
