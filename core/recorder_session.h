// Finding, identifying and preparing a recorder: discovery over the device
// layer, the content list, the transfer mode and the reply time-out a
// transfer runs with. Each call runs its transactions on the calling thread.
#pragma once

#include "contentrecord.h"
#include "operation.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <vector>

class KVPMaster;
class KVPmPhyUSB;

namespace core {

// One device that answered discovery. line counts from 1 in the order the
// devices were probed.
struct FoundDevice {
    int line = 0;
    int deviceIndex = -1;
    QString model;       // the name the device reports
    QString displayName; // "MZT-500 #1" for recorders, the model otherwise
    QString description; // as the device layer lists it
    QString serial;
    QString place; // where it is plugged in, as the device layer lists it
    uint softwareVersion = 0;
    uint hardwareVersion = 0;
    bool isRecorder() const;
};

// One device as the device layer lists it.
struct ListedDevice {
    QString description;
    QString serial;
    quint32 locationId = 0;
    // Where it is plugged in (a USB socket, a serial port's path).
    QString place;
    // How a message names it: its serial number, or else where it is.
    QString name() const;
};

// What discovery saw besides the devices that answered.
struct DiscoveryReport {
    int listed = 0; // devices listed, answering or not
    // Every device the device layer listed, recorders or not.
    std::vector<ListedDevice> present;
    // Listed devices that could not be asked because another program holds
    // them open: in use, not absent.
    QList<ListedDevice> inUse;
};

// Probes every listed device in ascending device order, which keeps the
// numbering of identical recorders the same from run to run. onFound runs
// after each device that answers; returning true ends the search there.
// Leaves the link on the last device probed.
QList<FoundDevice> discoverDevices(KVPMaster* master, KVPmPhyUSB* link,
                                   const std::function<bool(const FoundDevice&)>& onFound = {},
                                   DiscoveryReport* report = nullptr,
                                   const CancelToken* cancel = nullptr);

// "The recorder KV000001 is in use by another program." for one device,
// the same naming each for several.
QString inUseText(const QList<ListedDevice>& devices);

// The device layer's list, by device index: made anew (listAgain), or as the
// last enumeration left it, which keeps the indexes of that enumeration.
std::vector<ListedDevice> deviceList(bool listAgain);

// Makes link the master's link, on the first device and with the usual
// reply time-out; connecting is left to the caller.
void attachLink(KVPMaster* master, KVPmPhyUSB* link);

// Leaves the link connected to this device (reconnects only when needed).
void connectTo(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex);

// The reason the link gives when the recorder it keeps to was unplugged and
// cannot be opened again ("The recorder ... is no longer connected.") or is
// held by another program, or otherwise the fallback: what a failed
// exchange on the recorder reports.
QString lostRecorderReasonOr(const KVPMaster* master, const QString& fallback);

// The recorder's identification and content list.
struct Content {
    Result result;
    QString model;
    uint softwareVersion = 0;
    uint hardwareVersion = 0;
    QByteArray list; // the list as the recorder sent it (empty unless read)
    QList<ContentRecord> records;
};

// Identifies the recorder and reads its content list. The result is
// NoAnswer, WrongModel, CannotList (softwareVersion is set), ListFailed,
// DamagedList (list holds the bytes) or Ok.
Content readContent(KVPMaster* master);

enum class TransferMode { Entered, Busy, NoAnswer };

// Makes sure the recorder is in its transfer mode. Busy: it stays out of it
// (another operation on the recorder runs).
TransferMode enterTransferMode(KVPMaster* master);
// Asks the recorder to enter or leave its transfer mode with the short
// switch time-out; the answer says nothing the program uses.
void switchTransferMode(KVPMaster* master, bool enter);

// Raises the master's reply time-out and sets the old value back once, on
// restore() or at the latest on destruction, so that whatever runs next
// finds the usual time-out.
class ReplyTimeout {
public:
    ReplyTimeout(KVPMaster* master, int timeoutMs);
    ~ReplyTimeout();
    ReplyTimeout(const ReplyTimeout&) = delete;
    ReplyTimeout& operator=(const ReplyTimeout&) = delete;

    void restore();

private:
    KVPMaster* m_master;
    int m_saved;
    bool m_restored = false;
};

} // namespace core
