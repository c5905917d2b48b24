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
    // Longest sleep of an idle reader. Every frame sent and every stop wakes
    // it at once; this only bounds how long a master attached without
    // sending goes unnoticed.
    static constexpr ULONG IdleWaitMs = 1000;

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
    // Reads what waits in the receive queue and hands it to the master;
    // false when the read failed.
    bool receiveAvailable(KVPMaster* master);

    // Serialises listing, opening, closing and writing among the caller and
    // master threads; the reader never takes it.
    std::recursive_mutex m_control;
    std::atomic<FT_HANDLE> m_handle {nullptr};
    // The reader sleeps on it: signalled by the device layer when bytes
    // arrive while a reply is awaited, by send() when a frame went out and
    // by stopReader().
    FT_EVENT_HANDLE m_readerEvent;
    std::atomic<int> m_deviceIndex {-1};
    QHash<int, QString> m_devices;
    mutable std::mutex m_errorLock;
    QString m_lastError;
};
