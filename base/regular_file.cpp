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

// The length of the valid UTF-8 sequence at bytes[at], or 0: overlong
// forms, encoded surrogates and values above U+10FFFF are not valid.
int validSequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return uchar(bytes[i]); };
    const uchar lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    uint value = 0;
    uint minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

constexpr char16_t EscapedByteBase = 0xDC00;

} // namespace

QString mzt::pathFromNative(const QByteArray& native)
{
    QString path;
    path.reserve(native.size());
    qsizetype at = 0;
    while (at < native.size()) {
        const int length = validSequenceLength(native, at);
        if (length == 0) {
            path.append(QChar(char16_t(EscapedByteBase + uchar(native[at]))));
            ++at;
        } else {
            path.append(QString::fromUtf8(native.constData() + at, length));
            at += length;
        }
    }
    return path;
}

QByteArray mzt::nativePath(const QString& path)
{
    QByteArray native;
    native.reserve(path.size());
    qsizetype start = 0; // of the run of ordinary text not yet converted
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path[i].unicode();
        const bool escapedByte = unit >= EscapedByteBase + 0x80 && unit <= EscapedByteBase + 0xFF
            && (i == 0 || !path[i - 1].isHighSurrogate());
        if (!escapedByte)
            continue;
        native += QStringView(path).mid(start, i - start).toUtf8();
        native += char(unit - EscapedByteBase);
        start = i + 1;
    }
    native += QStringView(path).mid(start).toUtf8();
    return native;
}

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
    const QByteArray native = nativePath(path);
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
