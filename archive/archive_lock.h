// One saver per archive at a time. A backup loads the archive, reads the
// recorder for minutes and saves; a second program doing the same meanwhile
// would save over the first one's entries. The lock is a file beside the
// archive ("<archive>.mzt500-lock") locked with flock(2): the archive itself
// cannot carry it, since every save replaces it by a new file, and a missing
// archive has nothing to lock. The kernel drops the lock when its holder
// dies, so a killed program never blocks the next one; the holder removes
// the file when it releases the lock.
#pragma once

#include <QByteArray>
#include <QString>

namespace mzt {

class ArchiveLock {
public:
    ArchiveLock() = default;
    ~ArchiveLock() { release(); }
    ArchiveLock(const ArchiveLock&) = delete;
    ArchiveLock& operator=(const ArchiveLock&) = delete;

    enum class Outcome { Taken, Held, Failed };
    // Takes the lock for the archive at archivePath without waiting. Held:
    // another process has it, *holder is its pid (0 when unknown). Failed:
    // the lock file cannot be made, *reason says why.
    Outcome tryLock(const QString& archivePath, qint64* holder, QString* reason);
    void release();

    bool isHeld() const { return m_fd >= 0; }

private:
    QByteArray m_path;
    int m_fd = -1;
};

} // namespace mzt
