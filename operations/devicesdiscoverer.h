// Finds the recorders attached over USB and fills a combo box with one line
// per device that answers its identification request.
#pragma once

#include "mzttransfersupport.h"

#include <QPointer>
#include <QThread>

class MainWindow;
class QComboBox;

class DevicesDiscoverer : public QThread {
    Q_OBJECT

public:
    explicit DevicesDiscoverer(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);
    // Only needed for a combo box other than the main window's devicesCombo.
    void setComboBox(QComboBox* box);

signals:
    void progress(int value);

public slots:
    // Empties the combo box (GUI thread), then starts the run; each device
    // found is added in the GUI thread before finished() arrives there.
    void start(QThread::Priority priority = InheritPriority);

protected:
    void run() override;

private:
    MainWindow* mainWindow = nullptr;
    QPointer<QComboBox> comboBox;
    mzt::ResultPost results;
};
