// Sends an update image to one recorder in a thread of its own and reports
// the outcome and the overall progress.
#pragma once

#include <QString>
#include <QThread>

#include <atomic>
#include <mutex>

class KVPMaster;
class KVPmPhyUSB;
class UpdateImage;

class FwUpdater : public QThread {
    Q_OBJECT

public:
    explicit FwUpdater(QObject* parent = nullptr);

    // Takes the protocol master and the link of the given main window (any
    // type with master() and link()); the library itself stays widget-free.
    template <typename Window> void setMainWindow(Window* window)
    {
        attach(window ? window->master() : nullptr, window ? window->link() : nullptr);
    }
    // Uses this master and link; a new master's transfer progress is
    // connected to onProgress().
    void attach(KVPMaster* master, KVPmPhyUSB* link);
    // Borrowed for the run; must stay alive until success() or failed().
    void setImage(UpdateImage* image);
    void setDeviceIndex(int index);
    // Why the last run failed and what to do about it, for the user; empty
    // after a success.
    QString failureReason() const;

signals:
    void failed();
    void success();
    void progress(int percent);

public slots:
    // Percent of the write in progress, from the master's sigTransferred.
    void onProgress(uint percent);

protected:
    void run() override;

private:
    void setFailureReason(const QString& reason);

    KVPMaster* m_master = nullptr;
    KVPmPhyUSB* m_link = nullptr;
    UpdateImage* m_image = nullptr;
    int m_deviceIndex = -1;
    mutable std::mutex m_reasonLock;
    QString m_failureReason; // guarded by m_reasonLock
    // Written by run() before any write, read and advanced by onProgress()
    // in the GUI thread.
    std::atomic<int> m_accountedBytes {0};
    std::atomic<int> m_sectionCounter {0};
};
