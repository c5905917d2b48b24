// What mzt500-cli says about itself: the overview, one text per command and
// suggestions for misspelt commands and options.
#pragma once

#include <QString>
#include <QStringList>

namespace cli {

// The commands in the order the overview lists them.
const QStringList& commandNames();

// `mzt500-cli --help`.
QString programUsage();
// `mzt500-cli COMMAND --help`; empty for a name that is no command.
QString commandUsage(const QString& command);

// The known words a misspelt one most likely meant: those within a small
// edit distance (a typo, a missing, extra or swapped letter) and those the
// word begins. Closest first; empty when nothing is close.
QStringList closestWords(const QString& typed, const QStringList& known);

// ` did you mean "x"?` (or `"x" or "y"`) for a reason line; empty without
// suggestions.
QString didYouMean(const QStringList& suggestions);

} // namespace cli
