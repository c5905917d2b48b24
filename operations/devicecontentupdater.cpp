#include "devicecontentupdater.h"

#include "kvpmaster.h"
#include "mainwindow.h"
#include "operationslog.h"
#include "ui_mainwindow.h"

#include <QTableWidget>

namespace {

// Commands of the recorder used here.
constexpr unsigned char cmdContentList = 16;

// Firmware 1.1 and older cannot list its content.
constexpr uint lastVersionWithoutListing = 0x0101;

} // namespace

DeviceContentUpdater::DeviceContentUpdater(QObject* parent)
    : QThread(parent)
{
}

void DeviceContentUpdater::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void DeviceContentUpdater::run()
{
    if (!mainWindow || !mainWindow->link() || !mainWindow->master())
        return;
    KVPMaster* master = mainWindow->master();

    // The table is emptied before anything is asked, so a failed listing
    // leaves it empty rather than showing a previous recorder's files.
    QTableWidget* table = mainWindow->ui()->devTable;
    mainWindow->callInGuiThread([table] {
        table->clearContents();
        table->setRowCount(0);
    });

    QString name;
    uint swVersion = 0;
    uint hwVersion = 0;
    if (!master->getDeviceInfo(&name, &swVersion, &hwVersion)) {
        emit failed();
        return;
    }
    if (name != QLatin1String("MZT-500")) {
        emit failed();
        return;
    }
    emit deviceFwVersion(swVersion);
    if (swVersion <= lastVersionWithoutListing)
        return;

    uint length = 0;
    if (!master->readData(BufferSize, content, &length, cmdContentList, 0)) {
        emit failed();
        return;
    }
    emit newContent(content, int(length));
}
