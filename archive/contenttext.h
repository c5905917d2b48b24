// Texts shown for a recorder file, shared by the device table and the
// archive table so that both present the same file the same way.
#pragma once

#include <QString>
#include <QtGlobal>

namespace mzt {

// "SEQUENCE 07" for 7: two digits at least, padded with "0". The same text is
// the entry's path name inside an archive file.
QString sequenceNameText(qint64 number);

// The name of a file by its record type: 0 "SETTINGS", 1 "SEQUENCE nn",
// 2 "UNKNOWN"; any other type has no name (empty text).
QString contentNameText(quint32 type, quint32 id);

// Playing time as "h:mm:ss", rounded to the nearest second (halves up).
QString durationText(quint32 milliseconds);

// "n Bytes" below 1024, "x.xx KBytes" below 1 MiB, "x.xx MBytes" above,
// rounded to two decimals (halves up).
QString memSizeText(quint32 bytes);

} // namespace mzt
