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
    inUse.clear();
    present.clear();
    QThread::start(priority);
}

void DevicesDiscoverer::run()
{
    if (!host || !host->link() || !host->master())
        return;
    const QPointer<QComboBox> box = comboBox;
    core::DiscoveryReport report;
    core::discoverDevices(
        host->master(), host->link(),
        [&](const core::FoundDevice& device) {
            results.post([box, device] {
                if (!box)
                    return;
                box->addItem(QIcon(), device.displayName, QVariant(device.deviceIndex));
                const int line = box->count() - 1;
                box->setItemData(line, device.serial, SerialRole);
                box->setItemData(line, device.place, PlaceRole);
                box->setItemData(line, device.description, DescriptionRole);
            });
            return false;
        },
        &report);
    // results is this object's: a post it has not delivered dies with it.
    results.post([this, held = report.inUse, listed = report.present] {
        inUse = held;
        present = listed;
    });
}
