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
            const QString text = device.displayName;
            const int index = device.deviceIndex;
            results.post([box, text, index] {
                if (box)
                    box->addItem(QIcon(), text, QVariant(index));
            });
            return false;
        },
        &report);
    // results is this object's: a post it has not delivered dies with it.
    results.post([this, held = report.inUse] { inUse = held; });
}
