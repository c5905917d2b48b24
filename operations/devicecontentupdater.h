// Reads the list of files the connected recorder stores and hands it to the
// main window, which turns it into the rows of its device table.
#pragma once

#include "recorder_vocabulary.h"

#include <QThread>

class MainWindow;

class DeviceContentUpdater : public QThread {
    Q_OBJECT

public:
    // The largest content list the recorder can send: 128 records.
    static constexpr int BufferSize = int(mzt500::ContentListCapacity);

    explicit DeviceContentUpdater(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

signals:
    void progress(int value);
    void deviceFwVersion(uint swVersion);
    // content points into this object's buffer and stays valid until the
    // next listing starts; the receiver neither keeps nor frees it.
    void newContent(void* content, int readLegth);
    void failed();

public slots:
    // Empties the device table (GUI thread), then starts the run, so a
    // failed listing leaves it empty rather than showing a previous
    // recorder's files.
    void start(QThread::Priority priority = InheritPriority);

protected:
    void run() override;

private:
    MainWindow* mainWindow = nullptr;
    unsigned char content[BufferSize] = {};
};
