#include "contenttext.h"

#include <cmath>

namespace mzt {

QString sequenceNameText(qint64 number)
{
    return QStringLiteral("SEQUENCE %1").arg(number, 2, 10, QLatin1Char('0'));
}

QString contentNameText(quint32 type, quint32 id)
{
    switch (type) {
    case 0:
        return QStringLiteral("SETTINGS");
    case 1:
        return sequenceNameText(id);
    case 2:
        return QStringLiteral("UNKNOWN");
    default:
        return QString();
    }
}

QString durationText(quint32 milliseconds)
{
    // std::round rounds halves away from zero, so 500 ms already counts as a second.
    const auto seconds = static_cast<quint64>(std::round(milliseconds / 1000.0));
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString memSizeText(quint32 bytes)
{
    // Both scalings are by powers of two, so bytes * 100 / 2^k is exact in a
    // double and the only rounding is the one to hundredths.
    if (bytes > 0xFFFFF) {
        const double value = std::round(bytes * 100.0 / 1048576.0) / 100.0;
        return QStringLiteral("%1 MBytes").arg(value, 0, 'f', 2);
    }
    if (bytes > 1023) {
        const double value = std::round(bytes * 100.0 / 1024.0) / 100.0;
        return QStringLiteral("%1 KBytes").arg(value, 0, 'f', 2);
    }
    return QStringLiteral("%1 Bytes").arg(bytes);
}

} // namespace mzt
