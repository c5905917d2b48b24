#include "command_table.h"

#include "cli.h"
#include "usage.h"

#include <algorithm>

namespace cli {

namespace {

// The overview around the commands' list, which is made from the table.
const char OverviewHead[] = R"(Usage: mzt500-cli [OPTIONS] COMMAND [ARGUMENTS]

Commands:
)";
const char OverviewTail[] = R"(
`mzt500-cli COMMAND --help` describes one command.

An ARCHIVE named without ".mzt" gets it (the program says so), unless a file
of exactly that name exists.

NAME is a file as listed ("SEQUENCE 03", "SETTINGS") or its number (3; 0 is
the settings).

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
                 (default: the first MZT-500 that answers)
  --overwrite    restore: replace files that are already on the recorder
  --skip-existing
                 restore: write only files the recorder does not hold
  --dry-run      restore, delete, prune: print what would happen, change
                 nothing
  --verify       backup, restore: read the files again afterwards and compare
  --json         devices, list, archive, status, verify, diff, history: one
                 JSON document; watch: one JSON object per line (man
                 mzt500-cli)
  --folder DIR   history, prune, watch: the backup folder (default: the
                 window's)
  --file NAME    history: the backups in which that file changed
  --keep N       prune, watch: the last N backups of each recorder are kept
  --enable       watch: start it at every login
  --disable      watch: no longer start it at login
  -q, --quiet    no progress bar and no report of what was done
  -v, --verbose  diagnostic log on stderr
  -h, --help     this text
  --version      the program's version

Environment: MZT500_SIMULATOR (demo or a JSON file: simulated recorders instead
of USB), MZT500_PORTS (PATH=DESCRIPTION;PATH=DESCRIPTION: serial ports that
are recorders, entries separated by semicolons).

Exit status: 0 success, 1 failure, 2 usage, 3 no such recorder, 4 restore
would overwrite files, 5 recorder busy or in use by another program,
6 unusable archive or update file, 7 a comparison found files that differ or
are on one side only, 130 interrupted.
)";

// The overview's commands: the synopsis in one column, the summary in the
// next.
constexpr int SummaryColumn = 35;

} // namespace

// clang-format off
const QList<CommandSpec>& commandTable()
{
    static const QList<CommandSpec> table {
        {"devices", "",
         "list the recorders that answer: line, name,\n"
         "description, serial",
         R"(Usage: mzt500-cli devices [--json]

Lists the recorders and dongles that answer, one a line: the line number
(what --device takes), the name ("MZT-500 #1"), the USB description and the
serial number.

Options:
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 3 no recorder answers, 5 the recorders are in use by
another program, 130 interrupted.
)",
         {QStringLiteral("json")}, &Cli::devices, false, ArchiveUse::None,
         {0, 0, "devices takes no arguments (see --help)."}},
        {"list", "",
         "list the recorder's files: name, memory size,\n"
         "playing time",
         R"(Usage: mzt500-cli [--device N] list [--json]

Lists the files on the recorder, one a line: the name ("SEQUENCE 03",
"SETTINGS"), the memory size and, for sequences, the playing time.

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy or
in use by another program, 130 interrupted.
)",
         {QStringLiteral("json"), QStringLiteral("names0")}, &Cli::list, true, ArchiveUse::None,
         {0, 0, "list takes no arguments (see --help)."}},
        {"backup", "ARCHIVE.mzt [NAME...]",
         "copy all or the named files from the recorder\n"
         "into the archive (created or updated; entries\n"
         "with the same id are replaced)",
         R"(Usage: mzt500-cli [--device N] [-q] backup ARCHIVE.mzt [NAME...] [--verify]

Copies all files of the recorder, or the named ones, into the archive. A
missing archive is created; in an existing one an entry with the same file
number is replaced and reported "replaced". The archive is written only once
every file has been read, so a failed or interrupted backup leaves it as it
was. Before the recorder is asked anything, the archive's folder must exist
and take new files, and an existing archive must load.

NAME is a file as listed ("SEQUENCE 03", "SETTINGS") or its number (3; 0 is
the settings).

Options:
  --verify       once the archive is written, read the files again and
                 compare them byte for byte with the archive on the disk; a
                 difference is a failure that names the file
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy or
in use by another program, 6 unusable archive, 7 --verify found a
difference, 130 interrupted.
)",
         {QStringLiteral("verify")}, &Cli::backup, true, ArchiveUse::Writes,
         {1, AnyNumber, "backup needs the archive to write (see --help)."}},
        {"restore", "ARCHIVE.mzt [NAME...]",
         "write all or the named archive entries to the\n"
         "recorder; refuses when that would overwrite\n"
         "files there, unless --overwrite is given",
         R"(Usage: mzt500-cli [--device N] [-q] restore ARCHIVE.mzt [NAME...]
                  [--overwrite | --skip-existing] [--dry-run | --verify]

Writes all entries of the archive, or the named ones, to the recorder. When
that would replace files the recorder holds (the settings always count), it
names them and stops before writing anything, unless --overwrite is given;
with --skip-existing it writes only the others.

NAME is an entry as listed by `mzt500-cli archive` ("SEQUENCE 03",
"SETTINGS") or its number (3; 0 is the settings).

Options:
  --overwrite      replace files that are already on the recorder
  --skip-existing  write only files the recorder does not hold (never the
                   settings)
  --dry-run        print what would be written, replaced or skipped; change
                   nothing (the recorder is not put into its transfer mode)
  --verify         once written, read the files back and compare them byte
                   for byte with the archive; a difference is a failure that
                   names the file
  --device N       use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 4 restore would
overwrite files, 5 recorder busy or in use by another program, 6 unusable
archive, 7 --verify found a difference, 130 interrupted.
)",
         {QStringLiteral("overwrite"), QStringLiteral("skip-existing"), QStringLiteral("dry-run"), QStringLiteral("verify")}, &Cli::restore, true, ArchiveUse::Reads,
         {1, AnyNumber, "restore needs the archive to read (see --help)."}},
        {"delete", "NAME...",
         "delete files on the recorder (not the settings)",
         R"(Usage: mzt500-cli [--device N] [-q] delete NAME... [--dry-run]

Deletes the named files on the recorder. The settings are never deleted.

NAME is a file as listed ("SEQUENCE 03") or its number (3).

Options:
  --dry-run      print what would be deleted; change nothing (the recorder
                 is not put into its transfer mode)
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy or
in use by another program, 130 interrupted.
)",
         {QStringLiteral("dry-run")}, &Cli::remove, true, ArchiveUse::None,
         {1, AnyNumber, "delete needs the names of the files to delete (see --help)."}},
        {"update-firmware", "[FILE.kv2]",
         "update the recorder's firmware from the file, or\n"
         "from the update image built into the program",
         R"(Usage: mzt500-cli [--device N] [-q] update-firmware [FILE.kv2]

Updates the recorder's firmware from the update file, or from the update
image built into the program. Once the transfer has begun it is not
interrupted: a first Ctrl+C only asks to wait, a second one ends the program
anyway.

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy or
in use by another program, 6 unusable update file, 130 interrupted.
)",
         {}, &Cli::updateFirmware, true, ArchiveUse::None,
         {0, 1, "update-firmware takes at most one update file (see --help)."}},
        {"archive", "ARCHIVE.mzt",
         "list an archive's entries: name, id, type, size\n"
         "in bytes, memory size, playing time",
         R"(Usage: mzt500-cli archive ARCHIVE.mzt [--json]

Lists the entries of an archive, with a heading line: name, file number,
type, size in bytes, memory size and playing time. No recorder is needed.

Options:
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 6 unusable archive.
)",
         {QStringLiteral("json"), QStringLiteral("names0")}, &Cli::showArchive, false, ArchiveUse::Reads,
         {1, 1, "archive needs exactly one archive file (see --help)."}},
        {"status", "ARCHIVE.mzt",
         "compare the recorder's content list with the\n"
         "archive (one exchange; proves nothing identical)",
         R"(Usage: mzt500-cli [--device N] status ARCHIVE.mzt [--json]

Compares the recorder's content list with the archive, file number by file
number: type, memory size and playing time. One line for each file that is
not the same record, "NAME: differs", "NAME: only on the recorder" or
"NAME: only in the archive", then a line saying that only `verify` proves
files identical: a sequence recorded again at the same length keeps its size
and playing time. Costs one exchange with the recorder; reads no file.

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  --json         one JSON document instead, every file included (keys: man
                 mzt500-cli)

Exit status: 0 nothing differs, 1 failure, 3 no such recorder, 5 recorder
busy or in use by another program, 6 unusable archive, 7 a file differs or
is on one side only, 130 interrupted.
)",
         {QStringLiteral("json")}, &Cli::status, true, ArchiveUse::Reads,
         {1, 1, "status needs exactly one archive file (see --help)."}},
        {"verify", "ARCHIVE.mzt [NAME...]",
         "read the recorder's files and compare them byte\n"
         "for byte with the archive",
         R"usage(Usage: mzt500-cli [--device N] [-q] verify ARCHIVE.mzt [NAME...] [--json]

Reads all files of the recorder and of the archive, or the named ones, and
compares each byte for byte with the archive's copy as the archive stores it
(its record header rewritten). One line per file: "NAME: identical",
"NAME: differs (first difference at byte N)", "NAME: only on the recorder",
"NAME: only in the archive" or "NAME: unreadable (REASON)". Changes neither
the recorder nor the archive.

NAME is a file as listed ("SEQUENCE 03", "SETTINGS") or its number (3; 0 is
the settings).

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  --json         one JSON document instead (keys: man mzt500-cli)
  -q, --quiet    no progress bar

Exit status: 0 all identical, 1 failure, 3 no such recorder, 5 recorder
busy or in use by another program, 6 unusable archive, 7 a file differs, is
unreadable or is on one side only, 130 interrupted.
)usage",
         {QStringLiteral("json")}, &Cli::verify, true, ArchiveUse::Reads,
         {1, AnyNumber, "verify needs the archive to compare with (see --help)."}},
        {"diff", "A.mzt B.mzt",
         "compare two archives byte for byte",
         R"usage(Usage: mzt500-cli diff A.mzt B.mzt [--json]

Compares two archives byte for byte, file number by file number, as each
stores its files. One line for each file that is not identical:
"NAME: differs (first difference at byte N)", "NAME: only in A.mzt" or
"NAME: only in B.mzt". No recorder is needed.

Options:
  --json         one JSON document instead, every file included (keys: man
                 mzt500-cli)

Exit status: 0 nothing differs, 6 unusable archive, 7 a file differs or is
in one archive only.
)usage",
         {QStringLiteral("json")}, &Cli::diff, false, ArchiveUse::ReadsTwo,
         {2, 2, "diff needs exactly two archive files (see --help)."}},
        {"history", "[SERIAL]",
         "each recorder's backups in the backup folder,\n"
         "oldest first, with the files added, changed and\n"
         "removed since the one before",
         R"usage(Usage: mzt500-cli history [SERIAL] [--folder DIR] [--file NAME] [--json]

Reads the backup folder (the window's, or DIR) as the history of each
recorder, or of the one with that serial number: its backups, oldest to
newest, each with its date, number of files and what changed since the
backup before ("+2 ~1 -0"), then the names of the files added, changed and
removed. Files are compared by content. A file that is not a readable
archive is listed as "unreadable, skipped" and left alone. No recorder is
needed.

What was read is kept in the index ".mzt500-history" in the folder, checked
against every file and rebuilt where it does not match.

Options:
  --folder DIR   the backup folder (default: the one the window saves in)
  --file NAME    the backups in which that file was added, changed or
                 removed, per recorder ("SEQUENCE 12", SETTINGS or a number)
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 1 failure (no such folder, no backups of SERIAL),
130 interrupted.
)usage",
         {QStringLiteral("json"), QStringLiteral("folder"), QStringLiteral("file")}, &Cli::history, false, ArchiveUse::None,
         {0, 1, "one recorder at a time (see --help)"}},
        {"prune", "--keep N [SERIAL]",
         "remove old backups from the backup folder:\n"
         "the last N of each recorder and the first of\n"
         "each month are kept",
         R"usage(Usage: mzt500-cli prune --keep N [SERIAL] [--folder DIR] [--dry-run]

Removes old backups of each recorder, or of the one with that serial number,
from the backup folder (the window's, or DIR). Kept are the last N backups,
the first backup of each month, the newest, and every backup that is the
only one holding some version of a file: no version of a file is ever lost.
Archives not named as "Back up recorder" names its backups are the user's
own, and files that are not readable archives are left alone. Each removed
backup is named.

Options:
  --keep N       the last N backups of each recorder are kept (from 1 on)
  --folder DIR   the backup folder (default: the one the window saves in)
  --dry-run      print what would be removed; remove nothing
  -q, --quiet    no report of what was removed

Exit status: 0 success, 1 failure (no such folder, a backup that could not
be removed), 2 no --keep, 130 interrupted.
)usage",
         {QStringLiteral("keep"), QStringLiteral("folder"), QStringLiteral("dry-run")}, &Cli::prune, false, ArchiveUse::None,
         {0, 1, "one recorder at a time (see --help)"}},
        {"watch", "",
         "back up every recorder plugged in, when it\n"
         "changed, until Ctrl+C; --enable: at every login",
         R"usage(Usage: mzt500-cli watch [--folder DIR] [--keep N] [--json]
       mzt500-cli watch --enable | --disable

Waits for recorders and backs each up when it is plugged in (those present
at the start too), one after another: all its files are read and compared
byte for byte with the newest backup of that recorder (known by its serial
number, else by where it is plugged in) in the backup folder (the window's,
or DIR). Only when a file differs, or there is no backup yet, is a new
archive saved, named as "Back up recorder" names it ("MZT-500 SERIAL
2026-12-08 14-05.mzt"); otherwise it says "unchanged since DATE". One line
per event on stdout; a new backup and a failure are also shown as desktop
notifications.

Nothing is left in the folder when a recorder is unplugged mid-backup (it is
backed up when it is plugged in again), when another program opens the
recorder (the backup stops and is tried again when the recorder is free) or
when the watch is ended. Runs until Ctrl+C or SIGTERM, then ends with 0.

Options:
  --folder DIR   the backup folder (default: the one the window saves in)
  --keep N       after each new backup, keep the last N backups of that
                 recorder and the first of each month, remove the others
                 (never the only holder of a version of a file)
  --json         one JSON object per line instead (keys: man mzt500-cli)
  --enable       start `mzt500-cli watch` at every login (an XDG autostart
                 entry in ~/.config/autostart); nothing else is done
  --disable      remove that entry again

Exit status: 0 ended by Ctrl+C or SIGTERM, or the entry was switched, 1
failure (the folder cannot take backups, the entry cannot be written).
)usage",
         {QStringLiteral("folder"), QStringLiteral("keep"), QStringLiteral("json"), QStringLiteral("enable"), QStringLiteral("disable")}, &Cli::watch, false, ArchiveUse::None,
         {0, 0, "watch takes no arguments (see --help)."}},
    };
    return table;
}
// clang-format on

const QList<OptionSpec>& optionTable()
{
    static const QList<OptionSpec> table {
        {{QStringLiteral("device")}, "N", nullptr},
        {{QStringLiteral("overwrite")}, "", nullptr},
        {{QStringLiteral("skip-existing")}, "", "overwrite"},
        {{QStringLiteral("dry-run")}, "", nullptr},
        {{QStringLiteral("json")}, "", nullptr},
        {{QStringLiteral("folder")}, "DIR", nullptr},
        {{QStringLiteral("file")}, "NAME", nullptr},
        {{QStringLiteral("keep")}, "N", nullptr},
        {{QStringLiteral("enable")}, "", nullptr},
        {{QStringLiteral("disable")}, "", "enable"},
        {{QStringLiteral("verify")}, "", "dry-run"},
        {{QStringLiteral("quiet"), QStringLiteral("q")}, "", nullptr},
        {{QStringLiteral("verbose"), QStringLiteral("v")}, "", nullptr},
        {{QStringLiteral("help"), QStringLiteral("h")}, "", nullptr},
        {{QStringLiteral("version")}, "", nullptr},
        // The names a command would take, each ended by a NUL byte: names
        // may hold blanks, quotes and newlines.
        {{QStringLiteral("names0")}, "", nullptr, true},
    };
    return table;
}

const CommandSpec* findCommand(const QString& name)
{
    const QList<CommandSpec>& table = commandTable();
    const auto it = std::find_if(table.cbegin(), table.cend(), [&](const CommandSpec& c) {
        return name == QLatin1String(c.name);
    });
    return it == table.cend() ? nullptr : &*it;
}

QStringList commandsTaking(const QString& option)
{
    QStringList commands;
    for (const CommandSpec& c : commandTable())
        if (c.options.contains(option))
            commands.append(QString::fromLatin1(c.name));
    return commands;
}

const QStringList& commandNames()
{
    static const QStringList names = [] {
        QStringList list;
        for (const CommandSpec& c : commandTable())
            list.append(QString::fromLatin1(c.name));
        return list;
    }();
    return names;
}

QString programUsage()
{
    QString text = QString::fromUtf8(OverviewHead);
    for (const CommandSpec& c : commandTable()) {
        const QString head = QStringLiteral("  ") + QLatin1String(c.name)
            + (*c.synopsis ? QLatin1Char(' ') + QLatin1String(c.synopsis) : QString());
        const QStringList summary = QString::fromUtf8(c.summary).split(QLatin1Char('\n'));
        text += head.leftJustified(SummaryColumn) + summary.first() + QLatin1Char('\n');
        for (const QString& line : summary.mid(1))
            text += QString(SummaryColumn, QLatin1Char(' ')) + line + QLatin1Char('\n');
    }
    return text + QString::fromUtf8(OverviewTail);
}

QString commandUsage(const QString& command)
{
    const CommandSpec* entry = findCommand(command);
    return entry ? QString::fromUtf8(entry->help) : QString();
}

} // namespace cli
