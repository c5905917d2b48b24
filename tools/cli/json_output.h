// --json: one JSON document on stdout per command, for scripts. The keys are
// part of the program's interface (documented in the manual page): add keys,
// never rename or drop one.
#pragma once

#include "contentrecord.h"

#include <QJsonObject>
#include <QString>

class ArchiveEntry;

namespace cli {

// A recorder file as `list` shows it:
// {"name", "id", "type", "memorySize", "durationMs"}.
QJsonObject fileJson(const ContentRecord& record, const QString& name);
// An archive entry as `archive` shows it: the keys of fileJson and "bytes",
// the entry's size. The memory size is the one in the entry's record header.
QJsonObject entryJson(const ArchiveEntry& entry, const QString& name);

// The document, indented, with a final line break.
void printJson(const QJsonObject& document);

} // namespace cli
