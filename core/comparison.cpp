#include "comparison.h"

#include "contenttext.h"
#include "kvpfileops.h"
#include "kvpmaster.h"
#include "mztarchive.h"
#include "operationslog.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace core {
namespace {

quint32 wordAt(const QByteArray& content, int offset)
{
    return qFromLittleEndian<quint32>(content.constData() + offset);
}

// The name both sides would show: the recorder's for the file's number, the
// archive's own name for an id no recorder file has.
QString nameFor(int id, const ArchivedFile* archived)
{
    if (id == mzt500::SettingsId)
        return QStringLiteral("SETTINGS");
    if (id >= mzt500::FirstSequenceId && id <= mzt500::LastSequenceId)
        return mzt::sequenceNameText(id);
    if (archived && !archived->file.name.isEmpty())
        return archived->file.name;
    return QString::number(id);
}

// A recorder file as a download followed by a save would put it into the
// archive: under the number it was read from, with its own type and
// duration.
ArchivedFile asArchived(const FileRef& file, const QByteArray& data)
{
    ArchivedFile f;
    f.file = file;
    f.content = data;
    if (data.size() >= ContentRecord::Size) {
        f.type = qint32(wordAt(data, 4));
        f.duration = wordAt(data, 12);
    }
    return f;
}

void putRecord(const ContentRecord& record, unsigned char* out)
{
    qToLittleEndian<quint32>(record.id, out);
    qToLittleEndian<quint32>(record.type, out + 4);
    qToLittleEndian<quint32>(record.memSize, out + 8);
    qToLittleEndian<quint32>(record.duration, out + 12);
}

// The offset of the first byte in which the two files, as the archive
// writes them, differ; -1 when they are the same. The rewritten header is
// compared apart from the rest, so that no file is copied to compare it.
qint64 firstDifference(const ArchivedFile& a, const ArchivedFile& b)
{
    unsigned char headerA[ContentRecord::Size];
    unsigned char headerB[ContentRecord::Size];
    putRecord(a.writtenRecord(), headerA);
    putRecord(b.writtenRecord(), headerB);
    for (int i = 0; i < ContentRecord::Size; ++i) {
        if (headerA[i] != headerB[i])
            return i;
    }
    const qsizetype restA = std::max<qsizetype>(a.content.size() - ContentRecord::Size, 0);
    const qsizetype restB = std::max<qsizetype>(b.content.size() - ContentRecord::Size, 0);
    const qsizetype common = std::min(restA, restB);
    const char* bytesA = a.content.constData() + ContentRecord::Size;
    const char* bytesB = b.content.constData() + ContentRecord::Size;
    if (common > 0 && std::memcmp(bytesA, bytesB, size_t(common)) != 0)
        return ContentRecord::Size
            + (std::mismatch(bytesA, bytesA + common, bytesB).first - bytesA);
    return restA == restB ? -1 : ContentRecord::Size + common;
}

FileComparison compareBytes(const FileRef& file, const ArchivedFile& first,
                            const ArchivedFile& second)
{
    FileComparison c;
    c.file = file;
    c.first = first.writtenRecord();
    c.second = second.writtenRecord();
    c.firstDifference = firstDifference(first, second);
    c.state = c.firstDifference < 0 ? FileState::Identical : FileState::Differs;
    return c;
}

FileComparison oneSided(const FileRef& file, FileState state, std::optional<ContentRecord> record)
{
    FileComparison c;
    c.file = file;
    c.state = state;
    (state == FileState::OnlyInFirst ? c.first : c.second) = record;
    return c;
}

std::map<int, const ArchivedFile*> byId(const QList<ArchivedFile>& files)
{
    std::map<int, const ArchivedFile*> map;
    for (const ArchivedFile& f : files)
        map[f.file.id] = &f;
    return map;
}

const ArchivedFile* lookUp(const std::map<int, const ArchivedFile*>& map, int id)
{
    const auto it = map.find(id);
    return it == map.end() ? nullptr : it->second;
}

Comparison finished(Comparison comparison)
{
    std::stable_sort(
        comparison.files.begin(), comparison.files.end(),
        [](const FileComparison& a, const FileComparison& b) { return a.file.id < b.file.id; });
    comparison.finishedAt = QDateTime::currentDateTimeUtc();
    return comparison;
}

} // namespace

ContentRecord ArchivedFile::writtenRecord() const
{
    ContentRecord r;
    r.id = quint32(file.id);
    r.type = quint32(type);
    r.memSize = MZTArchive::storedMemSize(std::max<qsizetype>(content.size(), ContentRecord::Size));
    r.duration = duration;
    return r;
}

quint32 ArchivedFile::heldMemSize() const
{
    return content.size() >= ContentRecord::Size ? wordAt(content, 8) : 0;
}

QList<ArchivedFile> archivedFiles(const MZTArchive& archive)
{
    std::map<int, ArchivedFile> files;
    for (const ArchiveEntry* entry : archive.entries()) {
        if (!entry)
            continue;
        ArchivedFile f;
        f.file = {entry->id(), entry->name()};
        f.type = entry->type();
        f.duration = entry->duration();
        f.content = entry->content();
        files[entry->id()] = f; // a later entry with the id takes its place
    }
    QList<ArchivedFile> list;
    for (auto& [id, f] : files)
        list.append(f);
    return list;
}

const FileComparison* Comparison::find(int id) const
{
    for (const FileComparison& f : files) {
        if (f.file.id == id)
            return &f;
    }
    return nullptr;
}

int Comparison::count(FileState state) const
{
    return int(std::count_if(files.begin(), files.end(),
                             [state](const FileComparison& f) { return f.state == state; }));
}

int Comparison::mismatches() const
{
    return int(std::count_if(files.begin(), files.end(),
                             [](const FileComparison& f) { return !f.matches(); }));
}

Comparison compareWithContentList(const QList<ContentRecord>& recorderList,
                                  const QList<ArchivedFile>& archive)
{
    Comparison comparison;
    comparison.result = Result::success();
    std::map<int, ContentRecord> recorder;
    for (const ContentRecord& r : recorderList)
        recorder[int(r.id)] = r;
    const auto archived = byId(archive);
    for (const auto& [id, record] : recorder) {
        const ArchivedFile* copy = lookUp(archived, id);
        const FileRef file {id, nameFor(id, copy)};
        if (!copy) {
            comparison.files.append(oneSided(file, FileState::OnlyInFirst, record));
            continue;
        }
        FileComparison c;
        c.file = file;
        c.first = record;
        c.second = copy->writtenRecord();
        const bool sameSize =
            record.memSize == copy->heldMemSize() || record.memSize == c.second->memSize;
        c.state = record.type == c.second->type && record.duration == c.second->duration && sameSize
            ? FileState::SameRecord
            : FileState::RecordDiffers;
        comparison.files.append(c);
    }
    for (const ArchivedFile& copy : archive) {
        if (!recorder.count(copy.file.id))
            comparison.files.append(oneSided({copy.file.id, nameFor(copy.file.id, &copy)},
                                             FileState::OnlyInSecond, copy.writtenRecord()));
    }
    return finished(comparison);
}

Comparison compareArchives(const QList<ArchivedFile>& first, const QList<ArchivedFile>& second)
{
    Comparison comparison;
    comparison.byBytes = true;
    comparison.result = Result::success();
    const auto inFirst = byId(first);
    const auto inSecond = byId(second);
    for (const ArchivedFile& a : first) {
        const ArchivedFile* b = lookUp(inSecond, a.file.id);
        const FileRef file {a.file.id, nameFor(a.file.id, &a)};
        comparison.files.append(b ? compareBytes(file, a, *b)
                                  : oneSided(file, FileState::OnlyInFirst, a.writtenRecord()));
    }
    for (const ArchivedFile& b : second) {
        if (!lookUp(inFirst, b.file.id))
            comparison.files.append(oneSided({b.file.id, nameFor(b.file.id, &b)},
                                             FileState::OnlyInSecond, b.writtenRecord()));
    }
    return finished(comparison);
}

Comparison verifyWithRecorder(KVPMaster* master, const VerifyRequest& request,
                              const ProgressSink& progress, const CancelToken* cancel)
{
    Comparison comparison;
    comparison.byBytes = true;
    comparison.result = Result::success();
    if (!master) {
        comparison.result =
            Result::failure(ResultCode::Failed, QStringLiteral("There is no recorder."));
        return finished(comparison);
    }
    const auto archived = byId(request.archive);
    std::map<int, ContentRecord> listed;
    if (request.recorderList) {
        for (const ContentRecord& r : *request.recorderList)
            listed[int(r.id)] = r;
    }
    std::set<int> ids(request.ids.begin(), request.ids.end());
    if (ids.empty()) {
        for (const auto& [id, copy] : archived)
            ids.insert(id);
        for (const auto& [id, record] : listed)
            ids.insert(id);
    }

    // What the list settles needs no read.
    QList<FileRef> toRead;
    for (const int id : ids) {
        const ArchivedFile* copy = lookUp(archived, id);
        const FileRef file {id, nameFor(id, copy)};
        if (request.recorderList) {
            const auto record = listed.find(id);
            const bool onRecorder = record != listed.end();
            if (onRecorder && !copy)
                comparison.files.append(oneSided(file, FileState::OnlyInFirst, record->second));
            else if (!onRecorder && copy)
                comparison.files.append(
                    oneSided(file, FileState::OnlyInSecond, copy->writtenRecord()));
            if (!onRecorder || !copy)
                continue;
        }
        toRead.append(file);
    }

    // One download of all the files; a file that cannot be read ends it, so
    // it goes on after that file with the rest. The progress counts the
    // files of the whole verification.
    int readBefore = 0;
    const ProgressSink wholeProgress = [&](const Progress& p) {
        if (!progress)
            return;
        Progress whole = p;
        whole.fileIndex += readBefore;
        whole.fileCount = int(toRead.size());
        progress(whole);
    };
    const auto onFile = [&](const DownloadedFile& got) {
        const ArchivedFile* copy = lookUp(archived, got.file.id);
        if (got.missing) {
            if (copy)
                comparison.files.append(
                    oneSided(got.file, FileState::OnlyInSecond, copy->writtenRecord()));
            return;
        }
        const ArchivedFile onRecorder = asArchived(got.file, got.data);
        if (copy)
            comparison.files.append(compareBytes(got.file, onRecorder, *copy));
        else
            comparison.files.append(
                oneSided(got.file, FileState::OnlyInFirst, onRecorder.writtenRecord()));
    };
    while (readBefore < toRead.size()) {
        const QList<FileRef> rest = toRead.mid(readBefore);
        int handled = 0;
        const Result read = downloadFiles(
            master, rest,
            [&](const DownloadedFile& got) {
                ++handled;
                onFile(got);
            },
            progress ? wholeProgress : ProgressSink(), cancel);
        if (read.ok())
            break;
        // A read that failed because the caller stopped it is a cancel.
        if (read.code == ResultCode::Cancelled || cancelled(cancel) || master->isAbortRequested()) {
            comparison.result =
                Result::failure(ResultCode::Cancelled, QStringLiteral("Cancelled."), read.file);
            break;
        }
        const kvp::FailureCause cause =
            read.code == ResultCode::ReadFailed ? read.cause : kvp::FailureCause::Refused;
        FileComparison unreadable;
        unreadable.file = read.file;
        unreadable.state = FileState::Unreadable;
        unreadable.reason = read.reason;
        if (const auto record = listed.find(read.file.id); record != listed.end())
            unreadable.first = record->second;
        if (const ArchivedFile* copy = lookUp(archived, read.file.id))
            unreadable.second = copy->writtenRecord();
        comparison.files.append(unreadable);
        qCDebug(lcOperations).noquote().nospace()
            << "Verifying: " << read.file.name << " unreadable: " << kvp::describeCause(cause);
        // A recorder that refuses one file or sends it damaged still serves
        // the others; one that stopped answering would cost every further
        // file its full time-outs.
        if (cause != kvp::FailureCause::Refused) {
            comparison.result =
                Result::failure(ResultCode::ReadFailed,
                                QStringLiteral("The recorder stopped answering while %1 was read.")
                                    .arg(read.file.name),
                                read.file);
            break;
        }
        readBefore += handled + 1;
    }
    return finished(comparison);
}

} // namespace core
