// The physical link to a recorder: moves bytes, knows nothing about frames.
// KVPmPhy is the abstract link; its reader loop (run) belongs to the
// implementation.
#pragma once

#include "linklistener.h"

#include <QThread>

#include <atomic>

class KVPmPhy : public QThread {
    Q_OBJECT
public:
    explicit KVPmPhy(QObject* parent = nullptr);
    ~KVPmPhy() override;

    // The master: receives the bytes and hears of a lost device; may be null.
    void setMaster(LinkListener* master);
    LinkListener* master() const { return m_master.load(std::memory_order_acquire); }
    bool isConnected() const { return m_connected.load(std::memory_order_acquire); }
    bool isOpen() const { return m_open.load(std::memory_order_acquire); }

public slots:
    // Transmits a block.
    virtual bool send(ushort length, const void* data);
    // Opens and configures the device and starts the reader.
    virtual bool connectDevice();
    // Stops the reader and releases the device.
    virtual bool disconnectDevice();

protected:
    std::atomic<LinkListener*> m_master {nullptr};
    std::atomic<bool> m_stopRequest {false};
    std::atomic<bool> m_connected {false};
    std::atomic<bool> m_open {false};
};
