// File names on the command line: as the window shows them ("SEQUENCE 03",
// "SETTINGS") or as plain numbers (the file id, 0 for the settings).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

// "SEQUENCE" typed without quotes arrives as two words; they are joined
// again when a number follows.
QStringList joinSplitNames(const QStringList& words);

// The id a name stands for: "7", "SEQUENCE 07", "sequence 7" give 7,
// "SETTINGS" gives 0. Nothing for any other text.
std::optional<int> idForName(const QString& name);

// One file the command works on: its id and the name shown for it.
struct NamedFile {
    int id = 0;
    QString name;
};

// Looks every requested name up among the candidates: a name with an id
// matches the candidates with that id, any other text those whose name is
// equal (ignoring case). The result keeps the order of the requests, each
// id once. *unknown receives the first name without a match.
QList<NamedFile> resolveNames(const QStringList& requested, const QList<NamedFile>& candidates,
                              QString* unknown);

} // namespace cli
