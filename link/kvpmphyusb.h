// The USB link: lists the FTDI devices that are recorders or dongles, opens
// and configures one, sends blocks for the master and feeds received bytes to
// it from the reader thread.
#pragma once

#include "kvpmphy.h"

#include "ftd2xx.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <mutex>
#include <vector>

// What tells one device from another when it is opened again: its serial
// number, or where it is plugged in when it has none or shares it with
// another listed device. Both as the device layer lists them.
struct DeviceIdentity {
    QByteArray serial;
    QByteArray place;
    bool isKnown() const { return !serial.isEmpty() || !place.isEmpty(); }
    bool operator==(const DeviceIdentity& other) const = default;
};

class KVPmPhyUSB : public KVPmPhy {
    Q_OBJECT
public:
    static constexpr int BaudRate = 250000;
    // Longest sleep of an idle reader. Every frame sent and every stop wakes
    // it at once; this only bounds how long a master attached without
    // sending goes unnoticed.
    static constexpr ULONG IdleWaitMs = 1000;

    explicit KVPmPhyUSB(QObject* parent = nullptr);
    ~KVPmPhyUSB() override;

    // Rebuilds the table of recorders (D2XX list position -> display name);
    // null when the listing itself failed. The table stays owned by the link.
    QHash<int, QString>* listDevices();
    // Chooses the device at that position of the table the last
    // listDevices() made (-1: the first recorder listed when connecting).
    // The first connect after this opens it; every later one, the reopenings
    // of an operation included, opens that same device again by its
    // identity, wherever the device list now has it, and fails while it is
    // not there. Positions not in the table are looked up at that first
    // connect.
    void setDeviceIndex(int index);
    int deviceIndex() const { return m_deviceIndex.load(std::memory_order_acquire); }
    // Why the chosen device cannot be reached: it is no longer connected
    // (a reopening did not find it, or it is not listed now). Empty while
    // it is there, or nothing is known about it.
    QString lostDeviceReason();

    bool connectDevice() override;
    bool disconnectDevice() override;
    bool send(ushort length, const void* data) override;

    // One read of exactly length bytes within the read time-out.
    bool receive(void* buffer, ulong length);
    // False once the device has gone (or was never connected).
    bool checkStatus();
    // Text of the most recent failure; empty until one happened.
    QString lastError() const;
    // The last connect found the chosen device held open by another
    // program (or another handle of this one).
    bool deviceInUse() const { return m_deviceInUse.load(std::memory_order_acquire); }
    // The device was held yielding (a background reader) and another
    // program opened it: the handle is of no more use, and
    // lostDeviceReason() says so.
    bool deviceTaken() const { return m_deviceTaken.load(std::memory_order_acquire); }

protected:
    void run() override;

private:
    bool connectLocked();
    // The identity of the device at that list position; the serial number
    // only when no other listed device shows the same one.
    static DeviceIdentity identityAt(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes,
                                     int position);
    // True while the open handle's device is still listed.
    bool handleStillListed();
    bool isListed(const DeviceIdentity& identity);
    void markLost(const DeviceIdentity& identity);
    // Notes a failed call on the handle; FT_DEVICE_TAKEN marks the device
    // taken.
    void noteFailure(FT_STATUS status);
    bool openAndConfigure(const DeviceIdentity& identity, int position);
    FT_STATUS openHandle(const DeviceIdentity& identity, int position, FT_HANDLE* handle);
    void stopReader();
    void closeHandle();
    bool sendBlock(ushort length, const void* data);
    void setLastError(const char* text);
    void setLastErrorText(QString text);
    // Reads what waits in the receive queue and hands it to the master;
    // false when the read failed.
    bool receiveAvailable(LinkListener* master);

    // Serialises listing, opening, closing and writing among the caller and
    // master threads; the reader never takes it.
    std::recursive_mutex m_control;
    std::atomic<FT_HANDLE> m_handle {nullptr};
    // The reader sleeps on it: signalled by the device layer when bytes
    // arrive while a reply is awaited, by send() when a frame went out and
    // by stopReader().
    FT_EVENT_HANDLE m_readerEvent;
    std::atomic<int> m_deviceIndex {-1};
    // Guarded by m_control: the device chosen (unknown until found), the
    // device the handle belongs to, and the identities of the table's
    // entries by position.
    DeviceIdentity m_chosen;
    DeviceIdentity m_opened;
    QHash<int, DeviceIdentity> m_identities;
    QHash<int, QString> m_devices;
    std::atomic<bool> m_deviceLost {false};
    std::atomic<bool> m_deviceInUse {false};
    std::atomic<bool> m_deviceTaken {false};
    mutable std::mutex m_errorLock;
    QString m_lastError;
    QString m_lostReason;
};
