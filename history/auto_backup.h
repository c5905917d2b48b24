// Backups that happen by themselves: a recorder that appears is read whole
// and compared byte for byte with its newest backup in the backup folder; a
// new dated archive is saved only when something differs or there is no
// backup yet. Widget-free, so that mzt500-cli watch and the window run the
// same logic; its results are values, handed over by a queued signal.
#pragma once

#include "mztarchive.h"
#include "recorder_session.h"

#include <QDateTime>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <optional>

class KVPMaster;
class KVPmPhyUSB;

namespace autobackup {

// One thing the automatic backup did or found, for a line on the terminal,
// a log entry or a desktop notification.
struct Event {
    enum class Kind {
        Started,     // a recorder appeared and is being read
        BackedUp,    // a new archive was saved: path
        Unchanged,   // identical to its newest backup: path, since
        Failed,      // reason; nothing was saved
        Gone,        // the recorder went away mid-backup; nothing was saved
        Yielded,     // another program opened the recorder: stopped, tried again later
        InUse,       // another program holds the recorder: tried again when it is free
        Interrupted, // the watcher was stopped mid-backup; nothing was saved
        Pruned,      // after a backup, old backups removed by the keeping policy: removed
        Unplugged,   // a recorder handled since it appeared has gone
    };
    Kind kind = Kind::Started;
    // The serial number, else "port PLACE".
    QString recorder;
    RecorderIdentity identity;
    QString path;
    QDateTime since;    // Unchanged: when its newest backup was taken
    int files = 0;      // BackedUp: files in the new archive
    int changed = 0;    // BackedUp: files added, changed or removed since the newest backup
    bool first = false; // BackedUp: there was no backup of this recorder before
    QString reason;
    QStringList removed;    // Pruned: the backups removed
    QStringList notRemoved; // Pruned: backups the policy chose that could not go, with why

    // One line for a person: "KV000001: backed up: 3 files changed (PATH)".
    QString text() const;
    // The same as a notification's summary, for the events worth one (a new
    // backup, a failure); empty for the others.
    QString notificationText() const;
};

// What a recorder is known by in the backup folder: its serial number, else
// where it is plugged in (as "Back up recorder" records it).
RecorderIdentity identityOf(const core::ListedDevice& device);
QString displayName(const RecorderIdentity& identity);

struct Settings {
    // Where backups go; empty: the window's backup folder, read anew for
    // every backup so that a folder chosen in the window meanwhile counts.
    QString folder;
    // Keep the last keepLast backups of the recorder (and the first of each
    // month) after a new one was saved; 0 keeps everything.
    int keepLast = 0;
};

// Stops for a backup in progress. Shared flags, set from any thread.
struct Stops {
    const std::atomic<bool>* stop = nullptr;  // the watcher ends
    const std::atomic<bool>* yield = nullptr; // another program wants the recorder
};

// Backs up the recorder at this position of the device layer's list on the
// calling thread, with master and link (connected to it here). Returns the
// event that ends it (BackedUp, Unchanged, Failed, Yielded, InUse or
// Interrupted); nothing is written to the folder unless the whole recorder
// was read and differs from its newest backup. The recorder is let go of
// its transfer mode before the return.
Event backUpRecorder(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex,
                     const RecorderIdentity& identity, const Settings& settings, const Stops& stops,
                     const QDateTime& now = QDateTime::currentDateTime());

// Removes old backups of the recorder by the keeping policy; nullopt when
// the policy is off or nothing went.
std::optional<Event> pruneAfterBackup(const RecorderIdentity& identity, const QString& folder,
                                      int keepLast);

// Watches for recorders: each call of devicesChanged() lists the devices
// and backs up, one after another, every recorder that appeared since it
// was last seen. A recorder that went away mid-backup is tried again the
// next time it is listed; one that another program held or wanted, every
// RetryMs while it is listed (the only time the watcher wakes by itself).
// Lives on a thread of its own: a backup blocks that thread while it runs.
class Watcher : public QObject {
    Q_OBJECT

public:
    static constexpr int RetryMs = 5000;

    explicit Watcher(const Settings& settings, QObject* parent = nullptr);
    ~Watcher() override;

    // Both safe from any thread. stop() ends a backup in progress (nothing
    // is saved) and any after it; yieldRecorder() ends the one in progress
    // only, for another program that wants the recorder.
    void stop();
    void yieldRecorder();
    // Whether a recorder another program held waits for its next try.
    bool waitingForRecorder() const { return m_waiting.load(); }

public slots:
    void devicesChanged();

signals:
    void event(const autobackup::Event& event);

private:
    // The next recorder listed that has not been handled since it appeared.
    std::optional<std::pair<int, RecorderIdentity>> nextRecorder();
    QString keyOf(const RecorderIdentity& identity, int deviceIndex) const;

    Settings m_settings;
    KVPMaster* m_master = nullptr;
    KVPmPhyUSB* m_link = nullptr;
    // Recorders handled since they appeared, by identity; forgotten when
    // they leave the list, so that the next plug-in backs them up again.
    QHash<QString, RecorderIdentity> m_handled;
    // Recorders another program holds, said once until that changes.
    QSet<QString> m_heldElsewhere;
    std::atomic<bool> m_stop {false};
    std::atomic<bool> m_yield {false};
    std::atomic<bool> m_waiting {false};
    QTimer* m_retry = nullptr;
};

} // namespace autobackup

Q_DECLARE_METATYPE(autobackup::Event)
