#include "automaticbackupworker.h"

#include "kvpmaster.h"

AutomaticBackupWorker::AutomaticBackupWorker(QObject* parent)
    : mzt::HostedWorker(parent)
{
    qRegisterMetaType<autobackup::Event>();
}

void AutomaticBackupWorker::stop()
{
    m_stop = true;
    if (isRunning() && host)
        host->master()->interrupt();
}

void AutomaticBackupWorker::run()
{
    emit ended(autobackup::backUpRecorder(host->master(), host->link(), m_request.deviceIndex,
                                          m_request.identity, m_request.settings, {&m_stop}));
}
