// The connection to the recorders: the same USB link and protocol master the
// window uses, driven from the calling thread through the operations core.
#pragma once

#include "contentrecord.h"
#include "recorder_session.h"

#include <QList>
#include <QString>

#include <functional>

class KVPMaster;
class KVPmPhyUSB;

namespace cli {

// One recorder that answered discovery. line counts from 1 in the order the
// recorders were probed; `mzt500-cli devices` prints it and --device takes it.
using RecorderInfo = core::FoundDevice;

class RecorderSession {
public:
    // The model this program serves; other recorders are listed, not used.
    static const QString Model;

    RecorderSession();
    ~RecorderSession();
    RecorderSession(const RecorderSession&) = delete;
    RecorderSession& operator=(const RecorderSession&) = delete;

    KVPMaster* master() const { return m_master; }
    KVPmPhyUSB* link() const { return m_link; }

    // Probes the listed devices in ascending order. After each recorder that
    // answers, `enough` may end the search early. *report receives the
    // number of devices listed as recorders, answering or not, and those
    // another program holds.
    QList<RecorderInfo> discover(const std::function<bool(const RecorderInfo&)>& enough = {},
                                 core::DiscoveryReport* report = nullptr);

    // Leaves the link connected to this recorder.
    void connectTo(const RecorderInfo& recorder);

    core::TransferMode ensureTransferMode();
    // Asks whether the recorder is in transfer mode already; no answer
    // counts as no.
    bool inTransferMode();
    // Lets the recorder go back to playing; the answer does not matter.
    void leaveTransferMode();

    // Identifies the recorder and reads its content list. Fails with a
    // reason for another model, firmware too old to list, or no answer.
    bool readContent(QList<ContentRecord>* records, QString* reason);

private:
    KVPMaster* m_master = nullptr;
    KVPmPhyUSB* m_link = nullptr;
};

} // namespace cli
