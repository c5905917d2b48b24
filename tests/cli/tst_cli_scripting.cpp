// mzt500-cli for scripts: --json documents, restore --skip-existing and the
// dry runs, against mzt500-sim --pty, whose recorder keeps its files from one
// run to the next, so what a command left on it can be read back.
#include "clitest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

namespace {

// Answers about its files outside transfer mode too, which a dry run needs:
// it does not switch the recorder (tst_cli_recorder_state has one that
// refuses).
const QByteArray Recorder = R"({
  "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 600, "durationMs": 61000},
            {"id": 2, "size": 7000, "durationMs": 1500}]})";

QJsonObject jsonOf(const CliRun& run)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(run.out, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        qWarning("not one JSON object: %s", run.out.constData());
    return document.object();
}

// A record header and a body: the content of a recorder file.
QByteArray fileContent(quint32 id, quint32 size, char fill)
{
    QByteArray content(int(size), fill);
    const quint32 header[4] = {id, 1, size, 1000};
    std::memcpy(content.data(), header, sizeof header);
    return content;
}

} // namespace

class TestCliScripting : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PtyRecorder m_recorder;

    CliRun cli(const QStringList& args) { return m_recorder.run(args); }

    // What the recorder holds now, by id.
    std::map<qint32, QByteArray> recorderFiles()
    {
        const QString path = m_dir.filePath(QStringLiteral("now.mzt"));
        QFile::remove(path);
        if (cli({"-q", "backup", path}).code != 0)
            return {};
        std::map<qint32, QByteArray> files;
        for (const LoadedEntry& e : archiveEntries(path))
            files[e.id] = e.content;
        return files;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid() && m_recorder.start(Recorder)); }

    void cleanupTestCase() { QVERIFY(m_recorder.stop()); }

    void jsonDocuments()
    {
        const QJsonArray devices =
            jsonOf(cli({"devices", "--json"}))[QLatin1String("devices")].toArray();
        QCOMPARE(devices.size(), 1);
        const QJsonObject device = devices[0].toObject();
        QCOMPARE(device[QLatin1String("line")].toInt(), 1);
        QCOMPARE(device[QLatin1String("name")].toString(), QStringLiteral("MZT-500 #1"));
        QCOMPARE(device[QLatin1String("model")].toString(), QStringLiteral("MZT-500"));
        QCOMPARE(device[QLatin1String("description")].toString(),
                 QStringLiteral("KORVANT KVP-DEV"));
        QVERIFY(device.contains(QLatin1String("serial")));

        const QJsonObject list = jsonOf(cli({"list", "--json"}));
        QCOMPARE(list[QLatin1String("recorder")].toObject(), device);
        const QJsonArray files = list[QLatin1String("files")].toArray();
        QCOMPARE(files.size(), 3);
        const QJsonObject second = files[2].toObject();
        QCOMPARE(second[QLatin1String("name")].toString(), QStringLiteral("SEQUENCE 02"));
        QCOMPARE(second[QLatin1String("id")].toInt(), 2);
        QCOMPARE(second[QLatin1String("type")].toInt(), 1);
        QCOMPARE(second[QLatin1String("durationMs")].toInt(), 1500);
        QVERIFY(second[QLatin1String("memorySize")].toInt() >= 7000);
        QCOMPARE(files[0].toObject()[QLatin1String("type")].toInt(), 0);

        const QString path = m_dir.filePath(QStringLiteral("json.mzt"));
        QCOMPARE(cli({"-q", "backup", path, "2"}).code, 0);
        const QJsonObject archive = jsonOf(cli({"archive", path, "--json"}));
        QCOMPARE(archive[QLatin1String("archive")].toString(), path);
        const QJsonArray entries = archive[QLatin1String("entries")].toArray();
        QCOMPARE(entries.size(), 1);
        const QJsonObject entry = entries[0].toObject();
        QCOMPARE(entry[QLatin1String("bytes")].toInt(), 7000);
        QCOMPARE(entry[QLatin1String("memorySize")].toInt(),
                 second[QLatin1String("memorySize")].toInt());
        QCOMPARE(entry[QLatin1String("durationMs")].toInt(), 1500);

        // A failure leaves stdout empty: a script's parser sees no half document.
        const CliRun failed = cli({"--device", "4", "list", "--json"});
        QCOMPARE(failed.code, 3);
        QVERIFY(failed.out.isEmpty());
    }

    // The archive holds other versions of files 1 and 2 and a new file 5;
    // the recorder lost file 2. Only what the recorder lacks is written.
    void restoreSkipsWhatTheRecorderHolds()
    {
        const std::map<qint32, QByteArray> before = recorderFiles();
        QCOMPARE(before.size(), size_t(3));
        const QString path = m_dir.filePath(QStringLiteral("other.mzt"));
        {
            MZTArchive archive(path);
            QVERIFY(archive.save());
            QVERIFY(archive.load());
            for (quint32 id : {0u, 1u, 2u, 5u}) {
                auto* entry = new ArchiveEntry;
                entry->setName(id ? QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0'))
                                  : QStringLiteral("SETTINGS"));
                entry->setId(qint32(id));
                entry->setType(id ? 1 : 0);
                const QByteArray content = fileContent(id, 400, char('a' + id));
                entry->appendContent(content.constData(), content.size());
                archive.addEntry(entry);
            }
            QVERIFY(archive.save());
        }
        QCOMPARE(cli({"delete", "2"}).code, 0);

        const CliRun run = cli({"restore", path, "--skip-existing"});
        QCOMPARE(run.code, 0);
        const QStringList report = lines(run.out);
        QCOMPARE(report.size(), 4);
        for (const char* skipped : {"SETTINGS", "SEQUENCE 01"})
            QVERIFY2(report.filter(QLatin1String(skipped))
                         .value(0)
                         .endsWith(QLatin1String("skipped: on the recorder")),
                     run.out.constData());
        for (const char* written : {"SEQUENCE 02", "SEQUENCE 05"})
            QVERIFY2(
                report.filter(QLatin1String(written)).value(0).endsWith(QLatin1String("written")),
                run.out.constData());

        const std::map<qint32, QByteArray> after = recorderFiles();
        QCOMPARE(after.size(), size_t(4));
        QCOMPARE(after.at(0), before.at(0));
        QCOMPARE(after.at(1), before.at(1));
        QCOMPARE(after.at(2).mid(16), fileContent(2, 400, 'c').mid(16));
        QCOMPARE(after.at(5).mid(16), fileContent(5, 400, 'f').mid(16));

        // Nothing left to write is no failure.
        const CliRun again = cli({"-q", "restore", path, "--skip-existing"});
        QCOMPARE(again.code, 0);
        QCOMPARE(recorderFiles(), after);
        QCOMPARE(cli({"delete", "5"}).code, 0);
    }

    void dryRunsChangeNothing()
    {
        const std::map<qint32, QByteArray> before = recorderFiles();
        const QString path = m_dir.filePath(QStringLiteral("dry.mzt"));
        QCOMPARE(cli({"-q", "backup", path, "1"}).code, 0);
        QCOMPARE(cli({"delete", "1"}).code, 0);
        const std::map<qint32, QByteArray> emptied = recorderFiles();
        {
            MZTArchive archive(path);
            QVERIFY(archive.load());
            auto* entry = new ArchiveEntry;
            entry->setName(QStringLiteral("SEQUENCE 02"));
            entry->setId(2);
            entry->setType(1);
            const QByteArray content = fileContent(2, 300, 'z');
            entry->appendContent(content.constData(), content.size());
            archive.addEntry(entry);
            QVERIFY(archive.save());
        }

        // As the real restore would: it refuses to overwrite without --overwrite.
        const CliRun refused = cli({"restore", path, "--dry-run"});
        QCOMPARE(refused.code, 4);
        QVERIFY(refused.err.contains("SEQUENCE 02"));

        const CliRun planned = cli({"-q", "restore", path, "--dry-run", "--overwrite"});
        QCOMPARE(planned.code, 0);
        QCOMPARE(lines(planned.out),
                 QStringList({QStringLiteral("SEQUENCE 01   would be written"),
                              QStringLiteral("SEQUENCE 02   would be replaced")}));
        const CliRun skipping = cli({"restore", path, "--dry-run", "--skip-existing"});
        QCOMPARE(skipping.code, 0);
        QCOMPARE(lines(skipping.out),
                 QStringList({QStringLiteral("SEQUENCE 01   would be written"),
                              QStringLiteral("SEQUENCE 02   skipped: on the recorder")}));

        const CliRun deleting = cli({"delete", "SEQUENCE 02", "--dry-run"});
        QCOMPARE(deleting.code, 0);
        QCOMPARE(lines(deleting.out),
                 QStringList {QStringLiteral("SEQUENCE 02   would be deleted")});
        // The same refusals as the real commands.
        QCOMPARE(cli({"delete", "SETTINGS", "--dry-run"}).code, 2);
        QCOMPARE(cli({"delete", "7", "--dry-run"}).code, 1);

        QCOMPARE(recorderFiles(), emptied);
        QCOMPARE(cli({"-q", "restore", path, "1"}).code, 0);
        QCOMPARE(recorderFiles(), before);
    }
};

QTEST_GUILESS_MAIN(TestCliScripting)
#include "tst_cli_scripting.moc"
