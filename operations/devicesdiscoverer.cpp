#include "devicesdiscoverer.h"

#include "mainwindow.h"
#include "recorder_session.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QIcon>

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

void DevicesDiscoverer::start(QThread::Priority priority)
{
    if (mainWindow && mainWindow->link() && mainWindow->master()) {
        if (!comboBox)
            comboBox = mainWindow->ui()->devicesCombo;
        comboBox->clear();
    }
    QThread::start(priority);
}

void DevicesDiscoverer::run()
{
    if (!mainWindow || !mainWindow->link() || !mainWindow->master())
        return;
    const QPointer<QComboBox> box = comboBox;
    core::discoverDevices(mainWindow->master(), mainWindow->link(),
                          [&](const core::FoundDevice& device) {
                              const QString text = device.displayName;
                              const int index = device.deviceIndex;
                              results.post([box, text, index] {
                                  if (box)
                                      box->addItem(QIcon(), text, QVariant(index));
                              });
                              return false;
                          });
}
