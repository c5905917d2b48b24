#pragma once

#include <QString>

// Resource path of the update image compiled into the program.
inline QString builtInImagePath()
{
    return QStringLiteral(":/firmware/MZT/MZT-500.kv2");
}
