// Automatic backups while the window is open. The window holds the chosen
// recorder itself, so a watcher started at login could not read it; with
// the switch on, the window does the watcher's work instead, with the same
// logic, in the gaps between the user's own commands.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "auto_backup.h"
#include "automaticbackupworker.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "notifier.h"
#include "recorder_backup.h"
#include "recorder_session.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStatusBar>
#include <QTimer>

#include <optional>

namespace {

// While a question is open, the next automatic backup looks again this
// often whether the window is idle.
constexpr int modalRecheckMs = 500;

// What a recorder is remembered by between plug-ins: its serial number,
// else where it is plugged in.
QString keyOf(const RecorderIdentity& identity)
{
    return identity.serial.isEmpty() ? QStringLiteral("place:") + identity.place
                                     : QStringLiteral("serial:") + identity.serial;
}

QString dateText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

void MainWindow::setUpAutomaticBackups()
{
    automaticBackup = new AutomaticBackupWorker(this);
    automaticBackup->setMainWindow(this);
    connect(automaticBackup, &AutomaticBackupWorker::ended, this, &MainWindow::automaticBackupEnded,
            Qt::QueuedConnection);
    // Any command that takes the device, the user's or the window's own,
    // comes before an automatic backup.
    runner->setBeforeTakingDevice([this] { giveBackRecorder(); });
}

bool MainWindow::automaticBackupsOn() const
{
    return automaticBackupsAction && automaticBackupsAction->isChecked();
}

void MainWindow::startAutomaticBackupWhenIdle()
{
    if (!automaticBackupsOn() || !automaticBackup || automaticBackup->isRunning() || !m_master
        || !m_link)
        return;
    // operationDone_NoUnlock() comes back here once the window is idle, and
    // onConnected() once the chosen recorder has answered the poll.
    if (isBusy() || relistPending || plugRelisting)
        return;

    // The recorders listed, as the device layer knows them; one that left
    // the list is backed up again when it is listed next.
    const std::vector<core::ListedDevice> listed = core::deviceList(false);
    const QComboBox* combo = m_ui->devicesCombo;
    QSet<QString> present;
    std::optional<AutomaticBackupWorker::Request> next;
    for (int i = 0; i < combo->count(); ++i) {
        const int index = combo->itemData(i, Qt::UserRole).toInt();
        if (index < 0 || size_t(index) >= listed.size())
            continue;
        const RecorderIdentity identity = autobackup::identityOf(listed[size_t(index)]);
        const QString key = keyOf(identity);
        present.insert(key);
        if (!next && !automaticallyBackedUp.contains(key) && !automaticBackupFailed.contains(key))
            next = AutomaticBackupWorker::Request {index, identity, {}};
    }
    automaticallyBackedUp.intersect(present);
    automaticBackupFailed.intersect(present);

    if (!connected || askingAboutArchive || archiveCheckPending)
        return;
    if (QApplication::activeModalWidget()) {
        if (!std::exchange(automaticRecheckPending, true))
            QTimer::singleShot(modalRecheckMs, this, [this] {
                automaticRecheckPending = false;
                startAutomaticBackupWhenIdle();
            });
        return;
    }
    if (!next)
        return;

    // The folder as the window's setting has it now; the keeping policy is
    // the window's and is applied here once the backup is saved.
    next->settings.folder = backup::folder(*settings);
    qCDebug(lcApp) << "automatic backup of" << autobackup::displayName(next->identity) << "into"
                   << next->settings.folder;
    statusBar()->showMessage(
        tr("Backing up %1 automatically...").arg(autobackup::displayName(next->identity)));
    recorderLent = true;
    automaticBackup->setRequest(*next);
    automaticBackup->start(QThread::LowPriority);
}

void MainWindow::giveBackRecorder()
{
    if (automaticBackup && automaticBackup->isRunning()) {
        qCDebug(lcApp) << "automatic backup stopped: the device is needed";
        automaticBackup->stop();
        // The backup ends at its next exchange; its outcome follows queued.
        automaticBackup->wait();
    }
    if (!std::exchange(recorderLent, false) || !m_master || !m_link)
        return;
    // The backup let the recorder out of its transfer mode and may have left
    // the link on another recorder.
    m_master->stopAndReset();
    m_master->clearAbortRequest();
    if (m_ui->devicesCombo->count() == 0)
        return;
    m_link->setDeviceIndex(m_ui->devicesCombo->currentData(Qt::UserRole).toInt());
    m_master->connectLink();
    putDeviceIntoTransferMode();
}

void MainWindow::endAutomaticBackup()
{
    if (!automaticBackup)
        return;
    automaticBackup->stop();
    automaticBackup->wait();
    recorderLent = false;
}

void MainWindow::automaticBackupEnded(const autobackup::Event& event)
{
    automaticBackup->wait();
    // Stopped for the user's command, the window has the recorder back
    // already; ended by itself, it gets it back now.
    const bool stoppedForCommand = automaticBackup->stopRequested();
    giveBackRecorder();
    qCInfo(lcApp).noquote() << "automatic backup:" << event.text();
    if (stoppedForCommand && event.kind == autobackup::Event::Kind::Interrupted)
        return; // tried again once the window is idle
    const QString key = keyOf(event.identity);
    switch (event.kind) {
    case autobackup::Event::Kind::BackedUp:
    case autobackup::Event::Kind::Unchanged:
        automaticallyBackedUp.insert(key);
        break;
    default:
        // Tried again at the next discovery or plug-in, not in a loop.
        automaticBackupFailed.insert(key);
        break;
    }
    reportAutomaticBackup(event);
    if (event.kind == autobackup::Event::Kind::BackedUp)
        pruneAfterBackup(event.path);
    // The next recorder, if another one waits.
    QTimer::singleShot(0, this, &MainWindow::startAutomaticBackupWhenIdle);
}

void MainWindow::reportAutomaticBackup(const autobackup::Event& event)
{
    using Kind = autobackup::Event::Kind;
    QString line;
    switch (event.kind) {
    case Kind::BackedUp:
        // What was saved where, short enough for a narrow window; how many
        // files changed is in the log and the notification.
        line = tr("%1 backed up automatically: %2 in %3.")
                   .arg(event.recorder, QFileInfo(event.path).fileName(),
                        QDir::toNativeSeparators(QFileInfo(event.path).absolutePath()));
        break;
    case Kind::Unchanged:
        line = tr("%1 is unchanged since %2: no new backup was needed.")
                   .arg(event.recorder, dateText(event.since));
        break;
    case Kind::Gone:
        line = tr("The automatic backup of %1 failed: the recorder was unplugged before it was "
                  "complete. Nothing was saved.")
                   .arg(event.recorder);
        break;
    case Kind::InUse:
    case Kind::Yielded:
        line = tr("The automatic backup of %1 failed: the recorder is in use by another program.")
                   .arg(event.recorder);
        break;
    case Kind::Interrupted:
        line = tr("The automatic backup of %1 was stopped. Nothing was saved.").arg(event.recorder);
        break;
    default:
        line = tr("The automatic backup of %1 failed: %2.").arg(event.recorder, event.reason);
        break;
    }
    statusBar()->showMessage(line);
    // As the watcher does: a new backup and a failure are news, an
    // unchanged recorder is not.
    if (const QString summary = event.notificationText(); !summary.isEmpty()) {
        if (!notifier)
            notifier = new desktop::Notifier(tr("MZT-500 Data Backup Tool"), this);
        notifier->notify(summary,
                         event.kind == Kind::BackedUp ? QDir::toNativeSeparators(event.path)
                                                      : QString());
    }
}
