#include "comparisontracker.h"

namespace {

using comparison::RowState;
using core::FileState;

const ContentRecord* recordOf(const QList<ContentRecord>& records, int id)
{
    for (const ContentRecord& r : records)
        if (int(r.id) == id)
            return &r;
    return nullptr;
}

const core::ArchivedFile* archivedOf(const QList<core::ArchivedFile>& files, int id)
{
    for (const core::ArchivedFile& f : files)
        if (f.file.id == id)
            return &f;
    return nullptr;
}

bool sameRecord(const ContentRecord& a, const ContentRecord& b)
{
    return a.id == b.id && a.type == b.type && a.memSize == b.memSize && a.duration == b.duration;
}

} // namespace

void ComparisonTracker::setRecorderList(const QList<ContentRecord>& records, const QString& serial)
{
    m_records = records;
    m_serial = serial;
    m_listed = true;
}

void ComparisonTracker::forgetRecorder()
{
    m_records.clear();
    m_listed = false;
}

void ComparisonTracker::takeVerification(const core::Comparison& verification,
                                         const QList<core::ArchivedFile>& comparedWith)
{
    for (const core::FileComparison& f : verification.files) {
        const int id = f.file.id;
        // One side only says no more than the list does.
        if (f.state == FileState::OnlyInFirst || f.state == FileState::OnlyInSecond) {
            m_verified.remove(id);
            continue;
        }
        Verified proof;
        proof.state = f.state;
        proof.at = verification.finishedAt;
        proof.serial = m_serial;
        if (const ContentRecord* listed = recordOf(m_records, id))
            proof.listed = *listed;
        if (const core::ArchivedFile* archived = archivedOf(comparedWith, id))
            proof.archived = *archived;
        m_verified.insert(id, proof);
    }
}

void ComparisonTracker::forgetVerified(const QList<int>& ids)
{
    for (int id : ids)
        m_verified.remove(id);
}

bool ComparisonTracker::stillHolds(const Verified& proof, const ContentRecord& listed,
                                   const core::ArchivedFile& archived) const
{
    if (proof.serial != m_serial || !proof.listed || !proof.archived)
        return false;
    if (!sameRecord(*proof.listed, listed))
        return false;
    const core::ArchivedFile& then = *proof.archived;
    return then.type == archived.type && then.duration == archived.duration
        && then.content == archived.content;
}

ComparisonTracker::Marks ComparisonTracker::marks(const QList<core::ArchivedFile>& archive) const
{
    Marks marks;
    if (!m_listed)
        return marks;
    const core::Comparison listed = core::compareWithContentList(m_records, archive);
    for (const core::FileComparison& f : listed.files) {
        const int id = f.file.id;
        switch (f.state) {
        case FileState::OnlyInFirst:
            marks.recorder.insert(id, {RowState::Missing, {}});
            continue;
        case FileState::OnlyInSecond:
            marks.archive.insert(id, {RowState::Missing, {}});
            continue;
        default:
            break;
        }
        RowMark mark {f.state == FileState::SameRecord ? RowState::Listed : RowState::Differs, {}};
        const auto proof = m_verified.constFind(id);
        const ContentRecord* record = recordOf(m_records, id);
        const core::ArchivedFile* archived = archivedOf(archive, id);
        if (proof != m_verified.constEnd() && record && archived
            && stillHolds(*proof, *record, *archived)) {
            switch (proof->state) {
            case FileState::Identical:
                mark = {RowState::Identical, proof->at};
                break;
            case FileState::Differs:
                mark = {RowState::DiffersByte, proof->at};
                break;
            case FileState::Unreadable:
                // A differing record says more than a failed read.
                if (mark.state == RowState::Listed)
                    mark = {RowState::Unreadable, proof->at};
                break;
            default:
                break;
            }
        }
        marks.recorder.insert(id, mark);
        marks.archive.insert(id, mark);
    }
    return marks;
}
