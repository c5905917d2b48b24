// Diagnostics of the device operations (category "mzt.operations").
#pragma once
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcOperations)
