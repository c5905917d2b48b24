// The commands and options of mzt500-cli in one place: parsing, the checks
// of which option belongs where, the overview and each command's help, and
// the dispatch all read this table, so a new command is one row here plus
// its handler (and its words in the completion script and the man page,
// which a test compares with this table).
#pragma once

#include <QString>
#include <QStringList>

#include <limits>

namespace cli {

class Cli;

// What a command does with the archive named as its first argument (or its
// first two: ReadsTwo); the path is checked before any recorder is asked.
enum class ArchiveUse { None, Reads, Writes, ReadsTwo };

// How many arguments follow a command's name, and the line that says so when
// another number is given: checked before the command's handler runs.
struct ArgumentCount {
    int least = 0;
    int most = 0;
    const char* wrongCount = "";
};
constexpr int AnyNumber = std::numeric_limits<int>::max();

struct CommandSpec {
    const char* name;
    // The arguments after the name, as the overview shows them.
    const char* synopsis;
    // The overview's description, already wrapped to its column.
    const char* summary;
    // `mzt500-cli COMMAND --help`.
    const char* help;
    // The long options (without "--") that belong to this command alone or
    // to a few; options in no command's list are accepted everywhere.
    QStringList options;
    int (Cli::*handler)();
    bool needsRecorder;
    ArchiveUse archive;
    ArgumentCount arguments;
};

struct OptionSpec {
    // The long name first, then a one-letter one if there is one.
    QStringList names;
    // The value's name in texts; empty for a switch.
    const char* valueName;
    // The long name of an option this one cannot be given with.
    const char* excludes;
    // For the completion script only: in no help text, man page or offer.
    bool hidden = false;
};

// The commands in the order the overview lists them.
const QList<CommandSpec>& commandTable();
const QList<OptionSpec>& optionTable();
// Nothing for a name that is no command.
const CommandSpec* findCommand(const QString& name);
// The commands an option is restricted to, in table order; empty when every
// command takes it.
QStringList commandsTaking(const QString& option);

} // namespace cli
