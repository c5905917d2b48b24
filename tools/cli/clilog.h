// Diagnostics of mzt500-cli (category "mzt.cli"), shown with --verbose.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCli)
