// mzt500-cli backup onto a disk that fills up part-way through the save: the
// command fails with one line, prints no file as added or replaced, and the
// archive on disk stays byte for byte as it was. The full disk is a file size
// limit on the command's process, at many fill levels of the new archive.
#include "clitest.h"

#include <QDir>

#include <csignal>
#include <sys/resource.h>

namespace {

// Files that do not compress well, so that the new archive takes several
// writes of the archive library.
QByteArray recorderConfig()
{
    QByteArray json = R"({"files": [)";
    quint32 x = 12345;
    for (const int id : {3, 7}) {
        QByteArray data(16 + 12000, '\0');
        data[0] = char(id);
        data[4] = 1;
        for (qsizetype i = 16; i < data.size(); ++i) {
            x = x * 1664525u + 1013904223u;
            data[i] = char(x >> 24);
        }
        json += (id == 3 ? "" : ",") + QByteArray(R"({"id": )") + QByteArray::number(id)
            + R"(, "data": ")" + data.toBase64() + R"("})";
    }
    return json + "]}";
}

CliRun runWithFileSizeLimit(const QStringList& args, const QProcessEnvironment& env, qint64 limit)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setChildProcessModifier([limit] {
        // A write past the limit then fails with EFBIG, as one on a full
        // disk fails with ENOSPC, instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit r {};
        r.rlim_cur = r.rlim_max = rlim_t(limit);
        setrlimit(RLIMIT_FSIZE, &r);
    });
    p.start(QStringLiteral(MZT_CLI), args);
    CliRun run;
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return run;
    }
    run.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

} // namespace

class TestCliFullDisk : public QObject {
    Q_OBJECT

private slots:
    void backupOntoAFullDisk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto env = simulatorEnvironment(writeFile(dir, "sim.json", recorderConfig()));
        const QString old = dir.filePath(QStringLiteral("old.mzt"));
        {
            MZTArchive archive(old);
            auto* entry = new ArchiveEntry;
            entry->setName(QStringLiteral("SEQUENCE 03"));
            entry->setId(3);
            entry->setType(1);
            entry->appendContent(QByteArray(64, 'k').constData(), 64);
            archive.addEntry(entry);
            QVERIFY(archive.save());
        }
        const QByteArray before = readFile(old);

        // The size of the archive the backup writes, from a copy.
        const QString probe = dir.filePath(QStringLiteral("probe.mzt"));
        QVERIFY(QFile::copy(old, probe));
        QCOMPARE(runCli({"backup", probe}, env).code, 0);
        const qint64 newSize = QFileInfo(probe).size();
        QVERIFY(newSize > 2 * 10240);
        QVERIFY(QFile::remove(probe));

        QList<qint64> limits {0, 1, 10, 100, 1000, newSize - 1};
        for (int step = 1; step < 24; ++step)
            limits.append(newSize * step / 24);
        for (const qint64 limit : limits) {
            const CliRun run = runWithFileSizeLimit({"backup", old}, env, limit);
            const QByteArray context = "limit " + QByteArray::number(limit) + ": " + run.err;
            QVERIFY2(run.code == 1, context);
            QVERIFY2(run.oneLineReason(), context);
            QVERIFY2(run.err.contains("Failed to save the archive"), context);
            QVERIFY2(run.err.contains("the file on disk was not changed"), context);
            QVERIFY2(!run.out.contains("added") && !run.out.contains("replaced"), context);
            QVERIFY2(readFile(old) == before, context);
            QVERIFY2(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden)
                         == (QStringList {QStringLiteral("old.mzt"), QStringLiteral("sim.json")}),
                     context);
        }

        // Room for the whole new archive: the backup goes through.
        const CliRun fits = runWithFileSizeLimit({"backup", old}, env, newSize);
        QCOMPARE(fits.code, 0);
        QVERIFY(fits.out.contains("replaced"));
        QCOMPARE(QFileInfo(old).size(), newSize);
    }
};

QTEST_GUILESS_MAIN(TestCliFullDisk)
#include "tst_cli_full_disk.moc"
