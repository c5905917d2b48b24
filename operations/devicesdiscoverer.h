// Finds the recorders attached over USB and fills a combo box with one line
// per device that answers its identification request.
#pragma once

#include "mzttransfersupport.h"
#include "recorder_session.h"

#include <QPointer>
#include <QThread>

class QComboBox;

class DevicesDiscoverer : public mzt::HostedWorker {
    Q_OBJECT

public:
    explicit DevicesDiscoverer(QObject* parent = nullptr);

    // Besides the device's list position (Qt::UserRole), each line of the
    // combo box keeps what tells the device apart when the list changes.
    static constexpr int SerialRole = Qt::UserRole + 1;
    static constexpr int PlaceRole = Qt::UserRole + 2;
    static constexpr int DescriptionRole = Qt::UserRole + 3;

    // Only needed for a combo box other than the host's.
    void setComboBox(QComboBox* box);
    // The listed devices the last run could not ask because another
    // program holds them. GUI thread, once finished() has arrived.
    const QList<core::ListedDevice>& devicesInUse() const { return inUse; }
    // Every device the last run found listed, answering or not. GUI
    // thread, once finished() has arrived.
    const std::vector<core::ListedDevice>& devicesPresent() const { return present; }

signals:
    void progress(int value);

public slots:
    // Empties the combo box (GUI thread), then starts the run; each device
    // found is added in the GUI thread before finished() arrives there.
    void start(QThread::Priority priority = InheritPriority);

protected:
    void run() override;

private:
    QPointer<QComboBox> comboBox;
    QList<core::ListedDevice> inUse;
    std::vector<core::ListedDevice> present;
    mzt::ResultPost results;
};
