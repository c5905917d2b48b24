#include "devicesdiscoverer.h"

#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mainwindow.h"
#include "operationslog.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QHash>
#include <QIcon>
#include <QList>

#include <algorithm>

DevicesDiscoverer::DevicesDiscoverer(QObject* parent)
    : QThread(parent)
{
}

void DevicesDiscoverer::setMainWindow(MainWindow* window)
{
    mainWindow = window;
}

void DevicesDiscoverer::setComboBox(QComboBox* box)
{
    comboBox = box;
}

void DevicesDiscoverer::run()
{
    if (!mainWindow || !mainWindow->link() || !mainWindow->master())
        return;
    KVPmPhyUSB* link = mainWindow->link();
    KVPMaster* master = mainWindow->master();

    if (!comboBox)
        comboBox = mainWindow->ui()->devicesCombo;
    QComboBox* box = comboBox;
    // The combo box belongs to the GUI thread; every change goes there.
    mainWindow->callInGuiThread([box] { box->clear(); });

    // A failed enumeration yields no table at all: then there is no recorder
    // to list. The table is a hash; probing in ascending device order keeps
    // the numbering of identical recorders the same from run to run.
    const QHash<int, QString>* table = link->listDevices();
    QList<int> indices = table ? table->keys() : QList<int>();
    std::sort(indices.begin(), indices.end());
    qCDebug(lcOperations) << "Number of devices " << indices.size();

    int recorderCount = 0;
    for (int index : indices) {
        master->stopAndReset();
        link->setDeviceIndex(index);
        master->connectLink();

        QString name;
        uint swVersion = 0;
        uint hwVersion = 0;
        if (!master->getDeviceInfo(&name, &swVersion, &hwVersion)) {
            qCDebug(lcOperations) << "no";
            continue;
        }
        QString text = name;
        if (name == QLatin1String("MZT-500")) {
            ++recorderCount;
            text = name + QStringLiteral(" #%1").arg(recorderCount);
        }
        mainWindow->callInGuiThread(
            [box, text, index] { box->addItem(QIcon(), text, QVariant(index)); });
        qCDebug(lcOperations) << "Device Name " << name;
        qCDebug(lcOperations) << "SW Version " << ((swVersion >> 8) & 0xFF) << (swVersion & 0xFF);
        qCDebug(lcOperations) << "HW Version " << ((hwVersion >> 8) & 0xFF) << (hwVersion & 0xFF);
        qCDebug(lcOperations) << "yes";
    }
}
