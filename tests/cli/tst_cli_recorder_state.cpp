// What mzt500-cli leaves on a recorder and how it treats one that another
// program holds, against mzt500-sim --pty, whose log follows the recorder's
// transfer mode: a dry run does not switch it, an interrupted transfer lets
// it go, and a held recorder is reported in use, not absent.
#include "clitest.h"

#include <QElapsedTimer>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray Entered = "enters transfer mode";
const QByteArray Left = "leaves transfer mode";

// Wire timing: the big sequence takes seconds to move, long enough to be
// interrupted in the middle.
const QByteArray Recorder = R"({"timing": "wire", "deleteDurationMs": 3000,
  "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 600, "durationMs": 61000},
            {"id": 2, "size": 300000, "durationMs": 1500}, {"id": 5, "size": 400}]})";

// Answers questions about its files only in transfer mode.
const QByteArray StrictRecorder = R"({"requireTransferMode": true,
  "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 600, "durationMs": 61000}]})";

// Every reply comes late, so a signal can arrive while the recorder is being
// switched into transfer mode.
const QByteArray SlowRecorder = R"({"turnaroundUs": 300000,
  "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 600, "durationMs": 61000}]})";

// Another program's hold on a serial port, taken as this program takes it.
class PortHolder {
public:
    explicit PortHolder(const QString& path)
        : m_fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~PortHolder()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holds() const { return m_fd >= 0; }

private:
    int m_fd;
};

QByteArray fileContent(quint32 id, quint32 size, char fill)
{
    QByteArray content(int(size), fill);
    const quint32 header[4] = {id, 1, size, 1000};
    std::memcpy(content.data(), header, sizeof header);
    return content;
}

// An archive holding one sequence of that id and size.
bool writeArchive(const QString& path, quint32 id, quint32 size)
{
    MZTArchive archive(path);
    if (!archive.save() || !archive.load())
        return false;
    auto* entry = new ArchiveEntry;
    entry->setName(QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
    entry->setId(qint32(id));
    entry->setType(1);
    const QByteArray content = fileContent(id, size, 'r');
    entry->appendContent(content.constData(), content.size());
    archive.addEntry(entry);
    return archive.save();
}

} // namespace

class TestCliRecorderState : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PtyRecorder m_recorder;
    PtyRecorder m_strict;

    // Starts the command, waits for what the recorder logs once the command
    // is at work, then signals it; the exit code after it ended.
    int interrupt(QProcess* command, const QStringList& args, const QByteArray& atWork, int signal,
                  int settleMs, PtyRecorder* recorder)
    {
        command->setProcessEnvironment(recorder->environment());
        command->start(QStringLiteral(MZT_CLI), args);
        if (!command->waitForStarted() || !recorder->waitForLog(atWork))
            return -1;
        // Into the middle of the transfer that follows.
        QTest::qWait(settleMs);
        QElapsedTimer ending;
        ending.start();
        ::kill(pid_t(command->processId()), signal);
        if (!command->waitForFinished(60000))
            return -1;
        qInfo("\"%s\" ended %lld ms after the signal", qPrintable(args.join(QLatin1Char(' '))),
              ending.elapsed());
        return command->exitStatus() == QProcess::NormalExit ? command->exitCode() : -2;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_recorder.start(Recorder, true));
        QVERIFY(m_strict.start(StrictRecorder, true));
    }

    void cleanupTestCase()
    {
        QVERIFY(m_recorder.stop());
        QVERIFY(m_strict.stop());
    }

    void aRecorderAnotherProgramHoldsIsInUseNotAbsent()
    {
        const QString archive = m_dir.filePath(QStringLiteral("held.mzt"));
        {
            PortHolder holder(m_recorder.pty());
            QVERIFY(holder.holds());
            for (const QStringList& args :
                 {QStringList {"list"}, QStringList {"devices"}, QStringList {"backup", archive}}) {
                const CliRun run = m_recorder.run(args);
                QCOMPARE(run.code, 5);
                QVERIFY2(run.oneLineReason(), run.err.constData());
                QVERIFY2(run.err.contains("is in use by another program"), run.err.constData());
                QVERIFY2(run.err.contains(m_recorder.pty().toLocal8Bit()), run.err.constData());
            }
            QVERIFY(!QFile::exists(archive));
        }
        QCOMPARE(m_recorder.run({"list"}).code, 0);
    }

    // The first command line holds the recorder for the length of its
    // backup; a second one finds it in use.
    void aSecondCommandLineFindsTheRecorderInUse()
    {
        m_recorder.clearLog();
        QProcess first;
        first.setProcessEnvironment(m_recorder.environment());
        first.start(QStringLiteral(MZT_CLI),
                    {"-q", "backup", m_dir.filePath(QStringLiteral("first.mzt")), "2"});
        QVERIFY(first.waitForStarted());
        QVERIFY(m_recorder.waitForLog(Entered));
        const CliRun second = m_recorder.run({"list"});
        QCOMPARE(second.code, 5);
        QVERIFY2(second.err.contains("in use by another program"), second.err.constData());
        QVERIFY(first.waitForFinished(120000));
        QCOMPARE(first.exitCode(), 0);
    }

    // With a recorder held and another free, the free one is used and the
    // held one named.
    void theFreeRecorderIsUsedBesideAHeldOne()
    {
        QProcessEnvironment both = m_strict.environment();
        both.insert(QStringLiteral("MZT500_PORTS"),
                    m_recorder.pty() + QStringLiteral("=KORVANT KVP-DEV;") + m_strict.pty()
                        + QStringLiteral("=KORVANT KVP-DEV"));
        PortHolder holder(m_recorder.pty());
        QVERIFY(holder.holds());
        const CliRun listed = runCli({"list"}, both);
        QCOMPARE(listed.code, 0);
        QCOMPARE(lines(listed.out).size(), 2); // the strict recorder's two files
        QVERIFY2(listed.err.contains(m_recorder.pty().toLocal8Bit() + " is in use"),
                 listed.err.constData());
        const CliRun devices = runCli({"devices"}, both);
        QCOMPARE(devices.code, 0);
        QCOMPARE(lines(devices.out).size(), 1);
        QVERIFY2(devices.err.contains("in use by another program"), devices.err.constData());
    }

    void dryRunsLeaveTheTransferModeAlone()
    {
        const QString archive = m_dir.filePath(QStringLiteral("dry.mzt"));
        QVERIFY(writeArchive(archive, 1, 500));
        m_recorder.clearLog();
        const CliRun restore = m_recorder.run({"restore", archive, "--dry-run", "--overwrite"});
        QCOMPARE(restore.code, 0);
        QCOMPARE(lines(restore.out),
                 QStringList {QStringLiteral("SEQUENCE 01   would be replaced")});
        const CliRun remove = m_recorder.run({"delete", "1", "--dry-run"});
        QCOMPARE(remove.code, 0);
        QCOMPARE(lines(remove.out), QStringList {QStringLiteral("SEQUENCE 01   would be deleted")});

        // A command that does switch: its switch is the only one logged.
        QCOMPARE(m_recorder.run({"list"}).code, 0);
        QVERIFY(m_recorder.waitForLog(Left));
        QCOMPARE(m_recorder.logCount(Entered), 1);
        QCOMPARE(m_recorder.logCount(Left), 1);
    }

    // A recorder that answers only in transfer mode: the dry run fails and
    // says why, rather than switch the recorder.
    void aDryRunSaysWhatItCannotAskOutsideTransferMode()
    {
        const QString archive = m_dir.filePath(QStringLiteral("strict.mzt"));
        QVERIFY(writeArchive(archive, 1, 500));
        m_strict.clearLog();
        for (const QStringList& args : {QStringList {"delete", "1", "--dry-run"},
                                        QStringList {"restore", archive, "--dry-run"}}) {
            const CliRun run = m_strict.run(args);
            QCOMPARE(run.code, 1);
            QVERIFY2(run.oneLineReason(), run.err.constData());
            QVERIFY2(run.err.contains("A dry run does not put the recorder into its transfer mode"),
                     run.err.constData());
        }
        const CliRun listed = m_strict.run({"list"});
        QCOMPARE(listed.code, 0);
        QCOMPARE(lines(listed.out).size(), 2);
        QVERIFY(m_strict.waitForLog(Left));
        QCOMPARE(m_strict.logCount(Entered), 1);
    }

    void interruptedTransfersLeaveTheTransferMode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("atWork");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("settleMs");

        const QString restored = m_dir.filePath(QStringLiteral("restored.mzt"));
        QVERIFY(writeArchive(restored, 3, 300000));
        QTest::newRow("backup, SIGINT")
            << QStringList {"backup", m_dir.filePath(QStringLiteral("cut.mzt")), "2"} << Entered
            << SIGINT << 500;
        QTest::newRow("restore, SIGTERM")
            << QStringList {"restore", restored} << Entered << SIGTERM << 500;
        QTest::newRow("delete, SIGHUP") << QStringList {"delete", "5"}
                                        << QByteArray("deletion of file 5 starts") << SIGHUP << 0;
    }

    void interruptedTransfersLeaveTheTransferMode()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, atWork);
        QFETCH(int, signal);
        QFETCH(int, settleMs);
        m_recorder.clearLog();
        QProcess command;
        QCOMPARE(interrupt(&command, args, atWork, signal, settleMs, &m_recorder), 128 + signal);
        QVERIFY2(command.readAllStandardError().contains("Interrupted."), "no reason given");
        QVERIFY(m_recorder.waitForLog(Left, 5000));
        QCOMPARE(m_recorder.logCount(Entered), 1);
    }

    // The signal comes while the recorder is being switched: it may be in
    // transfer mode without the program having heard so, and is let go.
    void interruptedWhileEnteringTransferModeLeavesIt()
    {
        PtyRecorder slow;
        QVERIFY(slow.start(SlowRecorder, true));
        QProcess command;
        QCOMPARE(interrupt(&command, {"-q", "backup", m_dir.filePath(QStringLiteral("slow.mzt"))},
                           Entered, SIGTERM, 0, &slow),
                 128 + SIGTERM);
        QVERIFY(slow.waitForLog(Left, 5000));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("slow.mzt"))));
        QVERIFY(slow.stop());
    }
};

QTEST_GUILESS_MAIN(TestCliRecorderState)
#include "tst_cli_recorder_state.moc"
