// The in-memory archive: an ordered list of copies of recorder files, the
// path of the .mzt file they belong to and whether they changed since the
// file was last written or read.
#pragma once

#include "recorder_vocabulary.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QtGlobal>

class QIODevice;

// The recorder an archive's files were backed up from: its serial number, or
// where it was connected when it has none. Both empty when unknown.
struct RecorderIdentity {
    QString serial;
    QString place;

    bool isEmpty() const { return serial.isEmpty() && place.isEmpty(); }
    bool operator==(const RecorderIdentity&) const = default;
};

// One recorder file as the recorder delivered it. id, type and duration repeat
// words 0, 1 and 3 of the file's 16-byte record header; they may be changed on
// their own (renumbering) and are what a save writes back into that header.
class ArchiveEntry {
public:
    QString name() const { return m_name; }
    void setName(const QString& name) { m_name = name; }
    qint32 id() const { return m_id; }
    void setId(qint32 id) { m_id = id; }
    qint32 type() const { return m_type; }
    void setType(qint32 type) { m_type = type; }
    quint32 duration() const { return m_duration; }
    void setDuration(quint32 duration) { m_duration = duration; }
    const QByteArray& content() const { return m_content; }
    // The content as it goes back to a recorder: the record header's id, type
    // and duration words rewritten from the fields (a renumbered entry must
    // not arrive under its old number), everything else as held. Content
    // shorter than a record header is completed to a header-only file.
    QByteArray refreshedContent() const;

    void appendContent(const void* bytes, qsizetype count);
    // Room for content of this length, so that appending it piece by piece
    // takes no more memory than the content itself.
    void reserveContent(qsizetype length) { m_content.reserve(length); }
    // Empties the content and the name and zeroes id, type and duration.
    void clear();

    // Empty unless the entry is a sequence.
    QString durationText() const;
    // The memory size recorded in the content's header (word 2), not the
    // content length: until the next save it is the recorder's own figure.
    QString memSizeText() const;

private:
    QString m_name;
    qint32 m_id = 0;
    qint32 m_type = 0;
    quint32 m_duration = 0;
    QByteArray m_content;
};

class MZTArchive : public QObject {
    Q_OBJECT

public:
    explicit MZTArchive(const QString& fileName = QString(), QObject* parent = nullptr);
    ~MZTArchive() override;

    bool isModified() const { return m_modified; }
    void setModified(bool modified) { m_modified = modified; }
    QString fileName() const { return m_fileName; }
    void setFileName(const QString& fileName) { m_fileName = fileName; }

    // Kept in the gzip header's comment, which tar readers skip: a tar entry
    // of its own would be taken for a recorder file by any reader of the
    // format. load() sets it from the file (empty when the file has none).
    RecorderIdentity recorder() const { return m_recorder; }
    void setRecorder(const RecorderIdentity& recorder) { m_recorder = recorder; }

    // Direct access: callers iterate the list and edit entries in place.
    QList<ArchiveEntry*>& entries() { return m_entries; }
    const QList<ArchiveEntry*>& entries() const { return m_entries; }

    // Appends and takes ownership; a null entry is ignored.
    void addEntry(ArchiveEntry* entry);
    // Removes and deletes every entry with this id.
    void removeEntries(qint32 id);

    // Writes the whole archive to fileName(). The file on disk is replaced
    // only once the new one is written, flushed to the disk and read back
    // intact, so a failed save (a full disk included) leaves it byte for byte
    // as it was; the modified flag is cleared only on success.
    bool save();
    // Appends the entries of the file fileName() to the list. All or
    // nothing: on failure the list and the modified flag stay as they were.
    bool load();
    // load() from an already opened device, for archives held in memory.
    bool loadFrom(QIODevice* device);

    // Why the last save() or load() failed, in words; empty after success.
    QString errorString() const { return m_error; }
    // What kind of failure that was, for callers that answer them
    // differently. WriteProtected: the file exists without write permission
    // (whoever runs the program, root included) and was left alone.
    enum class Failure { None, WriteProtected, Other };
    Failure failure() const { return m_failure; }
    // An existing regular file (or the one a link names) that save() would
    // refuse to replace.
    static bool isWriteProtected(const QString& fileName);

    // Largest entry a load accepts; a file announcing more is refused before
    // anything is allocated for it.
    static constexpr qint64 maxEntrySize = mzt500::MaxStoredFileSize;
    // Bounds on a whole archive, so that a small file that decompresses to
    // gigabytes cannot exhaust memory. A recorder holds 65 files; the bounds
    // leave room for the files of many recorders in one archive and for four
    // entries of the largest size. A save refuses to write beyond them too,
    // since the file could not be opened again.
    static constexpr int maxEntries = 1000;
    static constexpr qint64 maxTotalContent = 256LL * 1024 * 1024;

    // Faults the following saves meet as a failing disk would, for tests of
    // what a failed save leaves behind. Offsets count bytes of the new file.
    struct SaveFaults {
        qint64 spaceLeft = -1; // a write past this many bytes fails: the disk is full
        qint64 loseFrom = -1;  // bytes from here on are reported written but never arrive
        qint64 damageAt = -1;  // the byte at this offset arrives changed
        bool failSync = false; // flushing to the disk fails
        bool failClose = false;
        bool failReplace = false; // the new file cannot take the old one's place
    };
    static void setSaveFaults(const SaveFaults& faults);

    // The memory size a save writes into an entry's header for content of
    // this length: 16 bytes of overhead per full KiB, rounded up to whole KiB.
    static quint32 storedMemSize(qint64 contentLength);

private:
    bool fail(const QString& reason);

    bool m_modified = false;
    QList<ArchiveEntry*> m_entries;
    QString m_fileName;
    RecorderIdentity m_recorder;
    QString m_error;
    Failure m_failure = Failure::None;
};
