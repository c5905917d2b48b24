// How mzt500-cli presents itself: the version, help for every command,
// suggestions for misspellings, and the environment as its help describes it.
#include "clitest.h"

#include <QRegularExpression>

class TestCliUsage : public QObject {
    Q_OBJECT

private:
    // No recorder at all: help and version must not need one.
    QProcessEnvironment m_env = simulatorEnvironment(QStringLiteral("none"));

    const QStringList commands {"devices", "list",           "backup", "restore",
                                "delete",  "update-firmware", "archive"};

private slots:
    void versionIsOneLineAndWinsOverCommands()
    {
        for (const QStringList& args : {QStringList {"--version"}, QStringList {"--version", "list"},
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

    // The help's description of MZT500_PORTS is what the program reads: two
    // ports written the way it says are two ports, and the recorder on the
    // second one is found.
    void portsVariableAsTheHelpDescribesIt()
    {
        const CliRun help = runCli({"--help"}, m_env);
        const QRegularExpressionMatch form =
            QRegularExpression(QStringLiteral("MZT500_PORTS \\(PATH=DESCRIPTION(.)PATH=DESCRIPTION"))
                .match(QString::fromUtf8(help.out).simplified());
        QVERIFY2(form.hasMatch(), help.out.constData());
        const QString separator = form.captured(1);

        QTemporaryDir dir;
        QProcess sim;
        sim.start(QStringLiteral(MZT_SIM),
                  {QStringLiteral("--pty"), QStringLiteral("--config"),
                   writeFile(dir, QStringLiteral("recorder.json"),
                             R"({"files": [{"id": 0, "size": 100}]})")});
        QVERIFY(sim.waitForStarted());
        QVERIFY(sim.waitForReadyRead(10000));
        const QString pty = QString::fromLocal8Bit(sim.readLine().trimmed());

        QProcessEnvironment env = m_env;
        env.remove(QStringLiteral("MZT500_SIMULATOR"));
        env.insert(QStringLiteral("MZT500_PORTS"),
                   dir.filePath(QStringLiteral("absent")) + QStringLiteral("=KORVANT KVP-DEV")
                       + separator + pty + QStringLiteral("=KORVANT KVP-DEV"));
        const CliRun devices = runCli({"devices"}, env);
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(devices.code, 0);
        QVERIFY2(devices.out.contains("MZT-500 #1"), devices.out.constData());
    }
};

QTEST_GUILESS_MAIN(TestCliUsage)
#include "tst_cli_usage.moc"
