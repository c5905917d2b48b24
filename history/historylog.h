// Diagnostics of the backup history and its pruning (category "mzt.history").
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcHistory)
