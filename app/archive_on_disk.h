// What the window knows of its archive's file on disk: how the file looked
// when the window last read or wrote it, so that a file another program
// (the command line, a second window) changed meanwhile is noticed before
// a save would silently replace it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class MZTArchive;

namespace archivefile {

// The file's identity at one moment. Saves replace the file by renaming a new
// one over it, so a save by anyone gives a new inode; the content digest keeps
// a file that was only touched, or rewritten with the same bytes, from
// counting as changed.
struct Stamp {
    bool exists = false;
    bool regular = false; // a plain file, not a folder, FIFO or device
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    QByteArray digest; // SHA-256 of the content; empty when it could not be read
    // What the file holds, as entriesDigest() of the archive read from it
    // or written to it: a file written again with the same entries (a save
    // stamps its own time into it) is the same archive.
    QByteArray entries;

    // The file at path now; the digest is computed only when withDigest.
    static Stamp of(const QString& path, bool withDigest = true);
    bool sameIdentity(const Stamp& other) const;
};

// A digest of the entries as a save stores them: ids, types, durations,
// names and contents, leaving out the memory size a save writes anew.
QByteArray entriesDigest(const MZTArchive& archive);

// Whether the file at path still is the one stamp describes. A file that
// differs in identity but holds the same bytes or entries counts as
// unchanged, and
// *now (if given) gets its current stamp so that the caller can keep it.
bool unchangedSince(const Stamp& stamp, const QString& path, Stamp* now = nullptr);

// The names of entries of the archive on disk that a save of mine would
// drop: entries whose id the window's archive lacks or holds with other
// content. An unreadable file gives its reason in *unreadable instead.
QStringList entriesOnlyOnDisk(const MZTArchive& mine, const QString& path, QString* unreadable);

// No one may write the file: the owner's write bit is clear (as after
// "chmod a-w" or a file manager's read-only box). Judged by the mode bits
// rather than by access(), which lets an administrator write anything.
bool isWriteProtected(const QString& path);

} // namespace archivefile
