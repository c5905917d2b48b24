// Shared set-up of the fuzz targets: no debug output (it would dominate the
// run time and hide the findings).
#pragma once

#include <QLoggingCategory>

inline void mztQuietLogging()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
}
