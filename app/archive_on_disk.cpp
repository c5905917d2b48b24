#include "archive_on_disk.h"

#include "mztarchive.h"
#include "regular_file.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <sys/stat.h>

namespace archivefile {

Stamp Stamp::of(const QString& path, bool withDigest)
{
    Stamp stamp;
    struct stat info { };
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.regular = S_ISREG(info.st_mode);
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (!withDigest || !stamp.regular)
        return stamp;
    QFile file;
    QString reason;
    if (!mzt::openRegularFile(file, path, &reason))
        return stamp;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (hash.addData(&file))
        stamp.digest = hash.result();
    return stamp;
}

bool Stamp::sameIdentity(const Stamp& other) const
{
    return exists == other.exists && regular == other.regular && device == other.device
        && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs;
}

bool unchangedSince(const Stamp& stamp, const QString& path, Stamp* now)
{
    const Stamp quick = Stamp::of(path, false);
    if (quick.sameIdentity(stamp)) {
        if (now)
            *now = stamp;
        return true;
    }
    if (!quick.exists || !stamp.exists) {
        if (now)
            *now = quick;
        return quick.exists == stamp.exists;
    }
    Stamp full = Stamp::of(path, true);
    if (!full.digest.isEmpty() && full.digest == stamp.digest) {
        full.entries = stamp.entries;
        if (now)
            *now = full;
        return true;
    }
    MZTArchive onDisk(path, nullptr);
    if (full.regular && onDisk.load())
        full.entries = entriesDigest(onDisk);
    if (now)
        *now = full;
    return !full.entries.isEmpty() && full.entries == stamp.entries;
}

QByteArray entriesDigest(const MZTArchive& archive)
{
    // The record header's memory size (bytes 8 to 11) is the one word a
    // save rewrites that the entry does not carry as a field.
    constexpr qsizetype memSizeAt = 8;
    constexpr qsizetype memSizeEnd = 12;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const ArchiveEntry* entry : archive.entries()) {
        const QByteArray content = entry->refreshedContent();
        const QByteArray fields = QByteArray::number(entry->id()) + ' '
            + QByteArray::number(entry->type()) + ' ' + QByteArray::number(entry->duration()) + ' '
            + QByteArray::number(content.size()) + ' ' + entry->name().toUtf8() + '\0';
        hash.addData(fields);
        hash.addData(QByteArrayView(content).first(std::min(content.size(), memSizeAt)));
        if (content.size() > memSizeEnd)
            hash.addData(QByteArrayView(content).sliced(memSizeEnd));
    }
    return hash.result();
}

QStringList entriesOnlyOnDisk(const MZTArchive& mine, const QString& path, QString* unreadable)
{
    MZTArchive onDisk(path, nullptr);
    if (!onDisk.load()) {
        if (unreadable)
            *unreadable = onDisk.errorString();
        return {};
    }
    QStringList dropped;
    for (const ArchiveEntry* theirs : onDisk.entries()) {
        bool kept = false;
        for (const ArchiveEntry* own : mine.entries())
            if (own->id() == theirs->id() && own->content() == theirs->content())
                kept = true;
        if (!kept && !dropped.contains(theirs->name()))
            dropped << theirs->name();
    }
    return dropped;
}

bool isWriteProtected(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return (info.st_mode & S_IWUSR) == 0;
}

} // namespace archivefile
