#include "auto_backup.h"

#include "backup_history.h"
#include "comparison.h"
#include "contenttext.h"
#include "historylog.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_backup.h"
#include "transfers.h"
#include "yielding.h"

#include <QDir>

#include <algorithm>

namespace autobackup {

namespace {

QString dateText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString filesText(int count)
{
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

// The histories of this recorder in the folder: by its serial number, or
// for one without, by where it is plugged in.
QList<const history::RecorderHistory*> historiesOf(const history::FolderHistory& folder,
                                                   const RecorderIdentity& identity)
{
    QList<const history::RecorderHistory*> found;
    for (const history::RecorderHistory& r : folder.recorders) {
        const bool same = identity.serial.isEmpty() ? !identity.place.isEmpty()
                && r.recorder.serial.isEmpty() && r.recorder.place == identity.place
                                                    : r.matches(identity.serial);
        if (same)
            found.append(&r);
    }
    return found;
}

// The recorder's newest dated backup in the folder: what a new one is
// compared with. Archives the user saved under names of their own may have
// been edited since and are left out, and so are backups that lack files
// the recorder could not deliver: matching one proves nothing about those.
std::optional<history::Backup> newestBackup(const QString& folder, const RecorderIdentity& identity)
{
    const history::FolderHistory read = history::readFolder(folder);
    std::optional<history::Backup> newest;
    for (const history::RecorderHistory* r : historiesOf(read, identity))
        for (auto it = r->backups.crbegin(); it != r->backups.crend(); ++it)
            if (it->dated && !backup::parseFileName(it->fileName())->incomplete) {
                if (!newest || newest->takenAt < it->takenAt)
                    newest = *it;
                break;
            }
    return newest;
}

// A reason the core words as a sentence, made the clause that follows
// "KV000001 not backed up: ".
QString asClause(QString reason)
{
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    if (reason.size() > 1 && reason[0].isUpper() && reason[1].isLower())
        reason[0] = reason[0].toLower();
    return reason;
}

// Lets the recorder go back to playing and frees it for other programs.
// After a stop the master's cancel is spent first: one short request, on a
// link that may be gone, and no more.
void release(KVPMaster* master, bool enteredTransferMode)
{
    if (enteredTransferMode) {
        master->clearAbortRequest();
        master->resetFrameEngine();
        core::switchTransferMode(master, false);
    }
    master->stopAndReset();
}

} // namespace

QString Event::text() const
{
    switch (kind) {
    case Kind::Started:
        return QStringLiteral("%1: reading the recorder").arg(recorder);
    case Kind::BackedUp:
        return first ? QStringLiteral("%1: backed up: first backup, %2 (%3)")
                           .arg(recorder, filesText(files), QDir::toNativeSeparators(path))
                     : QStringLiteral("%1: backed up: %2 changed (%3)")
                           .arg(recorder, filesText(changed), QDir::toNativeSeparators(path));
    case Kind::Unchanged:
        return QStringLiteral("%1: unchanged since %2 (%3)")
            .arg(recorder, dateText(since), QDir::toNativeSeparators(path));
    case Kind::Failed:
        return QStringLiteral("%1: not backed up: %2").arg(recorder, reason);
    case Kind::Gone:
        return QStringLiteral("%1: unplugged before the backup was complete; nothing saved")
            .arg(recorder);
    case Kind::Yielded:
        return QStringLiteral("%1: another program opened the recorder; backup stopped, nothing "
                              "saved, tried again when it is free")
            .arg(recorder);
    case Kind::InUse:
        return QStringLiteral("%1: in use by another program; tried again when it is free")
            .arg(recorder);
    case Kind::Interrupted:
        return QStringLiteral("%1: backup stopped; nothing saved").arg(recorder);
    case Kind::Unplugged:
        return QStringLiteral("%1: unplugged").arg(recorder);
    case Kind::Pruned: {
        QStringList names;
        for (const QString& path : removed)
            names.append(QDir::toNativeSeparators(path));
        QString line = QStringLiteral("%1: removed old backups: %2")
                           .arg(recorder, names.join(QStringLiteral(", ")));
        if (!notRemoved.isEmpty())
            line += QStringLiteral("; not removed: %1").arg(notRemoved.join(QStringLiteral(", ")));
        return line;
    }
    }
    return QString();
}

QString Event::notificationText() const
{
    switch (kind) {
    case Kind::BackedUp:
        return first
            ? QStringLiteral("%1 backed up: first backup, %2").arg(recorder, filesText(files))
            : QStringLiteral("%1 backed up: %2 changed").arg(recorder, filesText(changed));
    case Kind::Failed:
        return QStringLiteral("%1 not backed up: %2").arg(recorder, reason);
    case Kind::Gone:
        return QStringLiteral("%1 not backed up: unplugged before the backup was complete")
            .arg(recorder);
    default:
        return QString();
    }
}

RecorderIdentity identityOf(const core::ListedDevice& device)
{
    // As "Back up recorder" records it, so that both find the same backups.
    return {device.serial,
            device.serial.isEmpty()
                ? QStringLiteral("0x%1").arg(device.locationId, 4, 16, QLatin1Char('0'))
                : QString()};
}

QString displayName(const RecorderIdentity& identity)
{
    if (!identity.serial.isEmpty())
        return identity.serial;
    return QStringLiteral("port %1").arg(identity.place);
}

Event backUpRecorder(KVPMaster* master, KVPmPhyUSB* link, int deviceIndex,
                     const RecorderIdentity& identity, const Settings& settings, const Stops& stops,
                     const QDateTime& now)
{
    Event event;
    event.recorder = displayName(identity);
    event.identity = identity;
    const auto stopped = [&stops] {
        return (stops.stop && stops.stop->load()) || (stops.yield && stops.yield->load());
    };
    const auto endWith = [&](Event::Kind kind, const QString& reason = QString()) {
        event.kind = kind;
        event.reason = asClause(reason);
        if ((kind == Event::Kind::Failed || kind == Event::Kind::Gone) && stopped())
            event.kind =
                stops.stop && stops.stop->load() ? Event::Kind::Interrupted : Event::Kind::Yielded;
        return event;
    };

    // The folder is tried first: a backup that can only fail at its save
    // would hold the recorder for nothing.
    const QString folder = settings.folder.isEmpty() ? backup::windowFolder() : settings.folder;
    if (const QString problem = backup::folderProblem(folder); !problem.isEmpty())
        return endWith(Event::Kind::Failed,
                       QStringLiteral("the folder %1 cannot take backups: %2")
                           .arg(QDir::toNativeSeparators(folder), problem));

    core::connectTo(master, link, deviceIndex);
    if (link->deviceInUse()) {
        master->stopAndReset();
        return endWith(Event::Kind::InUse);
    }
    master->clearAbortRequest();
    const core::TransferMode mode = core::enterTransferMode(master);
    // Asked to enter, the recorder may be in transfer mode even when the
    // answer was lost: it is let go in any case but a refusal.
    const bool entered = mode != core::TransferMode::Busy;
    const auto failWith = [&](const QString& reason) {
        // Taken by another program, the recorder is in use and no longer
        // ours to let go; the taking, not the use, ended the backup.
        const bool taken = link->deviceTaken();
        const bool inUse = link->deviceInUse() && !taken;
        const bool gone = !taken && !link->lostDeviceReason().isEmpty();
        release(master, entered && !inUse && !gone && !taken);
        if (taken)
            return endWith(Event::Kind::Yielded);
        return endWith(
            inUse ? Event::Kind::InUse : (gone ? Event::Kind::Gone : Event::Kind::Failed), reason);
    };
    if (mode == core::TransferMode::Busy)
        return failWith(QStringLiteral("the recorder is busy"));
    if (mode != core::TransferMode::Entered)
        return failWith(
            core::lostRecorderReasonOr(master, QStringLiteral("The recorder does not answer.")));
    const core::Content content = core::readContent(master);
    if (!content.result.ok())
        return failWith(content.result.reason);

    MZTArchive made;
    made.setRecorder(identity);
    QList<core::FileRef> files;
    QHash<int, QString> storedNames;
    for (const ContentRecord& r : content.records) {
        const QString name = mzt::contentNameText(r.type, r.id);
        storedNames.insert(int(r.id), name);
        files.append({int(r.id), name.isEmpty() ? QStringLiteral("(id %1)").arg(r.id) : name});
    }
    std::atomic<bool> cancel {false};
    const core::Result read = core::downloadFiles(
        master, files,
        [&](const core::DownloadedFile& file) {
            // A file the recorder deleted since it listed it is not part of
            // what it holds.
            if (!file.missing)
                core::storeInArchive(&made, file, storedNames.value(file.file.id));
        },
        [&](const core::Progress&) { cancel = stopped(); }, &cancel);
    if (!read.ok() || stopped())
        return failWith(read.ok() ? QString() : core::lostRecorderReasonOr(master, read.reason));
    release(master, entered);

    // Nothing of the folder is read or written before the whole recorder
    // is: a recorder pulled out mid-read leaves no trace there.
    const std::optional<history::Backup> newest = newestBackup(folder, identity);
    QList<core::ArchivedFile> previous;
    bool comparable = false;
    if (newest) {
        MZTArchive old(newest->path);
        comparable = old.load();
        if (comparable)
            previous = core::archivedFiles(old);
        else
            qCDebug(lcHistory) << "newest backup unreadable, a new one is made:" << newest->path
                               << old.errorString();
    }
    const core::Comparison comparison = core::compareArchives(core::archivedFiles(made), previous);
    if (comparable && comparison.allMatch()) {
        event.kind = Event::Kind::Unchanged;
        event.path = newest->path;
        event.since = newest->takenAt;
        return event;
    }
    if (stops.stop && stops.stop->load())
        return endWith(Event::Kind::Interrupted);

    // The save writes a file beside the new name and renames it only once
    // it reads back intact, so no half-written archive is ever seen there.
    const QString path = backup::freePath(folder, backup::fileName(identity.serial, now));
    made.setFileName(path);
    if (!made.save())
        return endWith(Event::Kind::Failed,
                       QStringLiteral("the backup could not be saved as %1: %2")
                           .arg(QDir::toNativeSeparators(path), made.errorString()));
    event.kind = Event::Kind::BackedUp;
    event.path = path;
    event.files = int(made.entries().size());
    event.first = !comparable;
    event.changed = comparison.mismatches();
    qCInfo(lcHistory).noquote() << event.text();
    return event;
}

std::optional<Event> pruneAfterBackup(const RecorderIdentity& identity, const QString& folder,
                                      int keepLast)
{
    if (keepLast < 1)
        return std::nullopt;
    const history::FolderHistory read = history::readFolder(folder);
    Event event;
    event.kind = Event::Kind::Pruned;
    event.recorder = displayName(identity);
    event.identity = identity;
    for (const history::RecorderHistory* r : historiesOf(read, identity)) {
        const history::PruneResult result =
            history::applyPruning(history::planPruning(*r, {keepLast, true}));
        event.removed += result.removed;
        for (const history::UnreadableFile& u : result.notRemoved)
            event.notRemoved.append(
                QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(u.path), u.reason));
    }
    if (event.removed.isEmpty() && event.notRemoved.isEmpty())
        return std::nullopt;
    qCInfo(lcHistory).noquote() << event.text();
    return event;
}

Watcher::Watcher(const Settings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_master(new KVPMaster)
    , m_link(new KVPmPhyUSB)
{
    qRegisterMetaType<autobackup::Event>();
    core::attachLink(m_master, m_link);
    // A child, so that it moves to the watcher's thread with it.
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(RetryMs);
    connect(m_retry, &QTimer::timeout, this, &Watcher::devicesChanged);
}

Watcher::~Watcher()
{
    // Stopping the master also stops the link's reader.
    m_master->stopAndReset();
    delete m_master;
    delete m_link;
}

void Watcher::stop()
{
    m_stop = true;
    m_master->interrupt();
}

void Watcher::yieldRecorder()
{
    m_yield = true;
    m_master->interrupt();
}

QString Watcher::keyOf(const RecorderIdentity& identity, int deviceIndex) const
{
    if (!identity.serial.isEmpty())
        return QStringLiteral("serial:") + identity.serial;
    if (!identity.place.isEmpty())
        return QStringLiteral("place:") + identity.place;
    return QStringLiteral("index:%1").arg(deviceIndex);
}

std::optional<std::pair<int, RecorderIdentity>> Watcher::nextRecorder()
{
    // The link lists the recorders and dongles; the device layer's list
    // tells who each is.
    const QHash<int, QString>* table = m_link->listDevices();
    const std::vector<core::ListedDevice> listed = core::deviceList(false);
    QList<int> indices = table ? table->keys() : QList<int>();
    std::sort(indices.begin(), indices.end());
    QSet<QString> present;
    std::optional<std::pair<int, RecorderIdentity>> next;
    for (const int index : indices) {
        if (index < 0 || size_t(index) >= listed.size())
            continue;
        const RecorderIdentity identity = identityOf(listed[size_t(index)]);
        const QString key = keyOf(identity, index);
        present.insert(key);
        if (!next && !m_handled.contains(key))
            next = std::make_pair(index, identity);
    }
    // A recorder that left is backed up again when it comes back.
    for (auto it = m_handled.begin(); it != m_handled.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        Event left;
        left.kind = Event::Kind::Unplugged;
        left.identity = it.value();
        left.recorder = displayName(it.value());
        emit event(left);
        it = m_handled.erase(it);
    }
    m_heldElsewhere.intersect(present);
    return next;
}

void Watcher::devicesChanged()
{
    // The watcher holds a recorder only until another program, or the
    // window of this one, opens it: they come first.
    const d2xx::HoldModeScope yielding(d2xx::HoldMode::Yielding);
    m_retry->stop();
    bool waiting = false;
    QSet<QString> triedThisRound;
    while (!m_stop) {
        const std::optional<std::pair<int, RecorderIdentity>> next = nextRecorder();
        if (!next)
            break;
        const auto& [index, identity] = *next;
        const QString key = keyOf(identity, index);
        // A recorder another program holds is tried again at the next
        // change, not in a loop.
        if (triedThisRound.contains(key))
            break;
        triedThisRound.insert(key);
        // The tries while another program holds the recorder go unsaid.
        const bool retry = m_heldElsewhere.contains(key);
        m_yield = false;
        if (!retry) {
            Event started;
            started.kind = Event::Kind::Started;
            started.recorder = displayName(identity);
            started.identity = identity;
            emit event(started);
        }
        const Event outcome =
            backUpRecorder(m_master, m_link, index, identity, m_settings, {&m_stop, &m_yield});
        if (outcome.kind == Event::Kind::InUse || outcome.kind == Event::Kind::Yielded) {
            waiting = true;
            m_heldElsewhere.insert(key);
            if (retry && outcome.kind == Event::Kind::InUse)
                continue;
        } else {
            m_heldElsewhere.remove(key);
        }
        switch (outcome.kind) {
        case Event::Kind::Yielded:
        case Event::Kind::InUse:
            break;
        case Event::Kind::Interrupted:
            break;
        case Event::Kind::Gone:
            // Tried again whenever it is listed next, however soon it was
            // plugged in again.
            break;
        default:
            m_handled.insert(key, identity);
            break;
        }
        emit event(outcome);
        if (outcome.kind == Event::Kind::BackedUp) {
            const QString folder =
                m_settings.folder.isEmpty() ? backup::windowFolder() : m_settings.folder;
            if (const std::optional<Event> pruned =
                    pruneAfterBackup(identity, folder, m_settings.keepLast))
                emit event(*pruned);
        }
    }
    m_waiting = waiting;
    if (waiting && !m_stop)
        m_retry->start();
}

} // namespace autobackup
