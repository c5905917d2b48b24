// The one progress line of a transfer on a terminal: files done of total,
// bytes, speed and time left.
#pragma once

#include <QString>
#include <QtGlobal>

namespace cli {

struct TransferTotals {
    int filesDone = 0;
    int filesTotal = 0;
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    qint64 elapsedMs = 0;
};

// "512 B", "12.3 kB", "1.20 MB" (decimal units, as file managers show them).
QString byteText(qint64 bytes);
// "0:42", "12:05", "1:02:03".
QString clockText(qint64 seconds);
// "3/12 files  1.20 MB of 3.50 MB  12.4 kB/s  3:05 left". Speed and time
// left read "--" until a second has passed with bytes moved: a guess from
// the first frames would jump about.
QString totalsText(const TransferTotals& totals);

} // namespace cli
