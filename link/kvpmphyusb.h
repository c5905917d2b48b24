// The USB link: lists the FTDI devices that are recorders or dongles, opens
// and configures one, sends blocks for the master and feeds received bytes to
// it from the reader thread.
#pragma once

#include "kvpmphy.h"

#include "ftd2xx.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <mutex>

class KVPmPhyUSB : public KVPmPhy {
    Q_OBJECT
public:
    static constexpr int BaudRate = 250000;
    static constexpr ULONG ReadTimeoutMs = 40;
    static constexpr ULONG WriteTimeoutMs = 2000;

    explicit KVPmPhyUSB(QObject* parent = nullptr);
    ~KVPmPhyUSB() override;

    // Rebuilds the table of recorders (D2XX list position -> display name);
    // null when the listing itself failed. The table stays owned by the link.
    QHash<int, QString>* listDevices();
    void setDeviceIndex(int index);
    int deviceIndex() const { return m_deviceIndex.load(std::memory_order_acquire); }

    bool connectDevice() override;
    bool disconnectDevice() override;
    bool send(ushort length, const void* data) override;

    // One read of exactly length bytes within the read time-out.
    bool receive(void* buffer, ulong length);
    // False once the device has gone (or was never connected).
    bool checkStatus();
    // Text of the most recent failure; empty until one happened.
    QString lastError() const;

protected:
    void run() override;

private:
    bool connectLocked();
    bool openAndConfigure(int position);
    void stopReader();
    void closeHandle();
    bool sendBlock(ushort length, const void* data);
    void setLastError(const char* text);

    // Serialises listing, opening, closing and writing among the caller and
    // master threads; the reader never takes it.
    std::recursive_mutex m_control;
    std::atomic<FT_HANDLE> m_handle {nullptr};
    std::atomic<int> m_deviceIndex {-1};
    QHash<int, QString> m_devices;
    mutable std::mutex m_errorLock;
    QString m_lastError;
};
