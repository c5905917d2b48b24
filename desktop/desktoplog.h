// Diagnostics of the desktop's services: the autostart entry and
// notifications (category "mzt.desktop").
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDesktop)
