#include "progress_text.h"

#include <algorithm>
#include <cmath>

namespace cli {

QString byteText(qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1000 * 1000)
        return QStringLiteral("%1 kB").arg(double(bytes) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / 1e6, 0, 'f', 2);
}

QString clockText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    const QString ms = QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    return h ? QStringLiteral("%1:%2").arg(h).arg(ms.rightJustified(5, QLatin1Char('0'))) : ms;
}

QString totalsText(const TransferTotals& t)
{
    QString text = QStringLiteral("%1/%2 files  %3 of %4")
                       .arg(t.filesDone)
                       .arg(t.filesTotal)
                       .arg(byteText(t.bytesDone), byteText(t.bytesTotal));
    if (t.elapsedMs < 1000 || t.bytesDone <= 0)
        return text + QStringLiteral("  -- B/s  --:-- left");
    const double perSecond = double(t.bytesDone) * 1000.0 / double(t.elapsedMs);
    const qint64 left = std::max<qint64>(t.bytesTotal - t.bytesDone, 0);
    // Rounded up: "0:00 left" only once nothing is left.
    const qint64 secondsLeft = qint64(std::ceil(double(left) / perSecond));
    return text
        + QStringLiteral("  %1/s  %2 left")
              .arg(byteText(qint64(perSecond)), clockText(secondsLeft));
}

} // namespace cli
