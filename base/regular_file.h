// Opening a file that a user named for reading, safely: only a regular file
// is read, and opening never waits.
#pragma once

#include <QFile>
#include <QString>

namespace mzt {

// File names are bytes; a name that is not valid UTF-8 (a Latin-1 name made
// under another locale) must still reach the same file and never merge with
// another one. These two convert between the bytes and a QString without
// loss: every byte of an invalid sequence becomes one lone surrogate
// U+DC80..U+DCFF and comes back as that byte. Valid UTF-8 converts exactly
// as QFile::encodeName and decodeName do, so names typed in a dialog are
// unaffected.
QByteArray nativePath(const QString& path);
QString pathFromNative(const QByteArray& native);

// Opens path read-only in file if it names a regular file (or a ":/" Qt
// resource). Anything else is refused with a reason in *reason before a byte
// is read: a FIFO without a writer would block the open for ever, and a
// device such as /dev/zero reports size 0 and then never ends.
bool openRegularFile(QFile& file, const QString& path, QString* reason);

// The reason given for a file of this st_mode that is not a regular file.
QString notRegularFileReason(unsigned mode);

} // namespace mzt
