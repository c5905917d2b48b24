// The command table against the places that repeat it by hand: the bash
// completion, the man page and each command's own synopsis. A command or
// option added to the table and forgotten there fails here.
#include "command_table.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return QString::fromUtf8(file.readAll());
}

// What the completion offers for the last of these words, one offer each.
QSet<QString> completionOffers(const QStringList& words)
{
    QString array;
    for (const QString& word : words)
        array += QLatin1Char('\'') + word + QStringLiteral("' ");
    const QString script =
        QStringLiteral("source \"$1\" && COMP_WORDS=(%1) && COMP_CWORD=%2 && _mzt500_cli && "
                       "printf '%s\\n' \"${COMPREPLY[@]}\"")
            .arg(array)
            .arg(words.size() - 1);
    QProcess bash;
    bash.start(QStringLiteral("bash"),
               {QStringLiteral("-c"), script, QStringLiteral("bash"),
                QStringLiteral(MZT_SOURCE_DIR "/packaging/completion/mzt500-cli")});
    if (!bash.waitForFinished(60000) || bash.exitCode() != 0)
        qFatal("the completion script failed: %s", bash.readAllStandardError().constData());
    const QStringList offers = QString::fromUtf8(bash.readAllStandardOutput())
                                   .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return QSet<QString>(offers.cbegin(), offers.cend());
}

// The man page's section as plain words: escapes and font requests gone.
QString manSection(const QString& page, const QString& heading)
{
    const qsizetype start = page.indexOf(QStringLiteral("\n.SH ") + heading + QLatin1Char('\n'));
    if (start < 0)
        return QString();
    const qsizetype end = page.indexOf(QStringLiteral("\n.SH "), start + 1);
    QString text = page.mid(start, end < 0 ? -1 : end - start);
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    text.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
    text.remove(QRegularExpression(QStringLiteral("^\\.(B|BI|BR|I|IR|RB)\\b"),
                                   QRegularExpression::MultilineOption));
    text.remove(QLatin1Char('"'));
    return text;
}

// The paragraphs of a section that start with a tag (.TP), tag first.
QStringList manItems(const QString& section)
{
    QStringList items = section.split(QStringLiteral("\n.TP\n"));
    items.removeFirst();
    for (QString& item : items)
        item = item.trimmed();
    return items;
}

bool containsWord(const QString& text, const QString& word)
{
    return QRegularExpression(QStringLiteral("(^|[\\s,(])") + QRegularExpression::escape(word)
                              + QStringLiteral("($|[\\s,.:;)])"))
        .match(text)
        .hasMatch();
}

bool isHidden(const QString& option)
{
    const QList<cli::OptionSpec>& table = cli::optionTable();
    return std::any_of(table.cbegin(), table.cend(), [&](const cli::OptionSpec& entry) {
        return entry.hidden && entry.names.first() == option;
    });
}

QStringList globalOptions()
{
    QStringList options;
    for (const cli::OptionSpec& option : cli::optionTable())
        if (!option.hidden && cli::commandsTaking(option.names.first()).isEmpty())
            options.append(QStringLiteral("--") + option.names.first());
    return options;
}

// The argument counts a synopsis such as "ARCHIVE.mzt [NAME...]" promises:
// a bare word is needed, a bracketed one may be left out, "..." repeats.
// An option with its value ("--keep N") is no argument.
cli::ArgumentCount countsOfSynopsis(const QString& synopsis)
{
    cli::ArgumentCount counts;
    const QStringList words = synopsis.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        if (word.startsWith(QLatin1Char('-'))) {
            ++i;
            continue;
        }
        if (!word.startsWith(QLatin1Char('[')))
            ++counts.least;
        counts.most = word.contains(QStringLiteral("...")) ? cli::AnyNumber : counts.most + 1;
    }
    return counts;
}

} // namespace

class TestCliTable : public QObject {
    Q_OBJECT

private slots:
    // Every command is offered, and after "COMMAND --" exactly the options
    // that command takes.
    void completionKnowsEveryCommandAndOption()
    {
        const QSet<QString> commands = completionOffers({"mzt500-cli", ""});
        for (const cli::CommandSpec& command : cli::commandTable()) {
            const QString name = QLatin1String(command.name);
            QVERIFY2(commands.contains(name), qPrintable(name));
            QStringList wanted = globalOptions();
            for (const QString& option : command.options)
                if (!isHidden(option))
                    wanted.append(QStringLiteral("--") + option);
            const QSet<QString> offered = completionOffers({"mzt500-cli", name, "--"});
            QCOMPARE(offered, QSet<QString>(wanted.cbegin(), wanted.cend()));
        }
    }

    // Every command has its paragraph, and every option one that names
    // the commands it belongs to.
    void manPageDescribesEveryCommandAndOption()
    {
        const QString page =
            readText(QStringLiteral(MZT_SOURCE_DIR "/packaging/man/mzt500-cli.1.in"));
        const QStringList commandItems = manItems(manSection(page, QStringLiteral("COMMANDS")));
        for (const cli::CommandSpec& command : cli::commandTable()) {
            const QString name = QLatin1String(command.name);
            QVERIFY2(std::any_of(commandItems.cbegin(), commandItems.cend(),
                                 [&](const QString& item) { return item.startsWith(name); }),
                     qPrintable(name));
        }
        const QStringList optionItems = manItems(manSection(page, QStringLiteral("OPTIONS")));
        for (const cli::OptionSpec& option : cli::optionTable()) {
            if (option.hidden)
                continue;
            const QString name = QStringLiteral("--") + option.names.first();
            const auto item =
                std::find_if(optionItems.cbegin(), optionItems.cend(), [&](const QString& text) {
                    return containsWord(text.left(text.indexOf(QLatin1Char('\n'))), name);
                });
            QVERIFY2(item != optionItems.cend(), qPrintable(name));
            for (const QString& owner : cli::commandsTaking(option.names.first()))
                QVERIFY2(containsWord(*item, owner), qPrintable(name + QLatin1Char(' ') + owner));
        }
    }

    // The arguments a command accepts are the ones its synopsis shows, and
    // a wrong number is explained.
    void argumentCountsMatchTheSynopsis()
    {
        for (const cli::CommandSpec& command : cli::commandTable()) {
            const cli::ArgumentCount shown = countsOfSynopsis(QLatin1String(command.synopsis));
            const QByteArray name = command.name;
            QVERIFY2(command.arguments.least == shown.least, name);
            QVERIFY2(command.arguments.most == shown.most, name);
            QVERIFY2(QByteArray(command.arguments.wrongCount).contains("(see --help)"), name);
        }
    }
};

QTEST_GUILESS_MAIN(TestCliTable)
#include "tst_cli_table.moc"
