// One automatic backup of a recorder on a worker thread, through the host's
// master and link: the recorder is read whole and compared with its newest
// backup, and a new dated archive is saved only when something differs.
// The request goes in as a value before the run; the outcome comes back as
// a value.
#pragma once

#include "auto_backup.h"
#include "workerhost.h"

#include <atomic>

class AutomaticBackupWorker : public mzt::HostedWorker {
    Q_OBJECT

public:
    struct Request {
        int deviceIndex = -1;
        RecorderIdentity identity;
        autobackup::Settings settings;
    };

    explicit AutomaticBackupWorker(QObject* parent = nullptr);

    // GUI thread, while not running: what the next run backs up.
    void setRequest(const Request& request)
    {
        m_request = request;
        m_stop = false;
    }
    // Any thread: ends a running backup without saving anything; its
    // outcome is Interrupted. The master's abort request stays set for
    // whoever takes the master next to clear.
    void stop();
    bool stopRequested() const { return m_stop.load(); }

signals:
    // Once per run, at its end.
    void ended(const autobackup::Event& event);

protected:
    void run() override;

private:
    Request m_request; // set before the run, read by it only
    std::atomic<bool> m_stop {false};
};
