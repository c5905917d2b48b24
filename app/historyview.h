// The backup folder as a history: a recorder's backups with what changed
// from one to the next, or the backups in which one file changed. Backups
// can be opened or files restored from them; the window does both through
// its usual commands, so this view only says which backup and which files.
// The folder is read on a worker thread: a big folder never freezes the
// window, and the view says "Reading..." meanwhile.
#pragma once

#include "backup_history.h"
#include "historyreader.h"

#include <QDialog>
#include <QList>
#include <QString>

class QComboBox;
class QLabel;
class QPushButton;
class QSettings;
class QStackedWidget;
class QTableWidget;
class QTreeWidget;

namespace keeping {

// How many backups per recorder "Back up recorder" keeps (besides the first
// of each month and whatever the history needs); 0 keeps every backup.
inline constexpr char keepLastKey[] = "backup_keep_last";
int keepLast(const QSettings& settings);
void setKeepLast(QSettings& settings, int count);
// The choices offered, 0 first.
QList<int> keepChoices();

} // namespace keeping

class HistoryView : public QDialog {
    Q_OBJECT

public:
    explicit HistoryView(QSettings* settings, QWidget* parent = nullptr);

    // The backups of the recorder with this serial (any recorder of the
    // folder when it has none there), read afresh from folder.
    void showRecorder(const QString& folder, const QString& serial);
    // The backups in which the file of this id changed.
    void showFile(const QString& folder, const QString& serial, int id, const QString& name);
    // Reads the folder again, keeping what is shown (after a backup or a
    // pruning changed it).
    void reread();

    bool isReading() const { return m_reading; }
    const history::FolderHistory& folderHistory() const { return m_history; }

signals:
    // The user asked to open this backup as the current archive.
    void openRequested(const QString& path);
    // The user asked to write these files of this backup to the recorder.
    void restoreRequested(const QString& path, const QList<int>& ids);

private:
    void startReading();
    void historyRead(const HistoryReader::Outcome& outcome);
    void fillRecorders();
    void showChosenRecorder();
    void fillBackups(const history::RecorderHistory& recorder);
    void fillFileChanges(const history::RecorderHistory& recorder);
    void showBackupFiles();
    void updateButtons();
    const history::RecorderHistory* chosenRecorder() const;
    // The backup the selection names (in either list); null when none.
    const history::Backup* selectedBackup() const;
    QList<int> idsToRestore() const;
    void restore();

    QSettings* m_settings;
    HistoryReader* m_reader;
    bool m_reading = false;
    bool m_readAgain = false;
    QString m_folder;
    QString m_serial;
    QString m_chosenKey; // the recorder the user chose in the list
    int m_fileId = -1;   // the file whose history is shown; -1: the backups
    QString m_fileName;
    history::FolderHistory m_history;

    QComboBox* m_recorders;
    QLabel* m_status;
    QStackedWidget* m_pages;
    QTableWidget* m_backups;
    QTreeWidget* m_files;
    QTableWidget* m_fileChanges;
    QPushButton* m_open;
    QPushButton* m_restore;
    QComboBox* m_keep;
};
