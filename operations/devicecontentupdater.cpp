#include "devicecontentupdater.h"

#include "mainwindow.h"
#include "recorder_session.h"
#include "ui_mainwindow.h"

#include <QTableWidget>

#include <algorithm>
#include <cstring>

DeviceContentUpdater::DeviceContentUpdater(QObject* parent)
    : QThread(parent)
{
}

void DeviceContentUpdater::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void DeviceContentUpdater::start(QThread::Priority priority)
{
    if (mainWindow && mainWindow->link() && mainWindow->master()) {
        QTableWidget* table = mainWindow->ui()->devTable;
        table->clearContents();
        table->setRowCount(0);
    }
    QThread::start(priority);
}

void DeviceContentUpdater::run()
{
    if (!mainWindow || !mainWindow->link() || !mainWindow->master())
        return;
    const core::Content listing = core::readContent(mainWindow->master());
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
    // A damaged list goes to the window as it came: the window refuses it.
    const int length = int(std::min<qsizetype>(listing.list.size(), BufferSize));
    std::memcpy(content, listing.list.constData(), size_t(length));
    emit newContent(content, length);
}
