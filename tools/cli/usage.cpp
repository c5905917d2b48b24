#include "usage.h"

#include <algorithm>
#include <vector>

namespace cli {

namespace {

struct Command {
    const char* name;
    const char* text;
};

const Command Commands[] = {
    {"devices", R"(Usage: mzt500-cli devices [--json]

Lists the recorders and dongles that answer, one a line: the line number
(what --device takes), the name ("MZT-500 #1"), the USB description and the
serial number.

Options:
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 3 no recorder answers, 130 interrupted.
)"},
    {"list", R"(Usage: mzt500-cli [--device N] list [--json]

Lists the files on the recorder, one a line: the name ("SEQUENCE 03",
"SETTINGS"), the memory size and, for sequences, the playing time.

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy,
130 interrupted.
)"},
    {"backup", R"(Usage: mzt500-cli [--device N] [-q] backup ARCHIVE.mzt [NAME...]

Copies all files of the recorder, or the named ones, into the archive. A
missing archive is created; in an existing one an entry with the same file
number is replaced and reported "replaced". The archive is written only once
every file has been read, so a failed or interrupted backup leaves it as it
was. Before the recorder is asked anything, the archive's folder must exist
and take new files, and an existing archive must load.

NAME is a file as listed ("SEQUENCE 03", "SETTINGS") or its number (3; 0 is
the settings).

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy,
6 unusable archive, 130 interrupted.
)"},
    {"restore", R"(Usage: mzt500-cli [--device N] [-q] restore ARCHIVE.mzt [NAME...]
                  [--overwrite | --skip-existing] [--dry-run]

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
                   nothing
  --device N       use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 4 restore would
overwrite files, 5 recorder busy, 6 unusable archive, 130 interrupted.
)"},
    {"delete", R"(Usage: mzt500-cli [--device N] [-q] delete NAME... [--dry-run]

Deletes the named files on the recorder. The settings are never deleted.

NAME is a file as listed ("SEQUENCE 03") or its number (3).

Options:
  --dry-run      print what would be deleted; change nothing
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy,
130 interrupted.
)"},
    {"update-firmware", R"(Usage: mzt500-cli [--device N] [-q] update-firmware [FILE.kv2]

Updates the recorder's firmware from the update file, or from the update
image built into the program. Once the transfer has begun it is not
interrupted: a first Ctrl+C only asks to wait, a second one ends the program
anyway.

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
  -q, --quiet    no progress bar and no report of what was done

Exit status: 0 success, 1 failure, 3 no such recorder, 5 recorder busy,
6 unusable update file, 130 interrupted.
)"},
    {"archive", R"(Usage: mzt500-cli archive ARCHIVE.mzt [--json]

Lists the entries of an archive, with a heading line: name, file number,
type, size in bytes, memory size and playing time. No recorder is needed.

Options:
  --json         one JSON document instead (keys: man mzt500-cli)

Exit status: 0 success, 6 unusable archive.
)"},
};

const char Overview[] = R"(Usage: mzt500-cli [OPTIONS] COMMAND [ARGUMENTS]

Commands:
  devices                          list the recorders that answer: line, name,
                                   description, serial
  list                             list the recorder's files: name, memory size,
                                   playing time
  backup ARCHIVE.mzt [NAME...]     copy all or the named files from the recorder
                                   into the archive (created or updated; entries
                                   with the same id are replaced)
  restore ARCHIVE.mzt [NAME...]    write all or the named archive entries to the
                                   recorder; refuses when that would overwrite
                                   files there, unless --overwrite is given
  delete NAME...                   delete files on the recorder (not the settings)
  update-firmware [FILE.kv2]       update the recorder's firmware from the file, or
                                   from the update image built into the program
  archive ARCHIVE.mzt              list an archive's entries: name, id, type, size
                                   in bytes, memory size, playing time

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
  --dry-run      restore, delete: print what would happen, change nothing
  --json         devices, list, archive: one JSON document (man mzt500-cli)
  -q, --quiet    no progress bar and no report of what was done
  -v, --verbose  diagnostic log on stderr
  -h, --help     this text
  --version      the program's version

Environment: MZT500_SIMULATOR (demo or a JSON file: simulated recorders instead
of USB), MZT500_PORTS (PATH=DESCRIPTION;PATH=DESCRIPTION: serial ports that
are recorders, entries separated by semicolons).

Exit status: 0 success, 1 failure, 2 usage, 3 no such recorder, 4 restore
would overwrite files, 5 recorder busy, 6 unusable archive or update file,
130 interrupted.
)";

// Optimal string alignment distance: like Levenshtein's, with a swap of two
// neighbouring letters counted as one edit, the commonest typing slip.
int editDistance(const QString& a, const QString& b)
{
    const qsizetype n = a.size();
    const qsizetype m = b.size();
    std::vector<std::vector<int>> d(size_t(n + 1), std::vector<int>(size_t(m + 1)));
    for (qsizetype i = 0; i <= n; ++i)
        d[size_t(i)][0] = int(i);
    for (qsizetype j = 0; j <= m; ++j)
        d[0][size_t(j)] = int(j);
    for (qsizetype i = 1; i <= n; ++i)
        for (qsizetype j = 1; j <= m; ++j) {
            const size_t r = size_t(i);
            const size_t c = size_t(j);
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[r][c] = std::min({d[r - 1][c] + 1, d[r][c - 1] + 1, d[r - 1][c - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[r][c] = std::min(d[r][c], d[r - 2][c - 2] + 1);
        }
    return d[size_t(n)][size_t(m)];
}

} // namespace

const QStringList& commandNames()
{
    static const QStringList names = [] {
        QStringList list;
        for (const Command& c : Commands)
            list.append(QString::fromLatin1(c.name));
        return list;
    }();
    return names;
}

QString programUsage()
{
    return QString::fromUtf8(Overview);
}

QString commandUsage(const QString& command)
{
    for (const Command& c : Commands)
        if (command == QLatin1String(c.name))
            return QString::fromUtf8(c.text);
    return QString();
}

QStringList closestWords(const QString& typed, const QStringList& known)
{
    const QString word = typed.toLower();
    if (word.isEmpty())
        return {};
    // One slip in a short word already makes it another word; longer words
    // bear two.
    const int allowed = word.size() <= 4 ? 1 : 2;
    std::vector<std::pair<int, QString>> found;
    for (const QString& candidate : known) {
        const int distance = editDistance(word, candidate.toLower());
        // "upd" for "update-firmware": a beginning counts as close.
        const bool begins = word.size() >= 2 && candidate.toLower().startsWith(word);
        if (distance <= allowed || begins)
            found.emplace_back(begins ? 0 : distance, candidate);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList result;
    for (const auto& f : found)
        result.append(f.second);
    return result;
}

QString didYouMean(const QStringList& suggestions)
{
    if (suggestions.isEmpty())
        return QString();
    QStringList quoted;
    for (const QString& s : suggestions)
        quoted.append(QLatin1Char('"') + s + QLatin1Char('"'));
    return QStringLiteral(" did you mean %1?").arg(quoted.join(QStringLiteral(" or ")));
}

} // namespace cli
