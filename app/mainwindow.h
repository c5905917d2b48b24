// The program's main window: owns the protocol master, the USB link, one
// worker of each kind and the current archive, and shows the recorder's and
// the archive's content side by side.
#pragma once

#include "archive_on_disk.h"
#include "comparisontracker.h"
#include "devicecommandrunner.h"
#include "plug_monitor.h"
#include "workerhost.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QKeySequence>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCloseEvent;
class QComboBox;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QFileSystemWatcher;
class QIcon;
class QLabel;
class QMenu;
class QTableWidgetItem;
class QMessageBox;
class QPixmap;
class QPoint;
class QSettings;
class QTableWidget;
class QThread;
class QTimer;

class KVPMaster;
class KVPmPhyUSB;
class AutomaticBackupWorker;
class DevicesDiscoverer;
class HistoryReader;
class HistoryView;
class DeviceContentUpdater;
class MZTFilesDeleter;
class MZTFilesDownLoader;
class MZTFilesUpLoader;
class MZTFileUpLoadChecker;
class MZTArchive;
class ArchiveEditHistory;
class ArchiveEntry;
struct RecorderIdentity;
class NoFocusDelegate;
class RecorderVerifier;
struct ContentRecord;
namespace core {
struct Content;
}
namespace autobackup {
struct Event;
}
namespace desktop {
class Notifier;
}

class TransferProgressPanel;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, public mzt::WorkerHost {
    Q_OBJECT

public:
    // The window with the archive remembered in the settings.
    explicit MainWindow(QWidget* parent = nullptr);
    // The window with the archive at archivePath (the command-line argument).
    explicit MainWindow(const QString& archivePath);
    ~MainWindow() override;

    // The archive path given on the command line (the first argument, in the
    // platform's file-name encoding); null when there is none.
    static QString archivePathArgument(int argc, char* argv[]);

    Ui::MainWindow* ui() const { return m_ui; }
    // The window as the workers' host. Workers read the selection only in
    // the GUI thread, when they start, and hand their results back as
    // values; the pointers themselves never change while a worker runs.
    KVPMaster* master() const override { return m_master; }
    KVPmPhyUSB* link() const override { return m_link; }
    // The archive the commands work on: during a whole-recorder backup the
    // new archive the download fills, else the current one.
    MZTArchive* archive() const override { return backupArchive ? backupArchive : m_archive; }
    QList<mzt::SelectedCell> selectedCells(mzt::TransferTable table) const override;
    QComboBox* devicesCombo() const override;
    void clearDeviceTable() override;

    // The recorder label's link when no recorder was found: it opens the
    // manual's section on what to check.
    static constexpr char recorderNotFoundLink[] = "recorder-not-found";
    static constexpr char recorderNotFoundSection[] = "notfound";

    // Size and duration cells keep the number they stand for (bytes,
    // milliseconds) under this role.
    static constexpr int sortKeyRole = Qt::UserRole + 1;

    // State, for the dialogs and for tests.
    bool isBusy() const { return runner && runner->isBusy(); }
    bool isConnected() const { return connected; }
    bool isDeviceReady() const { return deviceReady; }
    QString currentArchivePath() const { return archivePath; }
    bool archivePathFromCommandLine() const { return archiveFromCommandLine; }
    // An automatic backup has the window's master and link.
    bool isBackingUpAutomatically() const { return recorderLent; }

    // Gives the archive entry the archive table shows at row (edited in
    // column) the sequence number n instead of fromId, unless another entry
    // holds n already; then says so and changes nothing.
    void renumberSequence(int row, int column, int fromId, int n);

    // Rebuilds table from the entries of arch (both tables share one layout).
    void fillArchiveTable(MZTArchive* arch, QTableWidget* table);

    // The archives opened or saved last, newest first (at most
    // maxRecentArchives), as File > Open recent offers them.
    static constexpr int maxRecentArchives = 8;
    QStringList recentArchives() const;
    // Opens the archive at path as Open does, after offering to save the
    // current one's changes; says so when it cannot be opened.
    void openRecentArchive(const QString& path);

    // A save of the current archive succeeded after elapsedMs: tells the
    // user in the status bar.
    void reportArchiveSaved(qint64 elapsedMs);

    // File > Back up recorder: every file of the selected recorder into a
    // new archive, saved at once in the backup folder under a dated name,
    // then shown as the current archive. Asks about unsaved changes first.
    void backUpRecorder();
    // File > Backup folder: lets the user choose where backups go.
    void chooseBackupFolder();

    // File > History: the backups in the backup folder of the chosen
    // recorder (or of any recorder with backups there), what changed from
    // one to the next; a backup can be opened or files restored from it.
    void showHistory();
    // "History of NAME" in either table's menu: the backups in which the
    // file at row changed.
    void showFileHistory(QTableWidget* table, int row);
    // The history view, once it has been opened; for tests.
    HistoryView* historyWindow() const { return historyView; }
    // Opens a backup as the current archive, as Open does.
    void openBackup(const QString& path);
    // Writes these files of a backup to the recorder: the backup becomes
    // the current archive, its files are selected and the usual upload
    // runs, with its questions.
    void restoreFromBackup(const QString& path, const QList<int>& ids);

    // Edit > Verify with recorder: reads the recorder's copies of the
    // selected files (of both tables; every file when none is selected) and
    // compares them byte for byte with the archive's, on a worker, with the
    // progress lines and Cancel. Ends with a status line, and names the
    // files in a box when any differs.
    void verifyRecorderFiles();
    // Edit > Select differences: selects in each table the rows whose file
    // differs on the other side or is missing there, so that the arrow
    // copies them across.
    void selectDifferences();
    // The last verification's outcome, for tests.
    const core::Comparison& lastVerification() const { return verification; }
    // The current archive may be replaced: it has no unsaved changes, or
    // the user saved them or chose to lose them when asked.
    bool mayReplaceArchive();

    // Before the current archive is written over its own file at path:
    // whether that may go ahead. A write-protected file, or one another
    // program changed since the window read or wrote it, is not replaced
    // without asking; false means the question was answered otherwise
    // (Save as, Reload, Cancel) and the caller writes nothing.
    bool mayWriteArchiveOver(const QString& path);
    // The current archive's file was just read or written: its look on
    // disk is what later changes are judged against.
    void rememberArchiveOnDisk();

    // These look like by-name slots but match no signal of the form. They are
    // ordinary member functions connected with pointer-to-member connections
    // in the constructor; keeping them out of the meta-object stops the
    // form's by-name connector from warning that it found no signal for them.
    void on_devLabelLinkActivated(QString link);
    // The content updater's listing: the rows of the device table.
    void showDeviceContent(const core::Content& content);
    void on_updateContentFailed();
    void on_devTable_SelectionChanged();
    void on_archTable_SelectionChanged();

public slots:
    void updateArchLabel();
    void on_discoverDevice_clicked();
    void on_abortButton_clicked();
    void on_newArchive_clicked();
    void on_saveArchiveAs_clicked();
    void on_saveArchive_clicked();
    void on_openArchive_clicked();
    void ctxMenuDev(QPoint pos);
    void ctxMenuArch(QPoint pos);
    void select_all_arch();
    void clear_selection_arch();
    void select_all_dev();
    void clear_selection_dev();
    void delete_on_dev();
    void delete_from_arch();
    void save_in_arch();
    void transfer_to_dev();
    void delete_failed();
    void progressCurrent(int value);
    void progressTotal(int value);
    void operationDone();
    void operationDone_NoUnlock();
    void deleteDone();
    void devicesDiscovered();
    void updateMZTContent();
    void newMZTContentArrived(void* content, int ReadLength);
    void swVersion(uint version);
    void downLoadDone();
    void downLoad_failed();
    void upLoadDone();
    void upLoad_failed();
    void upLoadCheckDone(bool boOK, bool boOverwrites, QStringList* files);
    void moveSequence();
    void on_actionAbout_triggered();
    void on_toDevice_clicked();
    void on_toArchive_clicked();
    void on_actionManual_triggered();
    void on_actionQuit_triggered();
    void on_actionSave_archive_as_triggered();
    void on_actionSave_Archive_triggered();
    void on_action_Open_Archive_triggered();
    void on_actionNew_Archive_triggered();
    void on_actionUpdate_firmware_triggered();
    void on_actionDiscoverDevices_triggered();
    void releaseDeviceFromTransferMode();
    void putDeviceIntoTransferMode();

protected:
    void closeEvent(QCloseEvent* event) override;
    // A ".mzt" file dropped on the window opens as Open would open it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

public slots:
    void updateConnectionStatus();
    void onDisconnected();
    void onConnected();
    void deviceBusy();

public:
    void enterBusy();
    void hideProgress();
    void showProgress();
    void resetProgress();
    void saveArchiveAsDialog();
    void askToSaveModified();
    void openArchiveDialog();

private:
    // After a question to the user: whether the recorder is still there and
    // free; when it is gone, reportFailure says so.
    bool recorderFreeAfterQuestion(void (MainWindow::*reportFailure)());

    void construct();

    // Construction and shutdown steps that belong to the transfer commands:
    // create the four transfer workers and connect their signals (step 4),
    // connect the master's progress signals to them (step 8), and at
    // destruction wait for any of them still running and free them.
    void createTransferWorkers();
    void connectTransferProgress();
    void destroyTransferWorkers();

    // Construction and close steps that belong to the archive commands:
    // create and load the start-up archive (step 6), and the archive check
    // that accepts or ignores a close event once the window has stopped its
    // poll and the master (close step 3).
    void loadStartUpArchive();
    void checkArchiveOnClose(QCloseEvent* event);
    // The archive's file changed on disk (the watcher saw it): asks what to
    // do unless the window is busy or already asking, then at the next
    // chance.
    void checkArchiveOnDisk();
    enum class OnDiskAnswer { Reload, SaveAs, Replace, Cancel };
    OnDiskAnswer askAboutArchiveChangedOnDisk(const QString& path);
    // Reads the archive's file again, dropping the window's own changes.
    void reloadArchive();

    // Waits for a worker thread to end.
    void waitForWorker(QThread* worker);

    // Rebuilds the device table from the recorder's records.
    void fillDeviceTable(const QList<ContentRecord>& records);

    // Both tables share the set-up: columns, headers, selection, sorting.
    void setUpTable(QTableWidget* table, NoFocusDelegate* delegate);
    // Widens the name and size columns to their content.
    void fitColumns(QTableWidget* table);
    // Column widths and sort order, kept in the settings between runs.
    void restoreTableState(QTableWidget* table);
    void saveTableState(QTableWidget* table);
    // A table's right-click menu: selecting all or nothing, the commands on
    // the selection, the history of the file under the pointer.
    void execTableMenu(
        QTableWidget* table, QPoint pos, void (MainWindow::*selectAll)(),
        void (MainWindow::*clearSelection)(),
        const std::function<void(QMenu*, const QList<QTableWidgetItem*>&)>& addSelectionCommands);

    // Window size, tables and recent archives between runs.
    void restoreSession();
    void saveSession();
    void rememberRecentArchive(const QString& path);
    void rebuildRecentMenu();
    // Shortcuts beside the menus' own: the usual Ctrl keys, F1, F5, Delete.
    void setUpShortcuts();
    // Tab walks the recorder's side, then the archive's, then the status
    // bar's link.
    void setUpTabOrder();
    // The label above the recorder table; it takes the keyboard focus only
    // while it holds a link, so Tab never stops on plain text.
    void setRecorderLabel(const QString& html = QString());
    // The backup commands in the File menu and under the recorder's name.
    void setUpBackupCommands();
    // The history commands: File > History, the link beside "Back up
    // recorder", and the file's history in the tables' menus.
    void setUpHistoryCommands();
    void addFileHistoryEntry(QMenu* menu, QTableWidget* table, QPoint pos);
    // After a backup was saved at path: removes old backups of its recorder
    // as the keeping setting says, on a worker; nothing when it keeps all.
    void pruneAfterBackup(const QString& path);
    // The backup's download has ended: saves and shows the new archive
    // after a success, drops it otherwise.
    void finishBackup();
    // A backup whose save failed, saved under a name the user chooses.
    void saveBackupElsewhere(const std::shared_ptr<MZTArchive>& made);
    // A saved backup becomes the current archive (the window takes made).
    void showSavedBackup(MZTArchive* made, const QString& path);
    void showBackupFailure();
    // A backup saved without the files the recorder could not deliver: the
    // status line and a box name them and why; the box offers to read them
    // again, which adds them to the saved backup and, once none is missing,
    // saves it under its complete name and removes the incomplete file.
    void reportIncompleteBackup(const QString& path, int filesRead);
    void readMissingFilesAgain();
    void finishReadingAgain(MZTArchive* made, const QString& completePath);
    // The state column of both tables, the verification and the selection
    // of differences.
    void setUpComparisonCommands();
    // Where the File menu's backup commands go: before Quit's separator.
    QAction* beforeQuit() const;
    // Whether a transfer command may start its worker: never while it still
    // runs; without a recorder, failed() reports the command as failed.
    bool workerMayStart(const QThread* worker, void (MainWindow::*failed)());
    // A menu command of the window: its text, the object name tests and
    // settings find it by, the status bar's tip and a key, if it has one.
    QAction* newCommand(const QString& text, const char* objectName, const QString& statusTip,
                        const QKeySequence& key = QKeySequence());
    // "Show in folder" and the switch for automatic backups at login.
    void setUpDesktopCommands();
    QString archiveFileOnDisk() const;
    void showArchiveInFolder();
    void switchAutomaticBackups(bool on);

    // Automatic backups while the window is open, with the switch on: each
    // recorder listed is backed up once per plug-in, whenever the window is
    // idle, through the window's own master and link on a worker. A device
    // command the user starts ends it first (nothing is saved) and it is
    // tried again once the window is idle.
    void setUpAutomaticBackups();
    bool automaticBackupsOn() const;
    void startAutomaticBackupWhenIdle();
    void automaticBackupEnded(const autobackup::Event& event);
    void reportAutomaticBackup(const autobackup::Event& event);
    // Ends a running automatic backup and puts the link back on the chosen
    // recorder in its transfer mode, as the window's commands expect it.
    void giveBackRecorder();
    // At close: ends a running automatic backup, with nothing saved.
    void endAutomaticBackup();
    // Undo and redo of the archive's edits, in the Edit menu.
    void setUpUndo();
    // The archive went from before to what it holds now: one step to undo.
    void recordArchiveEdit(const QString& what, const QList<ArchiveEntry>& before);
    QList<ArchiveEntry> archiveEntriesNow() const;
    void restoreArchiveEntries(const QList<ArchiveEntry>& entries);
    // Brings both tables' state column up to date with the recorder's last
    // listing, the archive and what verifications proved.
    void showComparison();
    // The recorder's copies of these files are about to be written or
    // deleted: what a verification proved for them no longer holds.
    void forgetVerified(QTableWidget* table);
    void verificationEnded();
    void reportVerification();
    // Rows dragged from one table onto the other start the download or the
    // upload of those rows.
    void setUpDragAndDrop();
    void startDroppedTransfer(bool fromRecorder, const QList<int>& ids);

    // The outcome of a device command in the status bar: what was done, to
    // how many files and how long it took. A failure or a cancel reports
    // itself through its message, so only a success gets a line.
    using Reported = DeviceCommandRunner::Command;
    void startReport(Reported what, int files);
    void finishReport();
    // The lines beside the progress bars for a download of the selected
    // recorder files.
    void beginDownloadLines();
    // Starts the upload the overwrite question allowed; with onlyMissing
    // only the selected entries the recorder does not hold (held names the
    // overwrite check's list).
    void startUpload(bool onlyMissing, const QStringList& held);
    // Explains why the window stays open while a device operation runs.
    void explainRefusedClose();

    // A recorder plugged in or unplugged: the list is made again by the
    // ordinary discovery, at once or, while the window is busy or asks
    // something, once it is idle again. The chosen recorder stays chosen
    // when it is still there, and a status line says what came and went.
    void devicesPlugged();
    void relistAfterPlug();
    void applyPlugRelisting();
    // The recorders the combo box lists, as the device layer names them.
    std::vector<d2xx::PluggedDevice> listedRecorders() const;
    // The recorder shown is gone: grey picture, empty table, no label.
    void forgetShownRecorder();

    // Tooltips and the recorder label naming each recorder's serial number
    // and port, or a link to help when none was found.
    void describeRecorders();
    // brief: serial number and port only, for the label beside the picture.
    QString recorderDetails(int deviceIndex, bool brief = false) const;
    QString recorderSerial(int deviceIndex) const;
    // Whether the recorder whose files the table lists is the one an
    // archive says it was backed up from.
    bool isListedRecorder(const RecorderIdentity& recorder) const;
    // Empties a table without emitting its selection signals.
    static void clearTable(QTableWidget* table);

    friend class NoFocusDelegate;

    // Busy state, device lock and failure reports of the device commands.
    DeviceCommandRunner* runner = nullptr;
    Ui::MainWindow* m_ui = nullptr;
    KVPMaster* m_master = nullptr;
    KVPmPhyUSB* m_link = nullptr;
    DevicesDiscoverer* discoverer = nullptr;
    DeviceContentUpdater* contentUpdater = nullptr;
    MZTFilesDeleter* deleter = nullptr;
    MZTFilesDownLoader* downLoader = nullptr;
    MZTFilesUpLoader* upLoader = nullptr;
    MZTFileUpLoadChecker* upLoadChecker = nullptr;
    RecorderVerifier* verifier = nullptr;
    MZTArchive* m_archive = nullptr;
    QSettings* settings = nullptr;
    QIcon* sequenceIcon = nullptr;
    QIcon* settingsIcon = nullptr;
    QPixmap* pcPixmap = nullptr;
    QPixmap* recorderPixmap = nullptr;
    QPixmap* recorderGrayPixmap = nullptr;
    QTimer* connectionTimer = nullptr;
    bool connected = false;
    d2xx::PlugMonitor* plugMonitor = nullptr;
    bool relistPending = false;
    // A discovery started by a plug event: what the combo box listed and
    // which line was chosen before it.
    struct PlugRelisting {
        std::vector<d2xx::PluggedDevice> before;
        int chosen = -1; // in before
    };
    std::optional<PlugRelisting> plugRelisting;
    // What was plugged in when the last discovery began.
    std::optional<std::vector<d2xx::PresentDevice>> presentAtDiscovery;
    QString plugStatusLine;
    QString archivePath;
    bool deviceReady = false;
    bool archiveFromCommandLine = false;

    // Not part of the window's state as users see it: the two delegates.
    NoFocusDelegate* devDelegate = nullptr;
    NoFocusDelegate* archDelegate = nullptr;

    TransferProgressPanel* progressPanel = nullptr;
    QMenu* recentMenu = nullptr;
    QPointer<QMessageBox> refusedCloseBox;
    // The backup that runs: its new archive, the recorder's serial and when
    // it started (the archive's name is dated with it).
    MZTArchive* backupArchive = nullptr;
    QString backupSerial;
    QDateTime backupStarted;
    // The last backup saved as incomplete: its file, what it lacks and why,
    // and whether the firmware update waits for it. readingAgain while the
    // running backup reads those files into it; readAgainWhenIdle when the
    // user asked for that while the recorder was still being listed.
    struct IncompleteBackup {
        QString path;
        QList<core::Result> unreadable;
        bool thenFirmware = false;
    };
    std::optional<IncompleteBackup> incompleteBackup;
    bool readingAgain = false;
    bool readAgainWhenIdle = false;
    // "Back up recorder first" in the firmware dialog: the backup runs,
    // and once it is saved and the window is idle again the dialog reopens.
    bool firmwareAfterBackup = false;
    bool firmwareWhenIdle = false;
    // The current archive's file as last read or written, and the watcher
    // that notices other programs writing it.
    archivefile::Stamp archiveOnDisk;
    archivefile::Stamp declinedOnDisk;
    QFileSystemWatcher* archiveWatcher = nullptr;
    QTimer* archiveWatchDelay = nullptr;
    bool archiveCheckPending = false;
    bool askingAboutArchive = false;
    // The recorder's listing against the archive, and what verifications
    // proved; the running or last verification and the archive files it
    // compares with.
    ComparisonTracker comparisonTracker;
    ArchiveEditHistory* archiveEdits = nullptr;
    QLabel* showInFolderLink = nullptr;
    // What the archive held when a download into it started.
    std::optional<QList<ArchiveEntry>> entriesBeforeDownload;
    core::Comparison verification;
    QList<core::ArchivedFile> verificationArchive;
    // The history view once opened, and the worker that prunes old backups.
    HistoryView* historyView = nullptr;
    HistoryReader* backupPruner = nullptr;
    // Automatic backups: the worker, whether it was given the master and
    // link since the window last had them, the recorders backed up (or
    // found unchanged) since they were listed, and those whose backup failed
    // since the last discovery.
    QAction* automaticBackupsAction = nullptr;
    AutomaticBackupWorker* automaticBackup = nullptr;
    desktop::Notifier* notifier = nullptr;
    bool recorderLent = false;
    bool automaticRecheckPending = false;
    QSet<QString> automaticallyBackedUp;
    QSet<QString> automaticBackupFailed;
};
