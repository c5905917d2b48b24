// mzt500-cli: the MZT-500 Data Backup Tool's work from the command line,
// through the same link, protocol master, archive and update image as the
// window.
#include "cli.h"

#include "kvpmaster.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const char Usage[] = R"(Usage: mzt500-cli [OPTIONS] COMMAND [ARGUMENTS]

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

NAME is a file as listed ("SEQUENCE 03", "SETTINGS") or its number (3; 0 is
the settings).

Options:
  --device N     use recorder N as numbered by `mzt500-cli devices`
                 (default: the first MZT-500 that answers)
  --overwrite    restore: replace files that are already on the recorder
  -q, --quiet    no progress bar and no report of what was done
  -v, --verbose  diagnostic log on stderr
  -h, --help     this text

Environment: MZT500_SIMULATOR (demo or a JSON file: simulated recorders instead
of USB), MZT500_PORTS (PATH=DESCRIPTION,...: serial ports that are recorders).

Exit status: 0 success, 1 failure, 2 usage, 3 no such recorder, 4 restore
would overwrite files, 5 recorder busy, 6 unusable archive or update file,
130 interrupted.
)";

int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    cli::interrupted = true;
    // A second signal ends the program at once.
    std::signal(signal, SIG_DFL);
    const char note = 's';
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &note, 1);
}

// Turns a signal into a cancel of the transaction in progress. The master's
// cancel is not safe inside a signal handler, so a thread of its own does it.
// A transaction that starts after the cancel would not notice it, so the
// cancel is repeated until the program ends.
void watchSignals()
{
    bool cancelling = false;
    for (;;) {
        pollfd p {signalPipe[0], POLLIN, 0};
        if (::poll(&p, 1, cancelling ? 20 : -1) > 0) {
            char note = 0;
            if (::read(signalPipe[0], &note, 1) != 1 || note == 'q')
                return;
            if (cli::uninterruptible) {
                static const char text[] =
                    "\nmzt500-cli: the firmware update cannot be interrupted; "
                    "please wait (a second signal ends the program anyway).\n";
                [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
                continue;
            }
            cancelling = true;
        }
        if (cancelling) {
            if (KVPMaster* master = cli::activeMaster.load()) {
                master->requestAbort();
                master->cancel();
            }
        }
    }
}

int usageError(const QString& text)
{
    std::fprintf(stderr, "mzt500-cli: %s (see --help)\n", qPrintable(text));
    return cli::ExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvant"));
    QCoreApplication::setApplicationName(QStringLiteral("mzt500-cli"));

    QCommandLineParser parser;
    const QCommandLineOption device(QStringLiteral("device"), QString(), QStringLiteral("N"));
    const QCommandLineOption overwrite(QStringLiteral("overwrite"));
    const QCommandLineOption quiet(QStringList {QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption verbose(QStringList {QStringLiteral("v"), QStringLiteral("verbose")});
    const QCommandLineOption help(QStringList {QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({device, overwrite, quiet, verbose, help});
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(help) || positional.value(0) == QLatin1String("help")) {
        std::fputs(Usage, stdout);
        return cli::ExitOk;
    }

    cli::Options options;
    options.quiet = parser.isSet(quiet);
    options.verbose = parser.isSet(verbose);
    options.overwrite = parser.isSet(overwrite);
    if (positional.isEmpty())
        return usageError(QStringLiteral("no command given"));
    options.command = positional.first();
    options.arguments = positional.mid(1);
    static const QStringList commands {"devices",         "list",   "backup", "restore", "delete",
                                       "update-firmware", "archive"};
    if (!commands.contains(options.command))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(options.command));
    if (parser.isSet(device)) {
        bool ok = false;
        options.device = parser.value(device).toInt(&ok);
        if (!ok || options.device < 1)
            return usageError(QStringLiteral("--device takes a recorder number from 1 on"));
    }
    if (options.overwrite && options.command != QLatin1String("restore"))
        return usageError(QStringLiteral("--overwrite belongs to restore"));

    // The libraries log every frame and step at debug level: useful when
    // something goes wrong, noise otherwise. QT_LOGGING_RULES still wins.
    QLoggingCategory::setFilterRules(
        options.verbose ? QStringLiteral("mzt.*.debug=true")
                        : QStringLiteral("*.debug=false\nmzt.*.info=false\nmzt.*.warning=false"));

    std::thread watcher;
    if (::pipe2(signalPipe, O_CLOEXEC) == 0) {
        watcher = std::thread(watchSignals);
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    cli::Cli cli(options);
    const int status = cli.run();
    // The watcher goes before the master it might cancel.
    if (watcher.joinable()) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        const char stop = 'q';
        [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &stop, 1);
        watcher.join();
    }
    return status;
}
