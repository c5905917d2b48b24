// status, verify, diff and the --verify of backup and restore, end to end
// against recorders simulated inside the CLI process: their lines, their
// JSON documents and their exit statuses.
#include "clitest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

namespace {

constexpr int ExitDiffers = 7;

const QByteArray Recorder = R"({"serial": "KV000001", "requireTransferMode": true,
  "files": [{"id": 0, "size": 1000}, {"id": 3, "size": 5000, "durationMs": 65499},
            {"id": 7, "size": 3000, "durationMs": 500}]})";

// An archive holding the recorder's files by file number, as given.
QString archiveOf(const QTemporaryDir& dir, const QString& name,
                  const std::map<std::uint16_t, QByteArray>& files)
{
    MZTArchive archive(dir.filePath(name));
    for (const auto& [number, content] : files) {
        auto* entry = new ArchiveEntry;
        const int id = number == 120 ? 0 : number;
        entry->setName(id == 0 ? QStringLiteral("SETTINGS")
                               : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
        entry->setId(id);
        entry->setType(qFromLittleEndian<qint32>(content.constData() + 4));
        entry->setDuration(qFromLittleEndian<quint32>(content.constData() + 12));
        entry->appendContent(content.constData(), content.size());
        archive.addEntry(entry);
    }
    if (!archive.save())
        qFatal("cannot save %s", qPrintable(archive.fileName()));
    return archive.fileName();
}

QJsonObject jsonOf(const CliRun& run)
{
    return QJsonDocument::fromJson(run.out).object();
}

QStringList statesIn(const QJsonObject& document)
{
    QStringList states;
    for (const QJsonValue& f : document.value(QStringLiteral("files")).toArray())
        states << f[QStringLiteral("name")].toString() + QLatin1Char('=')
                + f[QStringLiteral("state")].toString();
    return states;
}

} // namespace

class TestCliCompare : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    std::map<std::uint16_t, QByteArray> m_files;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_env = simulatorEnvironment(writeFile(m_dir, QStringLiteral("sim.json"), Recorder));
        m_files = configuredFiles(Recorder);
    }

    void statusComparesTheListOnly()
    {
        // Same records everywhere, even with other bytes: only the closing
        // line, and nothing differs.
        auto files = m_files;
        files[3][2000] = char(files[3][2000] ^ 0x40);
        const QString same = archiveOf(m_dir, QStringLiteral("same.mzt"), files);
        CliRun run = runCli({QStringLiteral("status"), same}, m_env);
        QCOMPARE(run.code, 0);
        QCOMPARE(lines(run.out),
                 QStringList {"Compared by the content list only; only mzt500-cli verify proves "
                              "files identical."});

        // 7 recorded longer, 9 only in the archive, the settings only on the
        // recorder.
        files = m_files;
        files[7] = sim::makeFile(7, 1, 4000, 500);
        files[9] = sim::makeFile(9, 1, 100, 0);
        files.erase(120);
        const QString other = archiveOf(m_dir, QStringLiteral("other.mzt"), files);
        run = runCli({QStringLiteral("status"), other}, m_env);
        QCOMPARE(run.code, ExitDiffers);
        const QStringList out = lines(run.out);
        QCOMPARE(out.mid(0, 3),
                 (QStringList {"SETTINGS: only on the recorder", "SEQUENCE 07: differs",
                               "SEQUENCE 09: only in the archive"}));
        QCOMPARE(out.size(), 4);

        run = runCli({QStringLiteral("status"), other, QStringLiteral("--json")}, m_env);
        QCOMPARE(run.code, ExitDiffers);
        const QJsonObject doc = jsonOf(run);
        QCOMPARE(doc[QStringLiteral("byBytes")].toBool(), false);
        QCOMPARE(doc[QStringLiteral("mismatches")].toInt(), 3);
        QCOMPARE(statesIn(doc),
                 (QStringList {"SETTINGS=only-on-recorder", "SEQUENCE 03=same-record",
                               "SEQUENCE 07=record-differs", "SEQUENCE 09=only-in-archive"}));
    }

    void verifyReadsEveryFileAndNamesTheFirstDifference()
    {
        auto files = m_files;
        files[3][2000] = char(files[3][2000] ^ 0x40);
        files[9] = sim::makeFile(9, 1, 100, 0);
        const QString archive = archiveOf(m_dir, QStringLiteral("changed.mzt"), files);
        CliRun run = runCli({QStringLiteral("verify"), archive}, m_env);
        QCOMPARE(run.code, ExitDiffers);
        QCOMPARE(lines(run.out),
                 (QStringList {"SETTINGS: identical",
                               "SEQUENCE 03: differs (first difference at byte 2000)",
                               "SEQUENCE 07: identical", "SEQUENCE 09: only in the archive"}));

        // The named files only: identical is a success.
        run = runCli({QStringLiteral("verify"), archive, QStringLiteral("SEQUENCE"),
                      QStringLiteral("7"), QStringLiteral("0")},
                     m_env);
        QCOMPARE(run.code, 0);
        QCOMPARE(lines(run.out), (QStringList {"SETTINGS: identical", "SEQUENCE 07: identical"}));

        run = runCli(
            {QStringLiteral("verify"), archive, QStringLiteral("3"), QStringLiteral("--json")},
            m_env);
        QCOMPARE(run.code, ExitDiffers);
        const QJsonObject doc = jsonOf(run);
        QCOMPARE(doc[QStringLiteral("byBytes")].toBool(), true);
        QCOMPARE(doc[QStringLiteral("recorder")].toString(), QStringLiteral("MZT-500 #1"));
        const QJsonObject three = doc[QStringLiteral("files")].toArray().first().toObject();
        QCOMPARE(three[QStringLiteral("state")].toString(), QStringLiteral("differs"));
        QCOMPARE(three[QStringLiteral("firstDifference")].toInt(), 2000);
        QCOMPARE(three[QStringLiteral("recorder")][QStringLiteral("durationMs")].toInt(), 65499);

        run = runCli({QStringLiteral("verify"), archive, QStringLiteral("SEQUENCE 12")}, m_env);
        QCOMPARE(run.code, 1);
        QVERIFY(run.oneLineReason());
        QVERIFY(run.out.isEmpty());
    }

    void diffComparesTwoArchivesByContent()
    {
        auto files = m_files;
        const QString a = archiveOf(m_dir, QStringLiteral("a.mzt"), files);
        QCOMPARE(runCli({QStringLiteral("diff"), a, a}, m_env).code, 0);

        files[7][2999] = char(files[7][2999] + 1);
        files[9] = sim::makeFile(9, 1, 100, 0);
        files.erase(3);
        const QString b = archiveOf(m_dir, QStringLiteral("b.mzt"), files);
        // No recorder needed: none is configured.
        const QProcessEnvironment none = simulatorEnvironment(
            writeFile(m_dir, QStringLiteral("none.json"), "{\"devices\": []}"));
        CliRun run = runCli({QStringLiteral("diff"), a, b}, none);
        QCOMPARE(run.code, ExitDiffers);
        QCOMPARE(lines(run.out),
                 (QStringList {QStringLiteral("SEQUENCE 03: only in ") + a,
                               "SEQUENCE 07: differs (first difference at byte 2999)",
                               QStringLiteral("SEQUENCE 09: only in ") + b}));

        run = runCli({QStringLiteral("diff"), a, b, QStringLiteral("--json")}, none);
        QCOMPARE(statesIn(jsonOf(run)),
                 (QStringList {"SETTINGS=identical", "SEQUENCE 03=only-in-first",
                               "SEQUENCE 07=differs", "SEQUENCE 09=only-in-second"}));

        run = runCli({QStringLiteral("diff"), a}, none);
        QCOMPARE(run.code, 2);
        run = runCli({QStringLiteral("diff"), a, m_dir.filePath(QStringLiteral("missing.mzt"))},
                     none);
        QCOMPARE(run.code, 6);
        QVERIFY(run.oneLineReason());
    }

    void backupAndRestoreVerifyWhatTheyWrote()
    {
        const QString archive = m_dir.filePath(QStringLiteral("verified.mzt"));
        CliRun run = runCli({QStringLiteral("backup"), archive, QStringLiteral("--verify")}, m_env);
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.contains("3 files verified identical."), run.out.constData());

        run = runCli({QStringLiteral("restore"), archive, QStringLiteral("--overwrite"),
                      QStringLiteral("--verify")},
                     m_env);
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.contains("3 files verified identical."), run.out.constData());

        // --verify belongs to the transfers and never comes with --dry-run.
        QCOMPARE(
            runCli({QStringLiteral("status"), archive, QStringLiteral("--verify")}, m_env).code, 2);
        QCOMPARE(runCli({QStringLiteral("restore"), archive, QStringLiteral("--dry-run"),
                         QStringLiteral("--verify")},
                        m_env)
                     .code,
                 2);
    }
};

QTEST_GUILESS_MAIN(TestCliCompare)
#include "tst_cli_compare.moc"
