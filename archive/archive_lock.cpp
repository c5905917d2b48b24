#include "archive_lock.h"

#include "regular_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mzt {
namespace {

constexpr char kLockSuffix[] = ".mzt500-lock";

// The archive a link names is the one saved, so its lock is beside that one.
QByteArray lockPathFor(const QString& archivePath)
{
    QByteArray target = nativePath(archivePath);
    struct stat st { };
    if (::lstat(target.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(target.constData(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    return target + kLockSuffix;
}

qint64 pidIn(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? std::strtoll(text, nullptr, 10) : 0;
}

} // namespace

ArchiveLock::Outcome ArchiveLock::tryLock(const QString& archivePath, qint64* holder,
                                          QString* reason)
{
    release();
    *holder = 0;
    const QByteArray path = lockPathFor(archivePath);
    // A holder removes the file as it releases the lock; whoever locked the
    // removed file meanwhile holds nothing and tries again on the new one.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            *reason = QStringLiteral("cannot make the lock file %1: %2")
                          .arg(pathFromNative(path), QString::fromLocal8Bit(std::strerror(errno)));
            return Outcome::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EWOULDBLOCK)
                *holder = pidIn(fd);
            ::close(fd);
            if (error == EWOULDBLOCK)
                return Outcome::Held;
            *reason = QStringLiteral("cannot lock %1: %2")
                          .arg(pathFromNative(path), QString::fromLocal8Bit(std::strerror(error)));
            return Outcome::Failed;
        }
        struct stat locked { };
        struct stat named { };
        if (::fstat(fd, &locked) != 0 || ::stat(path.constData(), &named) != 0
            || locked.st_ino != named.st_ino || locked.st_dev != named.st_dev) {
            ::close(fd);
            continue;
        }
        const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
        // Only a note for the message of whoever finds the lock taken; a
        // read-only lock file goes without it.
        [[maybe_unused]] const bool noted = ::ftruncate(fd, 0) == 0
            && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
        m_fd = fd;
        m_path = path;
        return Outcome::Taken;
    }
    *reason = QStringLiteral("cannot lock %1: it keeps changing").arg(pathFromNative(path));
    return Outcome::Failed;
}

void ArchiveLock::release()
{
    if (m_fd < 0)
        return;
    ::unlink(m_path.constData());
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

} // namespace mzt
