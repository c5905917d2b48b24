#include "regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO or pipe");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("of an unknown kind");
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString mzt::notRegularFileReason(unsigned mode)
{
    return QStringLiteral("not a regular file (it is %1)").arg(kindOf(mode_t(mode)));
}

bool mzt::openRegularFile(QFile& file, const QString& path, QString* reason)
{
    file.close();
    if (path.startsWith(QLatin1Char(':'))) {
        file.setFileName(path);
        if (file.open(QIODevice::ReadOnly))
            return true;
        *reason = file.errorString();
        return false;
    }
    const QByteArray native = QFile::encodeName(path);
    // Looked at before opening, so that opening a device has no effect on it.
    struct stat before { };
    if (::stat(native.constData(), &before) != 0) {
        *reason = systemError(errno);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        *reason = mzt::notRegularFileReason(before.st_mode);
        return false;
    }
    // Non-blocking, in case the name was swapped for a FIFO since.
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *reason = systemError(errno);
        return false;
    }
    struct stat opened { };
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        *reason = S_ISREG(opened.st_mode) || opened.st_mode == 0
            ? systemError(errno)
            : mzt::notRegularFileReason(opened.st_mode);
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *reason = file.errorString();
        ::close(fd);
        return false;
    }
    return true;
}
