#include "devicesdiscoverer.h"

#include "recorder_session.h"

#include <QComboBox>
#include <QIcon>

DevicesDiscoverer::DevicesDiscoverer(QObject* parent)
    : mzt::HostedWorker(parent)
{
}

void DevicesDiscoverer::setComboBox(QComboBox* box)
{
    comboBox = box;
}

void DevicesDiscoverer::start(QThread::Priority priority)
{
    if (host && host->link() && host->master()) {
        if (!comboBox)
            comboBox = host->devicesCombo();
        if (comboBox)
            comboBox->clear();
    }
    QThread::start(priority);
}

void DevicesDiscoverer::run()
{
    if (!host || !host->link() || !host->master())
        return;
    const QPointer<QComboBox> box = comboBox;
    core::discoverDevices(host->master(), host->link(), [&](const core::FoundDevice& device) {
        const QString text = device.displayName;
        const int index = device.deviceIndex;
        results.post([box, text, index] {
            if (box)
                box->addItem(QIcon(), text, QVariant(index));
        });
        return false;
    });
}
