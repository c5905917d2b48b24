// Ctrl+C while mzt500-cli works on a recorder served by mzt500-sim --pty,
// which keeps its files after the command line has ended.
#include "clitest.h"

#include <csignal>

namespace {

const QByteArray Recorder = R"({"deleteDurationMs": 1500, "maxFrameSize": 600,
  "files": [{"id": 0, "size": 1000}, {"id": 64, "size": 9000, "durationMs": 4000}]})";

} // namespace

class TestCliInterrupt : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PtyRecorder m_recorder;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid() && m_recorder.start(Recorder, true)); }

    void cleanupTestCase() { QVERIFY(m_recorder.stop()); }

    // Once the recorder has begun to delete the file to replace it, the file
    // is written completely before the interruption takes effect.
    void interruptDuringAnOverwritingRestoreKeepsTheFile()
    {
        const QString archive = m_dir.filePath(QStringLiteral("saved.mzt"));
        QCOMPARE(m_recorder.run({"backup", archive, "64"}).code, 0);
        const QList<LoadedEntry> saved = archiveEntries(archive);
        QCOMPARE(saved.size(), 1);

        QProcess restore;
        restore.setProcessEnvironment(m_recorder.environment());
        restore.start(QStringLiteral(MZT_CLI), {"restore", archive, "--overwrite"});
        QVERIFY(restore.waitForStarted());
        QVERIFY(m_recorder.waitForLog("deletion of file 64 starts"));
        ::kill(pid_t(restore.processId()), SIGINT);
        QVERIFY(restore.waitForFinished(60000));
        const QByteArray err = restore.readAllStandardError();
        QCOMPARE(restore.exitCode(), 130);
        QVERIFY2(err.contains("Interrupted."), err.constData());
        const QStringList done = lines(restore.readAllStandardOutput());
        QCOMPARE(done.size(), 1);
        QVERIFY(done[0].startsWith(QLatin1String("SEQUENCE 64")));
        QVERIFY(done[0].endsWith(QLatin1String("replaced")));

        const QString check = m_dir.filePath(QStringLiteral("check.mzt"));
        const CliRun backup = m_recorder.run({"backup", check, "64"});
        QCOMPARE(backup.code, 0);
        const QList<LoadedEntry> read = archiveEntries(check);
        QCOMPARE(read.size(), 1);
        QCOMPARE(read[0].content, saved[0].content);
    }
};

QTEST_GUILESS_MAIN(TestCliInterrupt)
#include "tst_cli_interrupt.moc"
