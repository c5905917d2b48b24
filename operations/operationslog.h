// Diagnostics of the device operation workers (category "mzt.operations").
#pragma once
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcOperations)
