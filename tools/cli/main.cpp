// mzt500-cli: the MZT-500 Data Backup Tool's work from the command line,
// through the same link, protocol master, archive and update image as the
// window.
#include "archive_path.h"
#include "cli.h"
#include "command_table.h"
#include "usage.h"

#include "kvpmaster.h"
#include "mzt_version.h"
#include "regular_file.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Ctrl+C, kill and a closed terminal all stop the command the same way: a
// replaced file is written in full and the recorder let go before the end.
constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int signal)
{
    int none = 0;
    cli::interruptSignal.compare_exchange_strong(none, signal);
    cli::interrupted = true;
    // A second signal ends the program at once.
    std::signal(signal, SIG_DFL);
    const char note = 's';
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &note, 1);
}

// Turns a signal into a cancel of the transaction in progress. The master's
// cancel is not safe inside a signal handler, so a thread of its own does it.
// The cancel is repeated until the program ends, for a transaction that
// starts later; the master holds it back while a replaced file is rewritten.
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
            if (cli::signalEndsEventLoop)
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [] { QCoreApplication::quit(); },
                    Qt::QueuedConnection);
        }
        if (cancelling) {
            const std::lock_guard lock(cli::interruptLock);
            KVPMaster* master = cli::activeMaster.load();
            if (master && !cli::settling)
                master->interrupt();
        }
    }
}

void printError(const QString& text)
{
    const QByteArray line = cli::outputBytes(QStringLiteral("mzt500-cli: ") + text, stderr) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

int usageError(const QString& text)
{
    printError(text + QStringLiteral(" (see --help)"));
    return cli::ExitUsage;
}

QString withSuggestions(const QString& reason, const QStringList& suggestions)
{
    return suggestions.isEmpty() ? reason
                                 : reason + QLatin1Char(';') + cli::didYouMean(suggestions);
}

// The parser's own reason, with a suggestion when an unknown option looks
// like a misspelt known one.
QString optionError(const QCommandLineParser& parser, const QList<QCommandLineOption>& options)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty())
        return parser.errorText();
    QStringList known;
    for (const QCommandLineOption& option : options)
        for (const QString& name : option.names())
            if (name.size() > 1)
                known.append(name);
    QStringList suggestions;
    for (const QString& name : cli::closestWords(unknown.first(), known))
        suggestions.append(QStringLiteral("--") + name);
    const QString dashes = unknown.first().size() > 1 ? QStringLiteral("--") : QStringLiteral("-");
    return withSuggestions(QStringLiteral("unknown option \"%1\"").arg(dashes + unknown.first()),
                           suggestions);
}

// The archive a command names is checked before the recorder is asked
// anything: a backup into a missing or read-only folder would otherwise fail
// only after reading the whole recorder. A name without ".mzt" gets it
// (unless a file of exactly that name exists), and the program says so.
int checkArchivePath(cli::Options* options)
{
    const cli::CommandSpec* entry = cli::findCommand(options->command);
    if (!entry || entry->archive == cli::ArchiveUse::None || options->arguments.isEmpty())
        return cli::ExitOk;
    const bool writes = entry->archive == cli::ArchiveUse::Writes;
    const qsizetype archives = entry->archive == cli::ArchiveUse::ReadsTwo ? 2 : 1;
    for (qsizetype i = 0; i < std::min(archives, options->arguments.size()); ++i) {
        QString reason;
        const QString typed = options->arguments[i];
        const std::optional<cli::ArchivePath> archive =
            writes ? cli::archiveToWrite(typed, &reason) : cli::archiveToRead(typed, &reason);
        if (!archive) {
            printError(reason);
            return cli::ExitBadFile;
        }
        if (archive->suffixAdded && !options->quiet)
            printError(
                QStringLiteral("using %1 (archive names end in \".mzt\")").arg(archive->path));
        options->arguments[i] = archive->path;
    }
    return cli::ExitOk;
}

// "a", "a and b", "a, b and c".
QString listText(const QStringList& words)
{
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ")
        + words.last();
}

// The options restricted to some commands, given to another one; and
// options given together that exclude each other.
QString misplacedOption(const QCommandLineParser& parser, const QString& command)
{
    for (const cli::OptionSpec& option : cli::optionTable()) {
        const QString& name = option.names.first();
        if (!parser.isSet(name))
            continue;
        const QStringList owners = cli::commandsTaking(name);
        if (!owners.isEmpty() && !owners.contains(command))
            return QStringLiteral("--%1 belongs to %2").arg(name, listText(owners));
        if (option.excludes && parser.isSet(QLatin1String(option.excludes)))
            return QStringLiteral("--%1 and --%2 exclude each other")
                .arg(name, QLatin1String(option.excludes));
    }
    return QString();
}

void printOut(const QString& text)
{
    std::fputs(qPrintable(text), stdout);
}

} // namespace

int main(int argc, char** argv)
{
    // Arguments are bytes: a path that is not valid UTF-8 must name exactly
    // that file, not one with a replacement character in its name, so they
    // are taken from argv before anything else reads them.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(mzt::pathFromNative(QByteArray(argv[i])));
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvant"));
    QCoreApplication::setApplicationName(QStringLiteral("mzt500-cli"));

    QCommandLineParser parser;
    QList<QCommandLineOption> allOptions;
    for (const cli::OptionSpec& option : cli::optionTable())
        allOptions.append(
            QCommandLineOption(option.names, QString(), QString::fromLatin1(option.valueName)));
    parser.addOptions(allOptions);
    if (!parser.parse(arguments))
        return usageError(optionError(parser, allOptions));
    if (parser.isSet(QStringLiteral("version"))) {
        printOut(QStringLiteral("mzt500-cli %1\n").arg(QLatin1String(MZT_VERSION)));
        return cli::ExitOk;
    }
    QStringList positional = parser.positionalArguments();
    // "help backup" asks the same as "backup --help".
    const bool helpCommand = positional.value(0) == QLatin1String("help");
    if (helpCommand)
        positional.removeFirst();
    const QString command = positional.value(0);
    if (!command.isEmpty() && !cli::commandNames().contains(command))
        return usageError(withSuggestions(QStringLiteral("unknown command \"%1\"").arg(command),
                                          cli::closestWords(command, cli::commandNames())));
    if (parser.isSet(QStringLiteral("help")) || helpCommand) {
        printOut(command.isEmpty() ? cli::programUsage() : cli::commandUsage(command));
        return cli::ExitOk;
    }

    cli::Options options;
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.overwrite = parser.isSet(QStringLiteral("overwrite"));
    options.skipExisting = parser.isSet(QStringLiteral("skip-existing"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.verify = parser.isSet(QStringLiteral("verify"));
    options.names0 = parser.isSet(QStringLiteral("names0"));
    options.enable = parser.isSet(QStringLiteral("enable"));
    options.disable = parser.isSet(QStringLiteral("disable"));
    if (positional.isEmpty())
        return usageError(QStringLiteral("no command given"));
    options.command = command;
    options.arguments = positional.mid(1);
    if (parser.isSet(QStringLiteral("device"))) {
        bool ok = false;
        options.device = parser.value(QStringLiteral("device")).toInt(&ok);
        if (!ok || options.device < 1)
            return usageError(QStringLiteral("--device takes a recorder number from 1 on"));
    }
    options.folder = parser.value(QStringLiteral("folder"));
    options.file = parser.value(QStringLiteral("file"));
    if (parser.isSet(QStringLiteral("keep"))) {
        bool ok = false;
        options.keep = parser.value(QStringLiteral("keep")).toInt(&ok);
        if (!ok || options.keep < 1)
            return usageError(QStringLiteral("--keep takes a number of backups from 1 on"));
    }
    if (const QString misplaced = misplacedOption(parser, command); !misplaced.isEmpty())
        return usageError(misplaced);
    if (const int status = checkArchivePath(&options); status != cli::ExitOk)
        return status;

    // The libraries log every frame and step at debug level: useful when
    // something goes wrong, noise otherwise. QT_LOGGING_RULES still wins.
    QLoggingCategory::setFilterRules(
        options.verbose ? QStringLiteral("mzt.*.debug=true")
                        : QStringLiteral("*.debug=false\nmzt.*.info=false\nmzt.*.warning=false"));

    std::thread watcher;
    if (::pipe2(signalPipe, O_CLOEXEC) == 0) {
        watcher = std::thread(watchSignals);
        for (const int signal : HandledSignals)
            std::signal(signal, onSignal);
    }
    cli::Cli cli(options);
    const int status = cli.run();
    // The watcher goes before the master it might cancel.
    if (watcher.joinable()) {
        for (const int signal : HandledSignals)
            std::signal(signal, SIG_DFL);
        const char stop = 'q';
        [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &stop, 1);
        watcher.join();
    }
    return status;
}
