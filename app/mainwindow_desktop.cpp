// What the window asks of the desktop: showing the archive's file in the
// file manager, and the switch for automatic backups: at login, and by the
// window itself while it is open.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "autostart.h"
#include "filemanager.h"
#include "mztarchive.h"
#include "recorder_backup.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

namespace {

// mzt500-cli beside the program, as installed together; else the one the
// desktop finds on its search path at login.
QString commandLineProgram()
{
    const QString beside =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("mzt500-cli"));
    return QFileInfo(beside).isExecutable() ? beside : QStringLiteral("mzt500-cli");
}

} // namespace

void MainWindow::setUpDesktopCommands()
{
    auto* show =
        newCommand(tr("&Show in folder"), "actionShowInFolder",
                   tr("Open the archive's folder in the file manager, with the file selected"));
    auto* automatic = new QAction(tr("Back up recorders &automatically when plugged in"), this);
    automatic->setObjectName(QStringLiteral("actionAutomaticBackups"));
    automatic->setCheckable(true);
    automatic->setChecked(desktop::autostartEnabled());
    automatic->setStatusTip(tr("Every recorder plugged in is backed up into the backup folder "
                               "when its files changed: by this window while it is open, and "
                               "from the next login on"));
    automaticBackupsAction = automatic;
    // With the other backup commands.
    m_ui->menuFile->insertAction(beforeQuit(), show);
    m_ui->menuFile->insertAction(beforeQuit(), automatic);
    connect(show, &QAction::triggered, this, &MainWindow::showArchiveInFolder);
    connect(automatic, &QAction::toggled, this, &MainWindow::switchAutomaticBackups);

    // The same, one click away after a save or a backup.
    showInFolderLink = new QLabel(this);
    showInFolderLink->setObjectName(QStringLiteral("showInFolderLink"));
    showInFolderLink->setText(QStringLiteral("<a href=\"show\">") + tr("Show in folder")
                              + QStringLiteral("</a>"));
    showInFolderLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse
                                              | Qt::LinksAccessibleByKeyboard);
    showInFolderLink->hide();
    statusBar()->addPermanentWidget(showInFolderLink);
    connect(showInFolderLink, &QLabel::linkActivated, this, &MainWindow::showArchiveInFolder);
}

QString MainWindow::archiveFileOnDisk() const
{
    const QString name = m_archive ? m_archive->fileName() : QString();
    if (name.isEmpty())
        return QString();
    const QString path = QDir::current().absoluteFilePath(name);
    return QFileInfo(path).isFile() ? path : QString();
}

void MainWindow::showArchiveInFolder()
{
    const QString path = archiveFileOnDisk();
    if (path.isEmpty()) {
        statusBar()->showMessage(tr("The archive is not saved in a file yet."));
        return;
    }
    // Without a file manager that takes the request, the folder opens as
    // the desktop opens folders.
    const QString folder = QFileInfo(path).absolutePath();
    desktop::showInFileManager(path, this, [folder](bool shown) {
        if (!shown)
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
}

void MainWindow::switchAutomaticBackups(bool on)
{
    QString error;
    bool wasOn = false;
    const bool done = on ? desktop::enableAutostart(commandLineProgram(), &error)
                         : desktop::disableAutostart(&wasOn, &error);
    if (!done) {
        auto* automatic = findChild<QAction*>(QStringLiteral("actionAutomaticBackups"));
        const QSignalBlocker quiet(automatic);
        automatic->setChecked(desktop::autostartEnabled());
        QMessageBox::warning(
            this, tr("MZT-500 Data Backup Tool"),
            on ? tr("Automatic backups could not be switched on: %1.").arg(error)
               : tr("Automatic backups could not be switched off: %1.").arg(error));
        return;
    }
    qCDebug(lcApp) << "automatic backups" << (on ? "on" : "off");
    statusBar()->showMessage(
        on ? tr("Automatic backups are on, in this window and from the next login, into %1.")
                 .arg(QDir::toNativeSeparators(backup::folder(*settings)))
           : tr("Automatic backups are off."));
    if (on) {
        // The recorders listed now count as plugged in now.
        QTimer::singleShot(0, this, &MainWindow::startAutomaticBackupWhenIdle);
    } else {
        // A backup under way ends with nothing saved; switched on again,
        // the window looks at every recorder anew.
        giveBackRecorder();
        automaticallyBackedUp.clear();
        automaticBackupFailed.clear();
    }
}
