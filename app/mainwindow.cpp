// The main window as a frame: construction, busy state, closing, shutdown,
// and the Help and Quit commands.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "aboutdialog.h"
#include "applog.h"
#include "automaticbackupworker.h"
#include "devicecontentupdater.h"
#include "devicesdiscoverer.h"
#include "helpbrowser.h"
#include "hidpi_pixmap.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mainwindowcloser.h"
#include "mztarchive.h"
#include "nofocusdelegate.h"
#include "recorder_backup.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QIcon>
#include <QPixmap>
#include <QSettings>
#include <QThread>
#include <QTimer>

Q_LOGGING_CATEGORY(lcApp, "mzt.app")

namespace {
constexpr int pollIntervalMs = 600;
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    construct();
}

MainWindow::MainWindow(const QString& path)
    : QMainWindow(nullptr)
{
    archivePath = path;
    archiveFromCommandLine = true;
    construct();
}

QString MainWindow::archivePathArgument(int argc, char* argv[])
{
    // Decoding as Latin-1 would garble every path with a character outside
    // ASCII; file names use the platform's own encoding.
    if (argc < 2 || !argv[1])
        return QString();
    return QFile::decodeName(argv[1]);
}

void MainWindow::construct()
{
    // Blocking calls from workers are delivered to this object, so shutdown
    // can serve them selectively while it waits for the workers to end.

    // 1. Form and pictures.
    m_ui = new Ui::MainWindow;
    m_ui->setupUi(this);
    pcPixmap = new QPixmap(hidpiPixmap(QStringLiteral(":/pixmaps/pc.png")));
    recorderPixmap = new QPixmap(hidpiPixmap(QStringLiteral(":/pixmaps/MZT500.png")));
    recorderGrayPixmap = new QPixmap(hidpiPixmap(QStringLiteral(":/pixmaps/MZT500gray.png")));
    sequenceIcon = new QIcon(QStringLiteral(":/pixmaps/Sequence 2.ico"));
    settingsIcon = new QIcon(QStringLiteral(":/pixmaps/Settings.ico"));
    m_ui->lblCompIcon->setPixmap(*pcPixmap);
    m_ui->lblMztIcon->setPixmap(*recorderGrayPixmap);

    // 2. Settings and the archive to start with.
    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                             QLatin1String(backup::settingsOrganization),
                             QLatin1String(backup::settingsApplication));
    if (!archiveFromCommandLine)
        archivePath = settings->value(QStringLiteral("archive_file_name"), QString()).toString();

    // 3. While a device command runs, its controls are held back.
    runner = new DeviceCommandRunner(this);
    runner->setControls(
        {m_ui->devicesCombo, m_ui->discoverDevice, m_ui->devTable, m_ui->archTable,
         m_ui->newArchive, m_ui->openArchive, m_ui->saveArchive, m_ui->saveArchiveAs,
         m_ui->backUpRecorder, m_ui->verifyRecorder, m_ui->menuFile, m_ui->menuEdit},
        {m_ui->toArchive, m_ui->toDevice}, {m_ui->devicesCombo, m_ui->menuFile, m_ui->menuEdit});
    m_ui->archLabel->clear();
    setRecorderLabel();
    m_ui->devTable->setRowCount(0);

    // 4. Workers. Their signals come from their own threads and arrive queued.
    discoverer = new DevicesDiscoverer;
    discoverer->setMainWindow(this);
    contentUpdater = new DeviceContentUpdater;
    contentUpdater->setMainWindow(this);
    connect(discoverer, &QThread::finished, this, &MainWindow::devicesDiscovered,
            Qt::QueuedConnection);
    connect(contentUpdater, &QThread::finished, this, &MainWindow::operationDone,
            Qt::QueuedConnection);
    connect(contentUpdater, &DeviceContentUpdater::contentListed, this,
            &MainWindow::showDeviceContent, Qt::QueuedConnection);
    connect(contentUpdater, &DeviceContentUpdater::deviceFwVersion, this, &MainWindow::swVersion,
            Qt::QueuedConnection);
    connect(contentUpdater, &DeviceContentUpdater::failed, this,
            &MainWindow::on_updateContentFailed, Qt::QueuedConnection);
    // Exactly one connection for the window's whole life: one index change,
    // one content refresh.
    connect(m_ui->devicesCombo, &QComboBox::currentIndexChanged, this,
            &MainWindow::updateMZTContent, Qt::UniqueConnection);
    connect(m_ui->devLabel, &QLabel::linkActivated, this, &MainWindow::on_devLabelLinkActivated);
    createTransferWorkers();

    // 5. Tables.
    devDelegate = new NoFocusDelegate;
    devDelegate->setMainWindow(this);
    archDelegate = new NoFocusDelegate;
    archDelegate->setMainWindow(this);
    setUpTable(m_ui->devTable, devDelegate);
    setUpTable(m_ui->archTable, archDelegate);
    connect(m_ui->devTable, &QTableWidget::itemSelectionChanged, this,
            &MainWindow::on_devTable_SelectionChanged);
    connect(m_ui->archTable, &QTableWidget::itemSelectionChanged, this,
            &MainWindow::on_archTable_SelectionChanged);
    connect(m_ui->devTable, &QWidget::customContextMenuRequested, this, &MainWindow::ctxMenuDev);
    connect(m_ui->archTable, &QWidget::customContextMenuRequested, this, &MainWindow::ctxMenuArch);
    restoreSession();
    setUpShortcuts();
    setUpBackupCommands();
    setUpComparisonCommands();
    setUpUndo();
    setUpDesktopCommands();
    setUpAutomaticBackups();
    setUpDragAndDrop();
    setUpTabOrder();

    // 6. Progress widgets and the start-up archive.
    hideProgress();
    loadStartUpArchive();

    // 7. Protocol master and USB link.
    m_master = new KVPMaster;
    m_link = new KVPmPhyUSB;
    core::attachLink(m_master, m_link);
    m_master->connectLink();

    // 8.
    connectTransferProgress();

    // 9. The window is busy from its first moment until discovery ends.
    on_discoverDevice_clicked();

    // 10. Connection poll.
    deviceReady = false;
    connectionTimer = new QTimer(this);
    connect(connectionTimer, &QTimer::timeout, this, &MainWindow::updateConnectionStatus);
    connected = false;
    connectionTimer->start(pollIntervalMs);

    // 11. Recorders plugged in or unplugged are listed without being asked.
    plugMonitor = new d2xx::PlugMonitor(this);
    connect(plugMonitor, &d2xx::PlugMonitor::devicesChanged, this, &MainWindow::devicesPlugged);
    plugMonitor->start();
}

MainWindow::~MainWindow()
{
    if (connectionTimer)
        connectionTimer->stop();
    if (plugMonitor)
        plugMonitor->stop();

    // Results that arrive from now on have nobody to show them to.
    for (QThread* worker :
         {static_cast<QThread*>(discoverer), static_cast<QThread*>(contentUpdater)}) {
        disconnect(worker, nullptr, this, nullptr);
        waitForWorker(worker);
    }
    destroyTransferWorkers();
    if (automaticBackup) {
        disconnect(automaticBackup, nullptr, this, nullptr);
        endAutomaticBackup();
    }

    // With no worker left, stopping the master also stops the link's reader.
    if (m_master)
        m_master->stopAndReset();
    delete discoverer;
    delete contentUpdater;
    delete m_master;
    delete m_link;

    // The tables hold on to their delegates: the widgets go first.
    delete centralWidget();
    delete m_ui;
    delete devDelegate;
    delete archDelegate;
    delete m_archive;
    delete backupArchive;
    delete settings;
    delete sequenceIcon;
    delete settingsIcon;
    delete pcPixmap;
    delete recorderPixmap;
    delete recorderGrayPixmap;
}

void MainWindow::waitForWorker(QThread* worker)
{
    if (worker)
        worker->wait();
}

void MainWindow::enterBusy()
{
    runner->enterBusy();
}

void MainWindow::operationDone()
{
    qCDebug(lcApp) << "op Done";
    runner->unlockDevice();
    operationDone_NoUnlock();
}

void MainWindow::operationDone_NoUnlock()
{
    runner->releaseControls();
    fillArchiveTable(m_archive, m_ui->archTable);
    runner->markIdle();
    // After the rebuild: it leaves the archive table without a selection, and
    // an arrow enabled for rows that are gone would start an empty upload.
    m_ui->toArchive->setEnabled(!m_ui->devTable->selectedItems().isEmpty());
    m_ui->toDevice->setEnabled(!m_ui->archTable->selectedItems().isEmpty());
    runner->restoreFocus();
    updateArchLabel();
    // After the backup asked for before a firmware update: the recorder's
    // content is read again, and the update dialog comes back.
    if (std::exchange(firmwareWhenIdle, false))
        QTimer::singleShot(0, this, &MainWindow::on_actionUpdate_firmware_triggered);
    if (std::exchange(readAgainWhenIdle, false))
        QTimer::singleShot(0, this, &MainWindow::readMissingFilesAgain);
    // A recorder plugged in or unplugged meanwhile is listed now.
    if (relistPending)
        QTimer::singleShot(0, this, &MainWindow::relistAfterPlug);
    QTimer::singleShot(0, this, &MainWindow::startAutomaticBackupWhenIdle);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (isBusy()) {
        event->ignore();
        explainRefusedClose();
        return;
    }
    saveSession();
    connectionTimer->stop();
    endAutomaticBackup();
    if (m_master)
        m_master->stopAndReset();
    checkArchiveOnClose(event);
}

void MainWindow::on_actionAbout_triggered()
{
    auto* dialog = new AboutDialog(this);
    dialog->exec();
    dialog->deleteLater();
}

void MainWindow::on_actionManual_triggered()
{
    auto* browser = new HelpBrowser;
    browser->show();
}

void MainWindow::on_actionQuit_triggered()
{
    auto* closer = new MainWindowCloser;
    closer->setMainWindow(this);
    closer->closeMainWindow();
    closer->deleteLater();
}
