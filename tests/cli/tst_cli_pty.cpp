// mzt500-cli through the kernel serial backend, talking to mzt500-sim --pty:
// the recorder keeps its files from one CLI run to the next, so a backup can
// be restored onto the emptied recorder and read back.
#include "clitest.h"

#include <QtEndian>

namespace {

const QByteArray Recorder = R"({"requireTransferMode": true, "maxFrameSize": 600,
  "files": [{"id": 0, "size": 1000}, {"id": 1, "size": 16}, {"id": 2, "size": 7000, "durationMs": 1500},
            {"id": 12, "size": 20480, "durationMs": 1234567}, {"id": 40, "size": 2048, "durationMs": 9}]})";

quint32 word(const QByteArray& content, int index)
{
    return qFromLittleEndian<quint32>(content.constData() + 4 * index);
}

} // namespace

class TestCliPty : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PtyRecorder m_recorder;

    CliRun cli(const QStringList& args) { return m_recorder.run(args); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid() && m_recorder.start(Recorder)); }

    void cleanupTestCase() { QVERIFY(m_recorder.stop()); }

    void backupRestoreRoundTrip()
    {
        const auto files = configuredFiles("[" + Recorder + "]");
        const QString first = m_dir.filePath(QStringLiteral("first.mzt"));
        const CliRun backup = cli({"backup", first});
        QCOMPARE(backup.code, 0);
        QCOMPARE(lines(backup.out).size(), 5);

        const CliRun deleted = cli({"delete", "1", "2", "12", "40"});
        QCOMPARE(deleted.code, 0);
        const CliRun emptied = cli({"list"});
        QCOMPARE(emptied.code, 0);
        QCOMPARE(lines(emptied.out).size(), 1); // the settings stay

        // Restoring the settings always replaces the recorder's own.
        const CliRun refused = cli({"restore", first});
        QCOMPARE(refused.code, 4);
        QVERIFY(refused.err.contains("SETTINGS"));
        QCOMPARE(lines(cli({"list"}).out).size(), 1);

        const CliRun restore = cli({"restore", first, "--overwrite"});
        QCOMPARE(restore.code, 0);
        QCOMPARE(lines(restore.out).size(), 5);

        const QString second = m_dir.filePath(QStringLiteral("second.mzt"));
        QCOMPARE(cli({"backup", second}).code, 0);
        const QList<LoadedEntry> before = archiveEntries(first);
        const QList<LoadedEntry> after = archiveEntries(second);
        QCOMPARE(after.size(), before.size());
        for (qsizetype i = 0; i < after.size(); ++i) {
            QCOMPARE(after[i].name, before[i].name);
            QCOMPARE(after[i].content, before[i].content);
            const int number = after[i].id == 0 ? 120 : after[i].id;
            QCOMPARE(after[i].content, files.at(std::uint16_t(number)));
        }
    }

    void renumberedEntryArrivesUnderItsNewNumber()
    {
        const QString source = m_dir.filePath(QStringLiteral("first.mzt"));
        const QString moved = m_dir.filePath(QStringLiteral("moved.mzt"));
        QByteArray original;
        {
            MZTArchive archive(source);
            QVERIFY(archive.load());
            ArchiveEntry* entry = nullptr;
            for (ArchiveEntry* e : archive.entries())
                if (e->id() == 12)
                    entry = e;
            QVERIFY(entry);
            original = entry->content();
            // As the window's renumbering does: new id and name, content untouched.
            entry->setId(13);
            entry->setName(QStringLiteral("SEQUENCE 13"));
            entry->setDuration(4242);
            archive.setFileName(moved);
            QVERIFY(archive.save());
        }
        QCOMPARE(cli({"restore", moved, "SEQUENCE 13"}).code, 0);
        const QString check = m_dir.filePath(QStringLiteral("check.mzt"));
        QCOMPARE(cli({"backup", check, "13"}).code, 0);
        const QList<LoadedEntry> read = archiveEntries(check);
        QCOMPARE(read.size(), 1);
        const QByteArray& content = read[0].content;
        QCOMPARE(content.size(), original.size());
        QCOMPARE(word(content, 0), 13u);
        QCOMPARE(word(content, 1), 1u);
        QCOMPARE(word(content, 3), 4242u);
        QCOMPARE(content.mid(8, 4), original.mid(8, 4));
        QCOMPARE(content.mid(16), original.mid(16));
        QCOMPARE(cli({"delete", "13"}).code, 0);
    }
};

QTEST_GUILESS_MAIN(TestCliPty)
#include "tst_cli_pty.moc"
