// Reads the list of files the connected recorder stores and hands it to the
// main window, which turns it into the rows of its device table.
#pragma once

#include <QString>
#include <QThread>

#include <cstdint>

class MainWindow;

// One 16-byte content record: four little-endian 32-bit words. The same bytes
// begin every recorder file.
struct ContentRecord {
    std::uint32_t id = 0;
    std::uint32_t type = 0;      // 0 settings, 1 sequence, 2 unknown
    std::uint32_t memSize = 0;   // bytes in the recorder's memory
    std::uint32_t duration = 0;  // milliseconds, sequences only

    static constexpr int Size = 16;
    // Decodes the record that starts at bytes (at least Size bytes).
    static ContentRecord fromBytes(const unsigned char* bytes);
};

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
