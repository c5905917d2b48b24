// The commands of mzt500-cli. Each returns the program's exit status and,
// on failure, has written its one-line reason to stderr.
#pragma once

#include "backup_history.h"
#include "command_table.h"
#include "comparison.h"
#include "operation.h"
#include "session.h"
#include "terminal.h"

#include <QHash>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class MZTArchive;

namespace cli {

struct Options {
    QString command;
    QStringList arguments; // after the command: archive path, names, file
    int device = 0;        // line of `devices`, from 1; 0 = first MZT-500
    bool overwrite = false;
    bool skipExisting = false; // restore: only what the recorder does not hold
    bool dryRun = false;       // restore, delete: say what would happen, change nothing
    bool json = false;         // devices, list, archive, status, verify, diff: one JSON document
    bool verify = false;       // backup, restore: read the files again and compare
    bool names0 = false;       // list, archive: the names to type, for the completion
    QString folder;            // history, prune: the backup folder (default: the window's)
    QString file;              // history: the one file whose changes are listed
    int keep = 0;              // prune, watch: the last backups kept per recorder
    bool enable = false;       // watch: install the autostart entry
    bool disable = false;      // watch: remove it
    bool quiet = false;
    bool verbose = false;
};

// Set when SIGINT, SIGTERM or SIGHUP arrives; every transfer step looks at
// it. interruptSignal is the signal, for the exit status the shell expects.
extern std::atomic<bool> interrupted;
extern std::atomic<int> interruptSignal;
// Once set (under interruptLock), a signal no longer cancels the master's
// exchanges: the command has ended and only lets the recorder go.
extern std::atomic<bool> settling;
extern std::mutex interruptLock;
// The master of the running command, cancelled when a signal arrives.
extern std::atomic<KVPMaster*> activeMaster;
// While set, a signal only says to wait: a half-sent firmware is worse than
// a late exit.
extern std::atomic<bool> uninterruptible;
// While set, a signal also ends the application's event loop: the command
// waits in it for events and ends when it returns.
extern std::atomic<bool> signalEndsEventLoop;

class Cli {
public:
    explicit Cli(const Options& options);
    ~Cli();

    int run();

private:
    // The table names the handlers below.
    friend const QList<CommandSpec>& commandTable();

    int devices();
    int list();
    int backup();
    int restore();
    int remove();
    int updateFirmware();
    int showArchive();
    int status();
    int verify();
    int diff();
    int history();
    int prune();
    int watch();
    int switchAutostart();

    // The backup folder's history, narrowed to the recorder the arguments
    // name; on failure the exit status is in *status.
    std::optional<history::FolderHistory> readHistory(int* status);
    int fileHistory(const history::FolderHistory& folder);

    // Reads the recorder's files the request names and compares them with
    // the archive's, with the transfer's progress line.
    core::Comparison readAndCompare(const core::VerifyRequest& request);
    // After a backup or restore: the files of these ids read again and
    // compared with the archive; a difference fails naming the files.
    int verifyAfterTransfer(const MZTArchive& archive, const QList<int>& ids, const QString& what);

    // Discovers, chooses the recorder the options name and connects to it;
    // on failure the exit status is in *status.
    std::optional<RecorderInfo> chooseRecorder(int* status);
    // chooseRecorder(), transfer mode, content list. A dry run leaves the
    // recorder's mode alone: it only asks.
    bool openRecorder(QList<ContentRecord>* records, int* status);
    // Loads an existing archive; a reason and ExitBadFile otherwise.
    bool loadArchive(MZTArchive* archive, int* status);
    // loadArchive(), then openRecorder(): the archive is checked before the
    // recorder is asked anything.
    bool loadArchiveThenRecorder(MZTArchive* archive, QList<ContentRecord>* records, int* status);
    int interruptedExit();
    // The reason a dry run's question failed, with what the dry run left out.
    QString dryRunFailure(const QString& reason);
    // The archive at path could not be saved; the reason and the status.
    int saveFailure(const MZTArchive& archive, const QString& path);
    // After the command: a recorder it put into transfer mode is let go,
    // within a bound even after an interruption, since a recorder left in
    // transfer mode does not play.
    void releaseRecorder();
    // Reports what was done before a failure, then the failure's reason
    // (after an interruption only when evenIfInterrupted).
    int failAfter(const QStringList& done, const QString& reason, bool evenIfInterrupted = false);

    RecorderSession& session();
    // Shows where a transfer stands. deletionShare: the part of a file's bar
    // its deletion fills (100 when nothing is written after it).
    void showProgress(const core::Progress& progress, uint deletionShare);
    // Starts the one line of a backup or restore. expectedSizes: each file's
    // size by id as far as known before the transfer; the recorder's exact
    // sizes correct the total as they arrive.
    void beginTotal(const QHash<int, qint64>& expectedSizes);
    void showTotal(const core::Progress& progress);

    Options m_options;
    Terminal m_terminal;
    std::unique_ptr<RecorderSession> m_session;
    // The recorder was asked to enter its transfer mode and may be in it,
    // whether or not the answer arrived.
    bool m_inTransferMode = false;
    bool m_replacing = false; // the current file's deletion came first
    // The recorder chooseRecorder() connected to.
    std::optional<RecorderInfo> m_recorder;

    // Where a whole backup or restore stands.
    struct TransferTotal {
        QHash<int, qint64> expectedSizes;
        qint64 bytesTotal = 0;
        qint64 bytesDone = 0;   // of the files finished
        qint64 currentSize = 0; // the current file's size as far as known
        qint64 currentDone = 0;
        bool fileOpen = false; // started, not yet finished
    };
    TransferTotal m_total;
};

} // namespace cli
