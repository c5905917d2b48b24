// What the window knows about the recorder against the archive: the last
// content listing, and what verifications proved byte for byte. A proof
// holds only while neither copy has changed since: the recorder's record
// for the file, the archive's copy and the recorder itself must be those
// the verification saw, and the window drops it for files it writes or
// deletes on the recorder. The list alone never makes a file "identical":
// a sequence recorded again at the same length keeps its record.
#pragma once

#include "comparison.h"
#include "comparisoncolumn.h"
#include "contentrecord.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

struct RowMark {
    comparison::RowState state = comparison::RowState::Unknown;
    QDateTime verifiedAt; // the byte-wise states only
};

class ComparisonTracker {
public:
    // The recorder's files as its last listing gave them; serial tells one
    // recorder from another.
    void setRecorderList(const QList<ContentRecord>& records, const QString& serial);
    // No recorder is listed: nothing on the archive side is compared.
    void forgetRecorder();
    bool recorderListed() const { return m_listed; }
    const QList<ContentRecord>& recorderList() const { return m_records; }
    QString recorderSerial() const { return m_serial; }

    // A verification ended (whole or not): the files it compared prove
    // their state from now on, for the archive copies it compared with.
    void takeVerification(const core::Comparison& verification,
                          const QList<core::ArchivedFile>& comparedWith);
    // The recorder's copies of these files were written or deleted.
    void forgetVerified(const QList<int>& ids);

    // Per file id, each side's state against the archive's files now.
    struct Marks {
        QHash<int, RowMark> recorder;
        QHash<int, RowMark> archive;
    };
    Marks marks(const QList<core::ArchivedFile>& archive) const;

private:
    struct Verified {
        core::FileState state = core::FileState::Identical;
        QDateTime at;
        QString serial;
        std::optional<ContentRecord> listed; // the recorder's record then
        std::optional<core::ArchivedFile> archived;
    };
    bool stillHolds(const Verified& proof, const ContentRecord& listed,
                    const core::ArchivedFile& archived) const;

    QList<ContentRecord> m_records;
    QString m_serial;
    bool m_listed = false;
    QHash<int, Verified> m_verified;
};
