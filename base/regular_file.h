// Opening a file that a user named for reading, safely: only a regular file
// is read, and opening never waits.
#pragma once

#include <QFile>
#include <QString>

namespace mzt {

// Opens path read-only in file if it names a regular file (or a ":/" Qt
// resource). Anything else is refused with a reason in *reason before a byte
// is read: a FIFO without a writer would block the open for ever, and a
// device such as /dev/zero reports size 0 and then never ends.
bool openRegularFile(QFile& file, const QString& path, QString* reason);

// The reason given for a file of this st_mode that is not a regular file.
QString notRegularFileReason(unsigned mode);

} // namespace mzt
