#include "devicecontentupdater.h"

DeviceContentUpdater::DeviceContentUpdater(QObject* parent)
    : mzt::HostedWorker(parent)
{
}

void DeviceContentUpdater::start(QThread::Priority priority)
{
    if (host && host->link() && host->master())
        host->clearDeviceTable();
    QThread::start(priority);
}

void DeviceContentUpdater::run()
{
    if (!host || !host->link() || !host->master())
        return;
    listing = core::readContent(host->master());
    switch (listing.result.code) {
    case core::ResultCode::NoAnswer:
    case core::ResultCode::WrongModel:
        emit failed();
        return;
    default:
        break;
    }
    emit deviceFwVersion(listing.softwareVersion);
    switch (listing.result.code) {
    case core::ResultCode::CannotList:
        return;
    case core::ResultCode::ListFailed:
        emit failed();
        return;
    default:
        break;
    }
    // A damaged list goes out as it came: the receiver refuses it. The raw
    // pointer is taken first: the value handed out shares the bytes.
    void* raw = listing.list.data();
    emit contentListed(listing);
    emit newContent(raw, int(listing.list.size()));
}
