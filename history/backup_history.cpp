#include "backup_history.h"

#include "historylog.h"
#include "recorder_backup.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcHistory, "mzt.history")

namespace history {

namespace {

// The stamp of a file as it is now; nullopt when it cannot be looked at.
std::optional<FileStamp> stampOf(const QString& path)
{
    struct stat st { };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileStamp {qint64(st.st_size),
                      qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                      quint64(st.st_ino)};
}

// What the index keeps of one archive: what its summary said, under the
// stamp of the file it was read from.
struct IndexEntry {
    FileStamp stamp;
    ArchiveSummary summary;
};

// The index format. Anything else in the file (another version, damage)
// makes it count as missing: it is a cache, rebuilt from the files.
constexpr int kIndexVersion = 1;
const QString kIndexFormat = QStringLiteral("mzt500-history");

QCborMap entryToCbor(const IndexEntry& entry)
{
    QCborArray files;
    for (const SummarizedFile& f : entry.summary.files)
        files.append(QCborArray {f.id, f.name, f.type, qint64(f.duration), f.length, f.digest});
    return QCborMap {{QStringLiteral("size"), entry.stamp.size},
                     {QStringLiteral("mtime"), entry.stamp.modifiedNs},
                     {QStringLiteral("inode"), qint64(entry.stamp.inode)},
                     {QStringLiteral("serial"), entry.summary.recorder.serial},
                     {QStringLiteral("place"), entry.summary.recorder.place},
                     {QStringLiteral("written"),
                      entry.summary.writtenAt.isValid() ? entry.summary.writtenAt.toSecsSinceEpoch()
                                                        : qint64(0)},
                     {QStringLiteral("files"), files}};
}

std::optional<IndexEntry> entryFromCbor(const QCborValue& value)
{
    if (!value.isMap())
        return std::nullopt;
    const QCborMap map = value.toMap();
    IndexEntry entry;
    entry.stamp.size = map.value(QStringLiteral("size")).toInteger(-1);
    entry.stamp.modifiedNs = map.value(QStringLiteral("mtime")).toInteger();
    entry.stamp.inode = quint64(map.value(QStringLiteral("inode")).toInteger());
    entry.summary.recorder.serial = map.value(QStringLiteral("serial")).toString();
    entry.summary.recorder.place = map.value(QStringLiteral("place")).toString();
    if (const qint64 written = map.value(QStringLiteral("written")).toInteger(); written != 0)
        entry.summary.writtenAt = QDateTime::fromSecsSinceEpoch(written, Qt::UTC);
    const QCborValue files = map.value(QStringLiteral("files"));
    if (!files.isArray() || entry.stamp.size < 0)
        return std::nullopt;
    for (const QCborValue& item : files.toArray()) {
        const QCborArray f = item.toArray();
        if (f.size() != 6 || !f[0].isInteger() || !f[1].isString() || !f[5].isByteArray())
            return std::nullopt;
        entry.summary.files.append({qint32(f[0].toInteger()), f[1].toString(),
                                    qint32(f[2].toInteger()), quint32(f[3].toInteger()),
                                    f[4].toInteger(), f[5].toByteArray()});
    }
    return entry;
}

// The index by file name; empty when it is missing or unusable.
QHash<QString, IndexEntry> readIndex(const QString& path)
{
    QHash<QString, IndexEntry> index;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return index;
    QCborParserError error;
    const QCborValue root = QCborValue::fromCbor(file.readAll(), &error);
    const QCborMap map = root.toMap();
    if (error.error != QCborError::NoError
        || map.value(QStringLiteral("format")).toString() != kIndexFormat
        || map.value(QStringLiteral("version")).toInteger() != kIndexVersion) {
        qCDebug(lcHistory) << "index not usable, rebuilt:" << path;
        return index;
    }
    const QCborMap archives = map.value(QStringLiteral("archives")).toMap();
    for (auto it = archives.constBegin(); it != archives.constEnd(); ++it)
        if (const std::optional<IndexEntry> entry = entryFromCbor(it.value()))
            index.insert(it.key().toString(), *entry);
    return index;
}

QString writeIndex(const QString& path, const QHash<QString, IndexEntry>& index)
{
    QCborMap archives;
    for (auto it = index.constBegin(); it != index.constEnd(); ++it)
        archives.insert(it.key(), entryToCbor(it.value()));
    const QCborMap root {{QStringLiteral("format"), kIndexFormat},
                         {QStringLiteral("version"), kIndexVersion},
                         {QStringLiteral("archives"), archives}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(root.toCborValue().toCbor()) < 0
        || !file.commit())
        return file.errorString();
    return QString();
}

// The group a backup belongs to; see RecorderHistory::key.
QString groupKey(const RecorderIdentity& recorder)
{
    if (!recorder.serial.isEmpty())
        return QStringLiteral("serial:") + backup::serialInName(recorder.serial);
    if (!recorder.place.isEmpty())
        return QStringLiteral("place:") + recorder.place;
    return QString();
}

Backup backupFrom(const QString& path, const FileStamp& stamp, const ArchiveSummary& summary)
{
    Backup b;
    b.path = path;
    b.stamp = stamp;
    b.writtenAt = summary.writtenAt;
    b.recorder = summary.recorder;
    b.files = summary.files;
    const std::optional<backup::NameParts> name = backup::parseFileName(QFileInfo(path).fileName());
    if (name) {
        b.takenAt = name->when;
        b.copy = name->copy;
        b.dated = true;
        // Backups written before archives recorded their recorder.
        if (b.recorder.isEmpty())
            b.recorder.serial = name->serial;
    } else if (summary.writtenAt.isValid()) {
        b.takenAt = summary.writtenAt.toLocalTime();
    } else {
        b.takenAt = QDateTime::fromMSecsSinceEpoch(stamp.modifiedNs / 1000000);
    }
    return b;
}

bool takenBefore(const Backup& a, const Backup& b)
{
    if (a.takenAt != b.takenAt)
        return a.takenAt < b.takenAt;
    if (a.copy != b.copy)
        return a.copy < b.copy;
    if (a.writtenAt != b.writtenAt)
        return a.writtenAt < b.writtenAt;
    return a.path < b.path;
}

// Fills added, changed and removed of each backup from the one before.
void computeChanges(QList<Backup>& backups)
{
    const Backup* previous = nullptr;
    for (Backup& b : backups) {
        QMap<qint32, const SummarizedFile*> before;
        if (previous)
            for (const SummarizedFile& f : previous->files)
                before.insert(f.id, &f);
        for (const SummarizedFile& f : b.files) {
            const SummarizedFile* old = before.take(f.id);
            if (!old)
                b.added.append(f);
            else if (old->digest != f.digest)
                b.changed.append(f);
        }
        for (const SummarizedFile* gone : std::as_const(before))
            b.removed.append(*gone);
        previous = &b;
    }
}

// The versions a backup holds: a file id with its content.
QSet<QByteArray> versionsOf(const Backup& b)
{
    QSet<QByteArray> versions;
    for (const SummarizedFile& f : b.files)
        versions.insert(QByteArray::number(f.id) + ':' + f.digest);
    return versions;
}

} // namespace

QString Backup::fileName() const
{
    return QFileInfo(path).fileName();
}

QString RecorderHistory::displayName() const
{
    if (!recorder.serial.isEmpty())
        return recorder.serial;
    if (!recorder.place.isEmpty())
        return QStringLiteral("port %1").arg(recorder.place);
    return QStringLiteral("unknown recorder");
}

bool RecorderHistory::matches(const QString& serial) const
{
    return !serial.isEmpty()
        && (serial == recorder.serial
            || QStringLiteral("serial:") + backup::serialInName(serial) == key);
}

const RecorderHistory* FolderHistory::find(const QString& serial) const
{
    for (const RecorderHistory& r : recorders)
        if (r.matches(serial))
            return &r;
    return nullptr;
}

FolderHistory readFolder(const QString& folder, const ReadOptions& options)
{
    FolderHistory result;
    result.folder = folder;
    const QDir dir(folder);
    if (!QFileInfo(folder).isDir()) {
        result.problem = QStringLiteral("%1 is no folder").arg(QDir::toNativeSeparators(folder));
        return result;
    }
    // FIFOs and devices named like archives are listed too, as unreadable.
    const QFileInfoList found = dir.entryInfoList(
        {QStringLiteral("*.mzt")}, QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    const QString indexPath = dir.filePath(QLatin1String(indexFileName));
    const QHash<QString, IndexEntry> oldIndex =
        options.useIndex ? readIndex(indexPath) : QHash<QString, IndexEntry>();
    QHash<QString, IndexEntry> newIndex;
    QMap<QString, RecorderHistory> byKey;

    for (const QFileInfo& info : found) {
        if (options.cancel && options.cancel->load()) {
            result.problem = QStringLiteral("cancelled");
            return result;
        }
        const QString path = info.absoluteFilePath();
        const std::optional<FileStamp> stamp = stampOf(path);
        std::optional<ArchiveSummary> summary;
        QString reason;
        const auto cached = oldIndex.constFind(info.fileName());
        if (stamp && cached != oldIndex.constEnd() && cached->stamp == *stamp) {
            summary = cached->summary;
            ++result.archivesFromIndex;
        } else {
            summary = summarizeArchive(path, &reason);
            ++result.archivesRead;
        }
        // A file that changed while it was read is taken next time.
        if (!summary || !stamp || stampOf(path) != stamp) {
            if (summary)
                reason = QStringLiteral("changed while it was read");
            if (reason.isEmpty())
                reason = QStringLiteral("cannot be looked at");
            qCDebug(lcHistory) << "unreadable:" << path << reason;
            result.unreadable.append({path, reason});
            continue;
        }
        newIndex.insert(info.fileName(), {*stamp, *summary});
        Backup b = backupFrom(path, *stamp, *summary);
        RecorderHistory& recorder = byKey[groupKey(b.recorder)];
        recorder.backups.append(std::move(b));
    }

    for (auto it = byKey.begin(); it != byKey.end(); ++it) {
        RecorderHistory& r = it.value();
        r.key = it.key();
        std::sort(r.backups.begin(), r.backups.end(), takenBefore);
        for (const Backup& b : std::as_const(r.backups)) {
            if (r.recorder.serial.isEmpty() || r.recorder.serial.size() < b.recorder.serial.size())
                r.recorder.serial = b.recorder.serial;
            if (r.recorder.place.isEmpty())
                r.recorder.place = b.recorder.place;
        }
        computeChanges(r.backups);
        result.recorders.append(std::move(r));
    }

    // Written only when it says something other than before, so reading an
    // unchanged folder writes nothing.
    const bool indexChanged = newIndex.size() != oldIndex.size() || result.archivesRead > 0
        || !QFileInfo::exists(indexPath);
    if (options.useIndex && indexChanged && (!newIndex.isEmpty() || QFileInfo::exists(indexPath))) {
        result.indexProblem = writeIndex(indexPath, newIndex);
        if (!result.indexProblem.isEmpty())
            qCDebug(lcHistory) << "index not written:" << result.indexProblem;
    }
    return result;
}

QList<FileChange> fileHistory(const RecorderHistory& recorder, qint32 id)
{
    QList<FileChange> changes;
    const auto record = [&](FileChange::Kind kind, const Backup& b, const SummarizedFile& f) {
        changes.append({kind, b.takenAt, b.path, f});
    };
    for (const Backup& b : recorder.backups) {
        const auto holds = [id](const SummarizedFile& f) { return f.id == id; };
        if (const auto it = std::find_if(b.added.cbegin(), b.added.cend(), holds);
            it != b.added.cend())
            record(FileChange::Added, b, *it);
        else if (const auto it = std::find_if(b.changed.cbegin(), b.changed.cend(), holds);
                 it != b.changed.cend())
            record(FileChange::Changed, b, *it);
        else if (const auto it = std::find_if(b.removed.cbegin(), b.removed.cend(), holds);
                 it != b.removed.cend())
            record(FileChange::Removed, b, *it);
    }
    return changes;
}

PrunePlan planPruning(const RecorderHistory& recorder, const PrunePolicy& policy)
{
    const QList<Backup>& backups = recorder.backups;
    const qsizetype count = backups.size();
    QMap<qsizetype, QString> keep; // index -> why
    if (count == 0)
        return {};
    keep.insert(count - 1, QStringLiteral("the newest"));
    for (qsizetype i = 0; i < count - 1; ++i)
        if (!backups[i].dated)
            keep.insert(i, QStringLiteral("not named as a backup"));
    for (qsizetype i = std::max<qsizetype>(0, count - policy.keepLast); i < count - 1; ++i)
        keep.insert(i, QStringLiteral("one of the last %1").arg(policy.keepLast));
    if (policy.firstOfMonth) {
        QSet<int> months;
        for (qsizetype i = 0; i < count; ++i) {
            const QDate day = backups[i].takenAt.date();
            if (!months.contains(day.year() * 12 + day.month())) {
                months.insert(day.year() * 12 + day.month());
                keep.insert(i, keep.value(i, QStringLiteral("the first of its month")));
            }
        }
    }
    // Every version of every file keeps a holder: the oldest backup that has
    // it, where the policy kept none.
    QSet<QByteArray> covered;
    for (auto it = keep.cbegin(); it != keep.cend(); ++it)
        covered.unite(versionsOf(backups[it.key()]));
    for (qsizetype i = 0; i < count; ++i) {
        if (keep.contains(i))
            continue;
        const QSet<QByteArray> versions = versionsOf(backups[i]);
        if (versions.isEmpty() || covered.contains(versions))
            continue;
        QString only;
        for (const SummarizedFile& f : backups[i].files)
            if (!covered.contains(QByteArray::number(f.id) + ':' + f.digest)) {
                only = f.name;
                break;
            }
        keep.insert(i, QStringLiteral("the only one holding this version of %1").arg(only));
        covered.unite(versions);
    }

    PrunePlan plan;
    for (qsizetype i = 0; i < count; ++i) {
        if (keep.contains(i))
            plan.kept.append({backups[i].path, keep.value(i)});
        else
            plan.toRemove.append(backups[i]);
    }
    return plan;
}

PruneResult applyPruning(const PrunePlan& plan)
{
    PruneResult result;
    for (const Backup& b : plan.toRemove) {
        // What was read is what goes: a file replaced or rewritten since may
        // hold a version nothing else has.
        if (stampOf(b.path) != b.stamp) {
            result.notRemoved.append({b.path, QStringLiteral("changed since it was read")});
            continue;
        }
        QFile file(b.path);
        if (!file.remove()) {
            qCWarning(lcHistory) << "not removed:" << b.path << file.errorString();
            result.notRemoved.append({b.path, file.errorString()});
            continue;
        }
        qCInfo(lcHistory) << "pruned backup" << b.path;
        result.removed.append(b.path);
    }
    return result;
}

} // namespace history
