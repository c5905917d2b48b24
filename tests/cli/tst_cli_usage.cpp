// What mzt500-cli settles before it asks a recorder anything: the version,
// help for every command, suggestions for misspellings, the environment as
// its help describes it, and archive paths that cannot work.
#include "clitest.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

class TestCliUsage : public QObject {
    Q_OBJECT

private:
    // No recorder at all: help and version must not need one.
    QProcessEnvironment m_env = simulatorEnvironment(QStringLiteral("none"));

    const QStringList commands {"devices",         "list",   "backup", "restore", "delete",
                                "update-firmware", "archive"};

private slots:
    void versionIsOneLineAndWinsOverCommands()
    {
        for (const QStringList& args :
             {QStringList {"--version"}, QStringList {"--version", "list"},
              QStringList {"backup", "--version"}}) {
            const CliRun run = runCli(args, m_env);
            QCOMPARE(run.code, 0);
            QVERIFY2(QRegularExpression(QStringLiteral("^mzt500-cli \\d+\\.\\d+\\.\\d+\\n$"))
                         .match(QString::fromUtf8(run.out))
                         .hasMatch(),
                     run.out.constData());
            QVERIFY(run.err.isEmpty());
        }
    }

    // Every spelling of "help for this command" gives the same text, which
    // names the command in its usage line and differs from the overview.
    void everyCommandHasItsOwnHelp()
    {
        const CliRun overview = runCli({"--help"}, m_env);
        QCOMPARE(overview.code, 0);
        for (const QString& command : commands) {
            const CliRun after = runCli({command, "--help"}, m_env);
            QCOMPARE(after.code, 0);
            QVERIFY2(after.out.startsWith("Usage: mzt500-cli"), qPrintable(command));
            QVERIFY2(QString::fromUtf8(after.out.left(after.out.indexOf('\n')))
                         .contains(QLatin1Char(' ') + command),
                     qPrintable(command));
            QVERIFY(after.out.contains("Exit status:"));
            QVERIFY(after.out != overview.out);
            QVERIFY(after.err.isEmpty());
            // A command's help needs none of the command's arguments.
            QCOMPARE(runCli({"-h", command}, m_env).out, after.out);
            QCOMPARE(runCli({"help", command}, m_env).out, after.out);
            // ...and every command is in the overview.
            QVERIFY2(overview.out.contains("  " + command.toUtf8() + ' '), qPrintable(command));
        }
        QCOMPARE(runCli({"help"}, m_env).out, overview.out);
    }

    void misspellingsGetSuggestions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("suggestion");
        QTest::newRow("extra letter") << QStringList {"backupp", "a.mzt"} << "\"backup\"?";
        QTest::newRow("missing letter") << QStringList {"lst"} << "\"list\"?";
        QTest::newRow("swapped letters") << QStringList {"restroe", "a.mzt"} << "\"restore\"?";
        QTest::newRow("capitals") << QStringList {"DELETE", "3"} << "\"delete\"?";
        QTest::newRow("beginning") << QStringList {"update"} << "\"update-firmware\"?";
        QTest::newRow("two near") << QStringList {"de"} << "\"devices\" or \"delete\"?";
        QTest::newRow("help for a misspelt command")
            << QStringList {"help", "archiv"} << "\"archive\"?";
        QTest::newRow("option") << QStringList {"--overwrit", "restore", "a.mzt"}
                                << "\"--overwrite\"?";
        QTest::newRow("nothing near") << QStringList {"xyzzy"} << QString();
    }

    void misspellingsGetSuggestions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, suggestion);
        const CliRun run = runCli(args, m_env);
        QCOMPARE(run.code, 2);
        QVERIFY2(run.oneLineReason(), run.err.constData());
        QVERIFY(run.out.isEmpty());
        if (suggestion.isEmpty())
            QVERIFY2(!run.err.contains("did you mean"), run.err.constData());
        else
            QVERIFY2(run.err.contains("did you mean " + suggestion.toUtf8()), run.err.constData());
    }

    void optionsBelongToTheirCommands()
    {
        for (const QStringList& args :
             {QStringList {"backup", "a.mzt", "--json"}, QStringList {"list", "--dry-run"},
              QStringList {"backup", "a.mzt", "--skip-existing"},
              QStringList {"restore", "a.mzt", "--skip-existing", "--overwrite"}}) {
            const CliRun run = runCli(args, m_env);
            QCOMPARE(run.code, 2);
            QVERIFY2(run.oneLineReason(), qPrintable(args.join(' ')));
        }
    }

    // A wrong number of arguments is a usage error, said before any recorder
    // or file is touched.
    void wrongArgumentCountsAreUsageErrors()
    {
        struct Case {
            QStringList args;
            const char* reason;
        };
        const Case cases[] = {
            {{"list", "extra"}, "list takes no arguments"},
            {{"backup"}, "backup needs the archive to write"},
            {{"delete"}, "delete needs the names of the files to delete"},
            {{"update-firmware", "a.kv2", "b.kv2"}, "update-firmware takes at most one"},
            {{"history", "KV000001", "KV000002"}, "one recorder at a time"},
            {{"watch", "--enable", "extra"}, "watch takes no arguments"},
        };
        for (const Case& c : cases) {
            const CliRun run = runCli(c.args, m_env);
            QCOMPARE(run.code, 2);
            QVERIFY2(run.oneLineReason() && run.err.contains(c.reason), run.err.constData());
            QVERIFY(run.out.isEmpty());
        }
    }

    // A recorder that takes requests and never answers: a command that asks
    // it anything ends with "no recorder" (3), so a file error (6) shows the
    // path was refused first.
    void badArchivePathsFailBeforeTheRecorder()
    {
        QTemporaryDir dir;
        const QProcessEnvironment silent = simulatorEnvironment(
            writeFile(dir, QStringLiteral("silent.json"),
                      R"({"devices": [{"kind": "recorder", "answering": false}]})"));
        const QString notArchive =
            writeFile(dir, QStringLiteral("notes.mzt"), QByteArray("not an archive"));
        struct Case {
            QStringList args;
            const char* reason;
        };
        const Case cases[] = {
            {{"backup", dir.filePath(QStringLiteral("missing/a.mzt"))}, "does not exist"},
            {{"backup", QStringLiteral("/proc/a.mzt")}, "is not writable"},
            {{"backup", dir.path()}, "is a folder"},
            {{"backup", notArchive}, "is not a readable MZT-500 archive"},
            {{"restore", dir.filePath(QStringLiteral("none.mzt"))}, "no such file"},
            {{"restore", dir.filePath(QStringLiteral("none"))}, "no such file"},
        };
        for (const Case& c : cases) {
            const CliRun run = runCli(c.args, silent);
            QCOMPARE(run.code, 6);
            QVERIFY2(run.oneLineReason() && run.err.contains(c.reason), run.err.constData());
        }
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("missing"))));
        QCOMPARE(readFile(notArchive), QByteArray("not an archive"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // A name typed without ".mzt" gets it, and the program says so; a file
    // that exists under exactly the typed name is used as it is.
    void archiveNamesGetTheirSuffix()
    {
        QTemporaryDir dir;
        const QProcessEnvironment env = simulatorEnvironment(writeFile(
            dir, QStringLiteral("recorder.json"),
            R"({"devices": [{"files": [{"id": 0, "size": 100}, {"id": 4, "size": 600}]}]})"));
        const QString show = dir.filePath(QStringLiteral("show"));
        const CliRun backup = runCli({"backup", show, "4"}, env);
        QCOMPARE(backup.code, 0);
        QVERIFY2(backup.err.contains("using " + show.toUtf8() + ".mzt"), backup.err.constData());
        QVERIFY(QFileInfo::exists(show + QStringLiteral(".mzt")));
        QVERIFY(!QFileInfo::exists(show));

        const CliRun quiet = runCli({"-q", "archive", show}, env);
        QCOMPARE(quiet.code, 0);
        QVERIFY(quiet.err.isEmpty());
        QVERIFY(quiet.out.contains("SEQUENCE 04"));

        // An archive saved under a name without the suffix stays that file.
        QVERIFY(QFile::copy(show + QStringLiteral(".mzt"), show));
        QCOMPARE(runCli({"backup", show, "0"}, env).code, 0);
        QCOMPARE(lines(runCli({"archive", show}, env).out).size(), 3);
        QCOMPARE(lines(runCli({"archive", show + QStringLiteral(".mzt")}, env).out).size(), 2);
    }

    // The help's description of MZT500_PORTS is what the program reads: two
    // ports written the way it says are two ports, and the recorder on the
    // second one is found.
    void portsVariableAsTheHelpDescribesIt()
    {
        const CliRun help = runCli({"--help"}, m_env);
        const QRegularExpressionMatch form =
            QRegularExpression(
                QStringLiteral("MZT500_PORTS \\(PATH=DESCRIPTION(.)PATH=DESCRIPTION"))
                .match(QString::fromUtf8(help.out).simplified());
        QVERIFY2(form.hasMatch(), help.out.constData());
        const QString separator = form.captured(1);

        QTemporaryDir dir;
        PtyRecorder recorder;
        QVERIFY(recorder.start(R"({"files": [{"id": 0, "size": 100}]})"));
        QProcessEnvironment env = recorder.environment();
        env.insert(QStringLiteral("MZT500_PORTS"),
                   dir.filePath(QStringLiteral("absent")) + QStringLiteral("=KORVANT KVP-DEV")
                       + separator + recorder.pty() + QStringLiteral("=KORVANT KVP-DEV"));
        const CliRun devices = runCli({"devices"}, env);
        QCOMPARE(devices.code, 0);
        QVERIFY2(devices.out.contains("MZT-500 #1"), devices.out.constData());
    }
};

QTEST_GUILESS_MAIN(TestCliUsage)
#include "tst_cli_usage.moc"
