// Archive paths on the command line, checked before any recorder time is
// spent: a backup that reads a whole recorder and then cannot save wastes
// minutes.
#pragma once

#include <QString>

#include <optional>

namespace cli {

struct ArchivePath {
    QString path;
    // ".mzt" was added to the name as typed; the command says so.
    bool suffixAdded = false;
};

// The archive a backup writes: the path as typed when that file exists,
// otherwise with ".mzt" added when the name lacks it. Nothing, and the
// reason, when the folder does not exist or cannot be written, or the path
// is a folder.
std::optional<ArchivePath> archiveToWrite(const QString& typed, QString* reason);

// The archive a command reads: the path as typed, or with ".mzt" added when
// only that file exists. Nothing, and the reason, when neither exists or the
// path is a folder. Whether the file is a valid archive is the loader's
// business.
std::optional<ArchivePath> archiveToRead(const QString& typed, QString* reason);

} // namespace cli
