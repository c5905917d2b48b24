#include "archive_path.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace cli {
namespace {

const QLatin1String Suffix(".mzt");

bool hasSuffix(const QString& path)
{
    return path.endsWith(Suffix, Qt::CaseInsensitive);
}

QString folderText(const QString& folder)
{
    return QDir::toNativeSeparators(folder.isEmpty() ? QStringLiteral(".") : folder);
}

} // namespace

std::optional<ArchivePath> archiveToWrite(const QString& typed, QString* reason)
{
    ArchivePath result {typed, false};
    if (!QFileInfo::exists(typed) && !hasSuffix(typed) && !typed.endsWith(QLatin1Char('/'))) {
        result.path += Suffix;
        result.suffixAdded = true;
    }
    const QFileInfo file(result.path);
    if (file.isDir()) {
        *reason = QStringLiteral("%1 is a folder, not an archive.").arg(typed);
        return std::nullopt;
    }
    const QString folder = file.absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isDir()) {
        *reason = QStringLiteral("The folder %1 does not exist.").arg(folderText(folder));
        return std::nullopt;
    }
    // The archive is saved as a new file next to the old one and renamed
    // over it, so the folder must take new files. Making one is the only
    // answer that holds for root, ACLs and read-only mounts alike.
    QTemporaryFile probe(folder + QStringLiteral("/.mzt500-XXXXXX"));
    if (!probe.open()) {
        *reason = QStringLiteral("The folder %1 is not writable.").arg(folderText(folder));
        return std::nullopt;
    }
    return result;
}

std::optional<ArchivePath> archiveToRead(const QString& typed, QString* reason)
{
    ArchivePath result {typed, false};
    if (!QFileInfo::exists(typed) && !hasSuffix(typed) && QFileInfo::exists(typed + Suffix)) {
        result.path += Suffix;
        result.suffixAdded = true;
    }
    const QFileInfo file(result.path);
    if (file.isDir()) {
        *reason = QStringLiteral("%1 is a folder, not an archive.").arg(typed);
        return std::nullopt;
    }
    if (!file.exists()) {
        *reason = QStringLiteral("%1: no such file.").arg(typed);
        return std::nullopt;
    }
    return result;
}

} // namespace cli
