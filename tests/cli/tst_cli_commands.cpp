// mzt500-cli end to end against recorders simulated inside the CLI process
// (MZT500_SIMULATOR): what each command prints, its exit status, and that
// refusals and failures leave archives and recorders alone.
#include "archive_lock.h"
#include "clitest.h"

#include <csignal>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kv2format.h"

#include <QRegularExpression>

namespace {

// A recorder that only answers file commands in transfer mode, with the
// settings, two sequences (one spread over several reply frames) and a file
// of a type that has no name.
const QByteArray Recorder = R"({"serial": "KV000001", "requireTransferMode": true,
  "files": [{"id": 0, "size": 1000}, {"id": 3, "size": 5000, "durationMs": 65499},
            {"id": 7, "size": 3000, "durationMs": 500}, {"id": 9, "type": 5, "size": 64}]})";

QByteArray withFaults(const QByteArray& faults)
{
    return R"({"requireTransferMode": true, "files": [{"id": 3, "size": 4000}], "faults": )"
        + faults + "}";
}

QStringList fields(const QString& line)
{
    static const QRegularExpression gap(QStringLiteral("\\s{2,}"));
    return line.trimmed().split(gap);
}

void addEntry(MZTArchive* archive, const QString& name, qint32 id, qint32 type,
              const QByteArray& content)
{
    auto* entry = new ArchiveEntry;
    entry->setName(name);
    entry->setId(id);
    entry->setType(type);
    entry->appendContent(content.constData(), content.size());
    archive->addEntry(entry);
}

QByteArray kv2File(const QString& model)
{
    kv2::BuildInput in;
    in.model = model;
    in.sections = {kv2::placeholderSection("a", 512), kv2::placeholderSection("b", 256)};
    QByteArray out;
    QString error;
    if (!kv2::build(in, &out, &error))
        qFatal("%s", qPrintable(error));
    return out;
}

} // namespace

class TestCliCommands : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QProcessEnvironment recorder(const QByteArray& json,
                                 const QString& name = QStringLiteral("sim.json"))
    {
        return simulatorEnvironment(writeFile(m_dir, name, json));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void devicesAndSelection()
    {
        const auto env = recorder(R"({"devices": [
            {"serial": "KV000001", "files": [{"id": 3, "size": 64}]},
            {"kind": "foreign", "serial": "FT000001"},
            {"serial": "KV000300", "model": "MZT-300"},
            {"serial": "KVSILENT", "answering": false},
            {"kind": "dongle", "serial": "DG000001", "files": [{"id": 5, "size": 64}]}]})");

        // Only recorders that answer get a line; only the MZT-500s a number.
        const CliRun devices = runCli({"devices"}, env);
        QCOMPARE(devices.code, 0);
        const QStringList rows = lines(devices.out);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(fields(rows[0]), QStringList({"1", "MZT-500 #1", "KORVANT KVP-DEV", "KV000001"}));
        QCOMPARE(fields(rows[1]), QStringList({"2", "MZT-300", "KORVANT KVP-DEV", "KV000300"}));
        QCOMPARE(fields(rows[2]), QStringList({"3", "MZT-500 #2", "KORVANT KVP-DGL", "DG000001"}));

        const CliRun first = runCli({"list"}, env);
        QCOMPARE(first.code, 0);
        QCOMPARE(fields(lines(first.out).value(0)).value(0), QStringLiteral("SEQUENCE 03"));
        const CliRun third = runCli({"--device", "3", "list"}, env);
        QCOMPARE(third.code, 0);
        QCOMPARE(fields(lines(third.out).value(0)).value(0), QStringLiteral("SEQUENCE 05"));

        const CliRun otherModel = runCli({"list", "--device", "2"}, env);
        QCOMPARE(otherModel.code, 1);
        QVERIFY(otherModel.oneLineReason());
        QVERIFY(otherModel.err.contains("MZT-300"));
        const CliRun beyond = runCli({"--device", "4", "list"}, env);
        QCOMPARE(beyond.code, 3);
        QVERIFY(beyond.oneLineReason());

        const auto none = recorder("[]", QStringLiteral("none.json"));
        for (const QString& command : {QStringLiteral("devices"), QStringLiteral("list")}) {
            const CliRun run = runCli({command}, none);
            QCOMPARE(run.code, 3);
            QVERIFY(run.oneLineReason());
            QVERIFY(run.out.isEmpty());
        }
    }

    void listShowsTheRecordersRows()
    {
        const CliRun run = runCli({"list"}, recorder(Recorder));
        QCOMPARE(run.code, 0);
        const QStringList rows = lines(run.out);
        QCOMPARE(rows.size(), 4);
        QCOMPARE(fields(rows[0]), QStringList({"SETTINGS", "1.00 KBytes"}));
        QCOMPARE(fields(rows[1]), QStringList({"SEQUENCE 03", "5.00 KBytes", "0:01:05"}));
        QCOMPARE(fields(rows[2]), QStringList({"SEQUENCE 07", "3.00 KBytes", "0:00:01"}));
        QCOMPARE(fields(rows[3]), QStringList({"(id 9)", "1.00 KBytes"}));
    }

    void backupCreatesAndUpdatesArchives()
    {
        const auto env = recorder(Recorder);
        const auto files = configuredFiles("[" + Recorder + "]");
        const QString fresh = m_dir.filePath(QStringLiteral("fresh.mzt"));

        const CliRun all = runCli({"backup", fresh}, env);
        QCOMPARE(all.code, 0);
        QVERIFY2(all.err.isEmpty(), all.err.constData()); // no progress bar into a pipe
        QCOMPARE(lines(all.out).size(), 4);
        for (const QString& line : lines(all.out))
            QCOMPARE(fields(line).value(1), QStringLiteral("added"));
        bool ok = false;
        const QList<LoadedEntry> entries = archiveEntries(fresh, &ok);
        QVERIFY(ok);
        QCOMPARE(entries.size(), 4);
        const QList<std::pair<QString, int>> expected {
            {"SETTINGS", 120}, {"SEQUENCE 03", 3}, {"SEQUENCE 07", 7}, {"", 9}};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(entries[i].name, expected[i].first);
            QCOMPARE(entries[i].content, files.at(std::uint16_t(expected[i].second)));
        }
        QCOMPARE(entries[1].duration, 65499u);
        QCOMPARE(entries[3].type, 5);

        // An existing archive keeps its other entries and their order; the
        // entry with the recorder file's id is refilled in place.
        const QString old = m_dir.filePath(QStringLiteral("old.mzt"));
        {
            MZTArchive archive(old);
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, QByteArray(32, 'x'));
            addEntry(&archive, QStringLiteral("SEQUENCE 20"), 20, 1, QByteArray(48, 'y'));
            QVERIFY(archive.save());
        }
        const CliRun named = runCli({"backup", old, "SEQUENCE", "03"}, env);
        QCOMPARE(named.code, 0);
        QCOMPARE(fields(named.out.trimmed()), QStringList({"SEQUENCE 03", "replaced"}));
        QList<LoadedEntry> updated = archiveEntries(old);
        QCOMPARE(updated.size(), 2);
        QCOMPARE(updated[0].content, files.at(3));
        QCOMPARE(updated[1].name, QStringLiteral("SEQUENCE 20"));
        QCOMPARE(updated[1].content.mid(16), QByteArray(32, 'y'));

        const CliRun quiet = runCli({"-q", "backup", old, "7"}, env);
        QCOMPARE(quiet.code, 0);
        QVERIFY(quiet.out.isEmpty());
        updated = archiveEntries(old);
        QCOMPARE(updated.size(), 3);
        QCOMPARE(updated[2].content, files.at(7));

        const CliRun unknown = runCli({"backup", old, "SEQUENCE 04"}, env);
        QCOMPARE(unknown.code, 1);
        QVERIFY(unknown.oneLineReason());
    }

    void failedReadLeavesTheArchiveUntouched_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::newRow("no data reply") << withFaults(R"({"silentCommand": 10, "silentCount": -1})");
        QTest::newRow("error status")
            << withFaults(R"({"statusCommand": 9, "status": 5, "statusCount": 100})");
        // A record header and one byte more: a recorder file never has an odd length.
        const QByteArray odd = QByteArray::fromHex("03000000"
                                                   "01000000"
                                                   "00040000"
                                                   "00000000"
                                                   "55");
        QTest::newRow("odd length")
            << QByteArray(R"({"files": [{"id": 3, "data": ")" + odd.toBase64() + R"("}]})");
    }

    void failedReadLeavesTheArchiveUntouched()
    {
        QFETCH(QByteArray, config);
        const auto env = recorder(config, QStringLiteral("faulty.json"));
        const QString path = m_dir.filePath(QStringLiteral("kept.mzt"));
        {
            MZTArchive archive(path);
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, QByteArray(64, 'k'));
            QVERIFY(archive.save());
        }
        const QByteArray before = readFile(path);
        const CliRun existing = runCli({"backup", path}, env);
        QCOMPARE(existing.code, 1);
        QVERIFY(existing.oneLineReason());
        QCOMPARE(readFile(path), before);

        const QString fresh = m_dir.filePath(QStringLiteral("never.mzt"));
        QCOMPARE(runCli({"backup", fresh}, env).code, 1);
        QVERIFY(!QFile::exists(fresh));
    }

    // Every signal that ends a terminal session or a job stops a backup the
    // same way, with the exit status the shell gives that signal.
    void interruptedBackupLeavesTheArchiveUntouched_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGINT") << int(SIGINT) << 130;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
        QTest::newRow("SIGHUP") << int(SIGHUP) << 129;
    }

    void interruptedBackupLeavesTheArchiveUntouched()
    {
        QFETCH(int, signal);
        QFETCH(int, status);
        // At the serial line's own pace this file takes seconds to read.
        const auto env = recorder(R"({"timing": "wire", "files": [{"id": 3, "size": 200000}]})",
                                  QStringLiteral("slow.json"));
        const QString path = m_dir.filePath(QStringLiteral("interrupted.mzt"));
        {
            MZTArchive archive(path);
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, QByteArray(64, 'k'));
            QVERIFY(archive.save());
        }
        const QByteArray before = readFile(path);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(MZT_CLI), {QStringLiteral("backup"), path});
        QVERIFY(p.waitForStarted());
        QTest::qWait(1500);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), status);
        QCOMPARE(p.readAllStandardError(), QByteArray("mzt500-cli: Interrupted.\n"));
        QCOMPARE(readFile(path), before);
        // Neither the lock nor a new file is left beside it.
        QVERIFY(!QFileInfo::exists(path + QStringLiteral(".mzt500-lock")));
    }

    // An archive that cannot be saved now is refused before the recorder is
    // read, and left as it is: one made read-only (root too, whom access()
    // lets write it), and one another program is saving into.
    void archivesThatMustNotBeReplaced()
    {
        const auto env = recorder(Recorder);
        const QString path = m_dir.filePath(QStringLiteral("kept.mzt"));
        {
            MZTArchive archive(path);
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, QByteArray(64, 'k'));
            QVERIFY(archive.save());
        }
        const QByteArray before = readFile(path);

        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        const CliRun readOnly = runCli({"backup", path}, env);
        QCOMPARE(readOnly.code, 6);
        QCOMPARE(readOnly.err, "mzt500-cli: " + path.toUtf8() + " is write-protected.\n");
        QCOMPARE(readFile(path), before);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));

        mzt::ArchiveLock other;
        qint64 holder = 0;
        QString reason;
        QCOMPARE(other.tryLock(path, &holder, &reason), mzt::ArchiveLock::Outcome::Taken);
        const CliRun locked = runCli({"backup", path}, env);
        QCOMPARE(locked.code, 6);
        QVERIFY2(locked.oneLineReason() && locked.err.contains("is in use by another program"),
                 locked.err.constData());
        QCOMPARE(readFile(path), before);
        other.release();
        QCOMPARE(runCli({"-q", "backup", path, "7"}, env).code, 0);
        QCOMPARE(archiveEntries(path).size(), 2);
    }

    // Paths are bytes: under the C locale two names that differ only in a
    // Latin-1 letter are two archives, each made under exactly its name and
    // named so in messages.
    void pathsAreUsedAsGiven()
    {
        const auto env = recorder(Recorder);
        const QByteArray folder = QFile::encodeName(m_dir.path());
        const auto run = [&](const QByteArray& command) {
            QProcess p;
            QProcessEnvironment c = env;
            c.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
            p.setProcessEnvironment(c);
            p.setWorkingDirectory(m_dir.path());
            p.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QString::fromLatin1(command), QStringLiteral(MZT_CLI)});
            p.waitForFinished(60000);
            return CliRun {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
        };
        // The shell makes the bytes: QProcess would pass its arguments as UTF-8.
        const auto named = [](const char* command, const char* octal) {
            return QByteArray("\"$0\" ") + command + " \"$(printf 'caf\\" + octal + ".mzt')\"";
        };
        QCOMPARE(run(named("-q backup", "351") + " 3").code, 0);
        QCOMPARE(run(named("-q backup", "350") + " 7").code, 0);
        for (const QByteArray& name : {QByteArray("caf\xe9.mzt"), QByteArray("caf\xe8.mzt")}) {
            struct stat st { };
            QCOMPARE(::stat((folder + '/' + name).constData(), &st), 0);
        }
        QVERIFY(run(named("archive", "351")).out.contains("SEQUENCE 03"));
        QVERIFY(run(named("archive", "350")).out.contains("SEQUENCE 07"));
        const CliRun missing = run(named("archive", "347"));
        QCOMPARE(missing.code, 6);
        QCOMPARE(missing.err, QByteArray("mzt500-cli: caf\xe7.mzt: no such file.\n"));
        for (const QByteArray& name : {QByteArray("caf\xe9.mzt"), QByteArray("caf\xe8.mzt")})
            ::unlink((folder + '/' + name).constData());
    }

    // Entry names are data: on a terminal their control characters are
    // shown as escapes, never sent to it; piped, the listing is as before.
    void namesReachATerminalVisible()
    {
        const QString path = m_dir.filePath(QStringLiteral("escapes.mzt"));
        {
            MZTArchive archive(path);
            addEntry(&archive, QStringLiteral("a\x1b[31mred\tb"), 4, 1, QByteArray(64, 'k'));
            QVERIFY(archive.save());
        }
        int master = -1;
        int slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        QProcess p;
        p.setProcessEnvironment(recorder(Recorder));
        p.setChildProcessModifier([slave] {
            ::dup2(slave, STDOUT_FILENO);
            ::dup2(slave, STDERR_FILENO);
        });
        p.start(QStringLiteral(MZT_CLI), {QStringLiteral("archive"), path});
        QVERIFY(p.waitForFinished(60000));
        ::close(slave);
        QByteArray shown;
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            shown.append(buffer, n);
        ::close(master);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(shown.contains("a\\033[31mred\\tb"), shown.constData());
        QVERIFY(!shown.contains('\x1b'));

        const CliRun piped = runCli({"archive", path}, recorder(Recorder));
        QVERIFY(piped.out.contains("a\x1b[31mred\tb"));
    }

    void badArchivesChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("SEQUENCE 03\n");
        // An archive cut off inside an entry's data.
        QString whole = m_dir.filePath(QStringLiteral("whole.mzt"));
        {
            MZTArchive archive(whole);
            QByteArray content(16, '\0');
            for (int i = 0; i < 40000; ++i)
                content.append(char((i * 7919) >> 3));
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, content);
            QVERIFY(archive.save());
        }
        const QByteArray saved = readFile(whole);
        QTest::newRow("truncated") << saved.left(saved.size() / 2);
    }

    void badArchivesChangeNothing()
    {
        QFETCH(QByteArray, bytes);
        const QString path = writeFile(m_dir, QStringLiteral("bad.mzt"), bytes);
        const auto env = recorder(Recorder);
        for (const QStringList& args :
             {QStringList {"backup", path}, QStringList {"restore", path, "--overwrite"},
              QStringList {"archive", path}}) {
            const CliRun run = runCli(args, env);
            QCOMPARE(run.code, 6);
            QVERIFY2(run.oneLineReason(), run.err.constData());
            QVERIFY(run.out.isEmpty());
            QCOMPARE(readFile(path), bytes);
        }
        const CliRun missing =
            runCli({"restore", m_dir.filePath(QStringLiteral("missing.mzt"))}, env);
        QCOMPARE(missing.code, 6);
        QVERIFY(missing.oneLineReason());
    }

    void restoreChecksBeforeWriting()
    {
        const auto env = recorder(Recorder);
        const QString path = m_dir.filePath(QStringLiteral("restore.mzt"));
        {
            MZTArchive archive(path);
            addEntry(&archive, QStringLiteral("SEQUENCE 03"), 3, 1, QByteArray(2000, '3'));
            addEntry(&archive, QStringLiteral("SEQUENCE 04"), 4, 1, QByteArray(2000, '4'));
            QVERIFY(archive.save());
        }
        const CliRun refused = runCli({"restore", path}, env);
        QCOMPARE(refused.code, 4);
        QVERIFY(refused.oneLineReason());
        QVERIFY(refused.err.contains("SEQUENCE 03"));
        QVERIFY(!refused.err.contains("SEQUENCE 04"));
        QVERIFY(refused.out.isEmpty());

        const CliRun absent = runCli({"restore", path, "4"}, env);
        QCOMPARE(absent.code, 0);
        QCOMPARE(fields(absent.out.trimmed()), QStringList({"SEQUENCE 04", "written"}));

        const CliRun overwrite = runCli({"restore", "--overwrite", path}, env);
        QCOMPARE(overwrite.code, 0);
        QCOMPARE(lines(overwrite.out),
                 QStringList({"SEQUENCE 03   replaced", "SEQUENCE 04   written"}));

        QCOMPARE(runCli({"restore", path, "SEQUENCE 12"}, env).code, 1);

        // The settings live under id 0 only; such an entry is refused before
        // the recorder is asked anything.
        const QString odd = m_dir.filePath(QStringLiteral("odd.mzt"));
        {
            MZTArchive archive(odd);
            addEntry(&archive, QStringLiteral("SETTINGS"), 5, 0, QByteArray(64, 's'));
            QVERIFY(archive.save());
        }
        const CliRun inconsistent = runCli({"restore", odd, "--overwrite"}, env);
        QCOMPARE(inconsistent.code, 6);
        QVERIFY(inconsistent.oneLineReason());
    }

    void busyRecorderIsReported()
    {
        const auto env =
            recorder(R"({"refuseTransferMode": true, "files": [{"id": 3, "size": 64}]})",
                     QStringLiteral("busy.json"));
        const CliRun list = runCli({"list"}, env);
        QCOMPARE(list.code, 5);
        QCOMPARE(list.err, QByteArray("mzt500-cli: The device is currently busy.\n"));
        const QString path = m_dir.filePath(QStringLiteral("busy.mzt"));
        QCOMPARE(runCli({"backup", path}, env).code, 5);
        QVERIFY(!QFile::exists(path));
    }

    void deleteRefusalsAndFailures()
    {
        const auto env = recorder(Recorder);
        for (const QStringList& args : {QStringList {"delete", "SETTINGS"},
                                        QStringList {"delete", "3", "0"}, QStringList {"delete"}}) {
            const CliRun run = runCli(args, env);
            QCOMPARE(run.code, 2);
            QVERIFY(run.oneLineReason());
        }
        const CliRun absent = runCli({"delete", "3", "SEQUENCE 05"}, env);
        QCOMPARE(absent.code, 1);
        QVERIFY(absent.err.contains("SEQUENCE 05"));
        QVERIFY(absent.out.isEmpty()); // nothing deleted when one name is wrong

        const CliRun deleted = runCli({"delete", "sequence 3", "7"}, env);
        QCOMPARE(deleted.code, 0);
        QCOMPARE(lines(deleted.out),
                 QStringList({"SEQUENCE 03   deleted", "SEQUENCE 07   deleted"}));

        const auto failing =
            recorder(withFaults(R"({"deletionError": 3})"), QStringLiteral("kvfs.json"));
        const CliRun error = runCli({"delete", "3"}, failing);
        QCOMPARE(error.code, 1);
        QVERIFY(error.oneLineReason());
    }

    void firmwareFiles()
    {
        const auto env = recorder(Recorder);
        const CliRun builtIn = runCli({"update-firmware"}, env);
        QCOMPARE(builtIn.code, 0);
        QVERIFY(builtIn.out.contains("MZT-500 #1"));
        const QString good =
            writeFile(m_dir, QStringLiteral("good.kv2"), kv2File(QStringLiteral("MZT-500")));
        QCOMPARE(runCli({"update-firmware", good}, env).code, 0);

        QByteArray damaged = kv2File(QStringLiteral("MZT-500"));
        damaged[kv2::HeaderSize + 10] = char(damaged[kv2::HeaderSize + 10] ^ 0x5A);
        const struct {
            QString name;
            QByteArray bytes;
            const char* reason;
        } bad[] = {
            {QStringLiteral("text.kv2"), QByteArray("KVU2 but not really"),
             " is not a valid KV2 file."},
            {QStringLiteral("sum.kv2"), damaged, " is not a valid KV2 file."},
            {QStringLiteral("other.kv2"), kv2File(QStringLiteral("MZT-300")),
             " does not contain a firmware update for the connected device."},
        };
        for (const auto& file : bad) {
            const QString path = writeFile(m_dir, file.name, file.bytes);
            const CliRun run = runCli({"update-firmware", path}, env);
            QCOMPARE(run.code, 6);
            QVERIFY(run.oneLineReason());
            QVERIFY2(run.err.contains(file.reason), run.err.constData());
            QCOMPARE(readFile(path), file.bytes);
        }
        const CliRun missing =
            runCli({"update-firmware", m_dir.filePath(QStringLiteral("none.kv2"))}, env);
        QCOMPARE(missing.code, 6);
        QVERIFY(missing.err.contains(" is not readable."));
    }

    void commandLineMistakes()
    {
        const auto env = recorder(Recorder);
        for (const QStringList& args :
             {QStringList {}, QStringList {"backupp"}, QStringList {"--device", "0", "list"},
              QStringList {"--device", "x", "list"}, QStringList {"backup", "a.mzt", "--overwrite"},
              QStringList {"list", "extra"}, QStringList {"--bogus", "list"},
              QStringList {"backup"}, QStringList {"archive"},
              QStringList {"update-firmware", "a.kv2", "b.kv2"}}) {
            const CliRun run = runCli(args, env);
            QCOMPARE(run.code, 2);
            QVERIFY2(run.oneLineReason(), qPrintable(args.join(' ')));
        }
        const CliRun help = runCli({"--help"}, env);
        QCOMPARE(help.code, 0);
        QVERIFY(help.out.startsWith("Usage: mzt500-cli"));
    }
};

QTEST_GUILESS_MAIN(TestCliCommands)
#include "tst_cli_commands.moc"
