#include "hidpi_pixmap.h"

#include <QGuiApplication>

QPixmap hidpiPixmap(const QString& path)
{
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (ratio > 1.0 && dot > 0) {
        QPixmap sharp(path.left(dot) + QStringLiteral("@2x") + path.mid(dot));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QPixmap(path);
}
