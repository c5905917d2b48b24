// What the workers need from whoever runs them, and nothing more: the
// protocol master and the link, the archive the commands work on, the
// selection as values, and the two widgets discovery and listing refresh.
// The main window is the usual host; tests run the workers on a host of
// their own.
#pragma once

#include <QList>
#include <QString>
#include <QThread>

class KVPMaster;
class KVPmPhyUSB;
class MainWindow;
class MZTArchive;
class QComboBox;

namespace mzt {

// One selected cell as the worker needs it: the first cell of a row carries
// the file id (under the item id role) and the file's display name.
struct SelectedCell {
    int column = 0;
    int row = 0;
    int id = 0;
    QString text;
};

enum class TransferTable { Device, Archive };

class WorkerHost {
public:
    // Never change while a worker runs.
    virtual KVPMaster* master() const = 0;
    virtual KVPmPhyUSB* link() const = 0;
    // The archive the commands work on; null when there is none.
    virtual MZTArchive* archive() const = 0;

    // GUI thread, when a worker starts: the selected cells of a table, the
    // name cells first, then the others, each group in table row order.
    virtual QList<SelectedCell> selectedCells(TransferTable table) const = 0;
    // GUI thread: the combo box discovery fills unless it is given another.
    virtual QComboBox* devicesCombo() const = 0;
    // GUI thread, before a listing: the rows of the previous one go, so a
    // failed listing leaves no other recorder's files on show.
    virtual void clearDeviceTable() = 0;

protected:
    ~WorkerHost() = default;
};

// A worker thread run for a host.
class HostedWorker : public QThread {
public:
    using QThread::QThread;

    // The window as the host; defined beside the window.
    void setMainWindow(MainWindow* window);
    void setHost(WorkerHost* workerHost) { host = workerHost; }

protected:
    WorkerHost* host = nullptr;
};

} // namespace mzt
