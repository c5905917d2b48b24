// Reads the list of files the connected recorder stores and hands it to the
// main window, which turns it into the rows of its device table.
#pragma once

#include "contentrecord.h"

#include <QThread>

class MainWindow;

class DeviceContentUpdater : public QThread {
    Q_OBJECT

public:
    // The largest content list the recorder can send: 128 records.
    static constexpr int BufferSize = 2048;

    explicit DeviceContentUpdater(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

signals:
    void progress(int value);
    void deviceFwVersion(uint swVersion);
    // content points into this object's buffer and stays valid until the
    // next listing starts; the receiver neither keeps nor frees it.
    void newContent(void* content, int readLegth);
    void failed();

protected:
    void run() override;

private:
    MainWindow* mainWindow = nullptr;
    unsigned char content[BufferSize] = {};
};
