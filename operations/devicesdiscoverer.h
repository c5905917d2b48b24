// Finds the recorders attached over USB and fills a combo box with one line
// per recorder that answers its identification request.
#pragma once

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

protected:
    void run() override;

private:
    MainWindow* mainWindow = nullptr;
    QComboBox* comboBox = nullptr;
};
