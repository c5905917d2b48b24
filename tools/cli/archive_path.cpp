#include "archive_path.h"

#include "mztarchive.h"
#include "regular_file.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

const QLatin1String Suffix(".mzt");

bool hasSuffix(const QString& path)
{
    return path.endsWith(Suffix, Qt::CaseInsensitive);
}

// The checks below look at the file system through the path's bytes, so a
// name that is not UTF-8 is the file it names.
bool statPath(const QString& path, struct stat* st)
{
    return ::stat(mzt::nativePath(path).constData(), st) == 0;
}

bool exists(const QString& path)
{
    struct stat st { };
    return statPath(path, &st);
}

bool isFolder(const QString& path)
{
    struct stat st { };
    return statPath(path, &st) && S_ISDIR(st.st_mode);
}

// The folder the path names its file in, as given ("." for a bare name).
QString folderOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// The archive is saved as a new file next to the old one and renamed over
// it, so the folder must take new files. Making one is the only answer that
// holds for root, ACLs and read-only mounts alike.
bool folderTakesFiles(const QString& folder)
{
    const QByteArray base = mzt::nativePath(folder) + "/.mzt500-probe-";
    for (int attempt = 0; attempt < 10; ++attempt) {
        const QByteArray probe =
            base + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.constData());
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

} // namespace

std::optional<ArchivePath> archiveToWrite(const QString& typed, QString* reason)
{
    ArchivePath result {typed, false};
    if (!exists(typed) && !hasSuffix(typed) && !typed.endsWith(QLatin1Char('/'))) {
        result.path += Suffix;
        result.suffixAdded = true;
    }
    if (isFolder(result.path)) {
        *reason = QStringLiteral("%1 is a folder, not an archive.").arg(typed);
        return std::nullopt;
    }
    const QString folder = folderOf(result.path);
    if (!isFolder(folder)) {
        *reason = QStringLiteral("The folder %1 does not exist.").arg(folder);
        return std::nullopt;
    }
    if (!folderTakesFiles(folder)) {
        *reason = QStringLiteral("The folder %1 is not writable.").arg(folder);
        return std::nullopt;
    }
    // Refused before the recorder is read rather than after.
    if (MZTArchive::isWriteProtected(result.path)) {
        *reason = QStringLiteral("%1 is write-protected.").arg(result.path);
        return std::nullopt;
    }
    return result;
}

std::optional<ArchivePath> archiveToRead(const QString& typed, QString* reason)
{
    ArchivePath result {typed, false};
    if (!exists(typed) && !hasSuffix(typed) && exists(typed + Suffix)) {
        result.path += Suffix;
        result.suffixAdded = true;
    }
    if (isFolder(result.path)) {
        *reason = QStringLiteral("%1 is a folder, not an archive.").arg(typed);
        return std::nullopt;
    }
    if (!exists(result.path)) {
        *reason = QStringLiteral("%1: no such file.").arg(typed);
        return std::nullopt;
    }
    return result;
}

} // namespace cli
