// A backup folder read as a history: backups made by mzt500-cli from a
// simulated recorder whose files change between them, files in the folder
// that are no backup, the index beside them and pruning.
#include "backup_history.h"
#include "recorder_backup.h"
#include "simulator.h"

#include "../cli/clitest.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace {

const QString kSerial = QStringLiteral("KV000001");
const QString kOtherSerial = QStringLiteral("KV000002");

QByteArray sequenceFile(int id, int size, quint8 variant)
{
    QByteArray file = sim::makeFile(std::uint32_t(id), 1, std::size_t(size), 61000);
    // Same length and record, other content: only a comparison of the
    // bytes tells the versions apart.
    file[100] = char(file[100] ^ variant);
    return file;
}

QDateTime at(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm"));
}

QStringList names(const QList<SummarizedFile>& files)
{
    QStringList list;
    for (const SummarizedFile& f : files)
        list.append(f.name);
    return list;
}

// Every file of the folder with its bytes.
QMap<QString, QByteArray> folderContent(const QString& folder)
{
    QMap<QString, QByteArray> content;
    QDirIterator it(folder, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(QLatin1String(history::indexFileName)))
            content.insert(QFileInfo(path).fileName(), readFile(path));
    }
    return content;
}

void copyFolder(const QString& from, const QString& to)
{
    for (const QFileInfo& f : QDir(from).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile::copy(f.filePath(), QDir(to).filePath(f.fileName()));
        // Copies carry new times; keep the originals' for the index.
        QFile copy(QDir(to).filePath(f.fileName()));
        copy.open(QIODevice::ReadWrite);
        copy.setFileTime(f.lastModified(), QFileDevice::FileModificationTime);
    }
}

} // namespace

class TestHistoryFolder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void changesFromBackupToBackup();
    void historyOfOneFile();
    void commandLine();
    void filesThatAreNoBackupAreListedAndKept();
    void indexIsCheckedAgainstTheFiles();
    void pruningKeepsEveryVersion();
    void pruneCommand();

private:
    // One backup of the recorder holding these files, as mzt500-cli makes
    // it, under the name "Back up recorder" gives it.
    QString backUp(const QString& serial, const std::map<int, QByteArray>& files,
                   const QDateTime& when);

    QTemporaryDir m_made;                 // the backups, made once
    QTemporaryDir m_config;               // the simulator's configurations
    std::unique_ptr<QTemporaryDir> m_dir; // this test's copy
    QString m_folder;
    QStringList m_backups; // of kSerial, oldest first
    QStringList m_noBackups;
};

QString TestHistoryFolder::backUp(const QString& serial, const std::map<int, QByteArray>& files,
                                  const QDateTime& when)
{
    QJsonArray list;
    for (const auto& [id, data] : files)
        list.append(QJsonObject {{QStringLiteral("id"), id},
                                 {QStringLiteral("type"), id == 0 ? 0 : 1},
                                 {QStringLiteral("data"), QString::fromLatin1(data.toBase64())}});
    const QJsonObject device {{QStringLiteral("kind"), QStringLiteral("recorder")},
                              {QStringLiteral("serial"), serial},
                              {QStringLiteral("files"), list}};
    const QString config = writeFile(
        m_config, QStringLiteral("sim.json"),
        QJsonDocument(QJsonObject {{QStringLiteral("devices"), QJsonArray {device}}}).toJson());
    const QString path = backup::freePath(m_made.path(), backup::fileName(serial, when));
    const CliRun run = runCli({QStringLiteral("-q"), QStringLiteral("backup"), path},
                              simulatorEnvironment(config));
    if (run.code != 0)
        qFatal("backup failed: %s", run.err.constData());
    return path;
}

void TestHistoryFolder::initTestCase()
{
    QVERIFY(m_made.isValid() && m_config.isValid());
    const QByteArray settings = sim::makeFile(0, 0, 200, 0);
    const QByteArray a1 = sequenceFile(1, 1000, 0);
    const QByteArray b1 = sequenceFile(2, 2000, 0), b2 = sequenceFile(2, 2000, 1),
                     b3 = sequenceFile(2, 2000, 2);
    const QByteArray c1 = sequenceFile(3, 3000, 0);
    const QByteArray d1 = sequenceFile(4, 1500, 0);

    m_backups << backUp(kSerial, {{0, settings}, {1, a1}, {2, b1}, {3, c1}},
                        at("2026-01-05 10:00"));
    m_backups << backUp(kSerial, {{0, settings}, {1, a1}, {2, b2}, {3, c1}, {4, d1}},
                        at("2026-01-20 10:00"));
    m_backups << backUp(kSerial, {{0, settings}, {2, b3}, {3, c1}, {4, d1}},
                        at("2026-02-03 10:00"));
    m_backups << backUp(kSerial, {{0, settings}, {2, b3}, {3, c1}, {4, d1}},
                        at("2026-02-10 10:00"));
    // The same minute again: " (2)".
    m_backups << backUp(kSerial, {{0, settings}, {2, b3}, {3, c1}, {4, d1}},
                        at("2026-02-10 10:00"));
    QVERIFY(m_backups.last().endsWith(QLatin1String(" (2).mzt")));
    // The other recorder: a backup, and an archive the user saved in the
    // folder under a name of their own, older than it.
    const QString other = backUp(kOtherSerial, {{0, settings}, {1, a1}}, at("2027-01-06 09:00"));
    MZTArchive own(other);
    QVERIFY(own.load());
    own.setFileName(m_made.filePath(QStringLiteral("club show.mzt")));
    QVERIFY(own.save());

    // The first backup as an older program wrote it: no recorder in the
    // archive, only in its name.
    MZTArchive old(m_backups.first());
    QVERIFY(old.load());
    QCOMPARE(old.recorder().serial, kSerial);
    old.setRecorder({});
    QVERIFY(old.save());

    // Files named like archives that are none: damaged, foreign, half written.
    QByteArray damaged = readFile(m_backups[2]);
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x40);
    writeFile(m_made, QStringLiteral("MZT-500 KV000001 2026-02-04 10-00.mzt"), damaged);
    writeFile(m_made, QStringLiteral("notes.mzt"), "not an archive\n");
    const QByteArray whole = readFile(m_backups[1]);
    writeFile(m_made, QStringLiteral("MZT-500 KV000001 2026-02-05 10-00.mzt"),
              whole.left(whole.size() / 2));
    m_noBackups = QStringList {QStringLiteral("MZT-500 KV000001 2026-02-04 10-00.mzt"),
                               QStringLiteral("MZT-500 KV000001 2026-02-05 10-00.mzt"),
                               QStringLiteral("notes.mzt")};
    for (QString& path : m_backups)
        path = QFileInfo(path).fileName();
}

void TestHistoryFolder::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path();
    copyFolder(m_made.path(), m_folder);
}

void TestHistoryFolder::changesFromBackupToBackup()
{
    const history::FolderHistory folder = history::readFolder(m_folder);
    QVERIFY(folder.problem.isEmpty());
    QCOMPARE(folder.recorders.size(), 2);
    const history::RecorderHistory* recorder = folder.find(kSerial);
    QVERIFY(recorder);
    QCOMPARE(recorder->displayName(), kSerial);
    // The old backup joins by its name.
    QCOMPARE(recorder->backups.size(), 5);
    QStringList order;
    for (const history::Backup& b : recorder->backups)
        order.append(b.fileName());
    QCOMPARE(order, m_backups);

    const QList<history::Backup>& b = recorder->backups;
    QCOMPARE(b[0].takenAt, at("2026-01-05 10:00"));
    QCOMPARE(names(b[0].added),
             QStringList({"SETTINGS", "SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03"}));
    // Same size, same record: changed by content only.
    QCOMPARE(names(b[1].added), QStringList {"SEQUENCE 04"});
    QCOMPARE(names(b[1].changed), QStringList {"SEQUENCE 02"});
    QVERIFY(b[1].removed.isEmpty());
    QCOMPARE(names(b[2].removed), QStringList {"SEQUENCE 01"});
    QCOMPARE(names(b[2].changed), QStringList {"SEQUENCE 02"});
    QVERIFY(b[2].added.isEmpty());
    for (int i : {3, 4})
        QVERIFY(b[i].added.isEmpty() && b[i].changed.isEmpty() && b[i].removed.isEmpty());

    const history::RecorderHistory* other = folder.find(kOtherSerial);
    QVERIFY(other);
    QCOMPARE(other->backups.size(), 2);
    QCOMPARE(other->backups[0].fileName(), QStringLiteral("club show.mzt"));
}

void TestHistoryFolder::historyOfOneFile()
{
    const history::FolderHistory folder = history::readFolder(m_folder);
    const history::RecorderHistory* recorder = folder.find(kSerial);
    QVERIFY(recorder);
    const QList<history::FileChange> second = history::fileHistory(*recorder, 2);
    QCOMPARE(second.size(), 3);
    QCOMPARE(second[0].kind, history::FileChange::Added);
    QCOMPARE(second[1].kind, history::FileChange::Changed);
    QCOMPARE(second[1].takenAt, at("2026-01-20 10:00"));
    QCOMPARE(second[2].kind, history::FileChange::Changed);
    const QList<history::FileChange> first = history::fileHistory(*recorder, 1);
    QCOMPARE(first.size(), 2);
    QCOMPARE(first[1].kind, history::FileChange::Removed);
    QCOMPARE(first[1].takenAt, at("2026-02-03 10:00"));
    QVERIFY(history::fileHistory(*recorder, 40).isEmpty());
}

void TestHistoryFolder::commandLine()
{
    const QProcessEnvironment env = simulatorEnvironment(QStringLiteral("demo"));
    CliRun run = runCli({"history", "--folder", m_folder, kSerial}, env);
    QCOMPARE(run.code, 0);
    const QString out = QString::fromUtf8(run.out);
    QVERIFY2(out.startsWith(kSerial + QStringLiteral(": 5 backup(s)\n")), run.out);
    QVERIFY2(out.contains(QStringLiteral("  2026-01-20 10:00  5 files  +1 ~1 -0  MZT-500 KV000001 "
                                         "2026-01-20 10-00.mzt\n    added: SEQUENCE 04\n    "
                                         "changed: SEQUENCE 02\n")),
             run.out);
    QVERIFY2(out.contains(QStringLiteral("    removed: SEQUENCE 01\n")), run.out);
    QVERIFY(!out.contains(kOtherSerial));
    QVERIFY(out.contains(QStringLiteral("unreadable, skipped: ") + m_folder + "/notes.mzt"));

    run = runCli({"history", "--folder", m_folder, "--file", "SEQUENCE 02"}, env);
    QCOMPARE(run.code, 0);
    QVERIFY2(
        run.out.contains("  2026-01-20 10:00  changed  MZT-500 KV000001 2026-01-20 10-00.mzt\n"),
        run.out);

    run = runCli({"history", "--folder", m_folder, "--json"}, env);
    QCOMPARE(run.code, 0);
    const QJsonObject document = QJsonDocument::fromJson(run.out).object();
    const QJsonArray recorders = document.value("recorders").toArray();
    QCOMPARE(recorders.size(), 2);
    QCOMPARE(document.value("unreadable").toArray().size(), m_noBackups.size());

    run = runCli({"history", "--folder", m_folder, "KV999999"}, env);
    QCOMPARE(run.code, 1);
    QVERIFY(run.oneLineReason());
    run = runCli({"history", "--folder", m_folder + "/missing"}, env);
    QCOMPARE(run.code, 1);
    QVERIFY(run.oneLineReason());
}

void TestHistoryFolder::filesThatAreNoBackupAreListedAndKept()
{
    const QMap<QString, QByteArray> before = folderContent(m_folder);
    const history::FolderHistory folder = history::readFolder(m_folder);
    QStringList unreadable;
    for (const history::UnreadableFile& u : folder.unreadable) {
        unreadable.append(QFileInfo(u.path).fileName());
        QVERIFY(!u.reason.isEmpty());
    }
    unreadable.sort();
    QCOMPARE(unreadable, m_noBackups);
    // Pruning as hard as it goes leaves them, and the folder's backups'
    // bytes, alone.
    for (const history::RecorderHistory& r : folder.recorders)
        history::applyPruning(history::planPruning(r, {1, false}));
    const QMap<QString, QByteArray> after = folderContent(m_folder);
    for (const QString& name : m_noBackups)
        QCOMPARE(after.value(name), before.value(name));
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        QCOMPARE(it.value(), before.value(it.key()));
}

void TestHistoryFolder::indexIsCheckedAgainstTheFiles()
{
    const history::FolderHistory first = history::readFolder(m_folder);
    QCOMPARE(first.archivesRead, 7 + m_noBackups.size());
    QVERIFY(first.indexProblem.isEmpty());
    QVERIFY(QFile::exists(QDir(m_folder).filePath(history::indexFileName)));
    const history::FolderHistory second = history::readFolder(m_folder);
    QCOMPARE(second.archivesFromIndex, 7);
    QCOMPARE(second.archivesRead, m_noBackups.size());

    // A backup replaced under its name by another content (same size, so
    // only its time and file tell): the index's entry is stale.
    const QString path = QDir(m_folder).filePath(m_backups[3]);
    MZTArchive archive(path);
    QVERIFY(archive.load());
    archive.removeEntries(3);
    QVERIFY(archive.save());
    const history::FolderHistory third = history::readFolder(m_folder);
    QCOMPARE(third.archivesRead, 1 + m_noBackups.size());
    const history::Backup& replaced = third.find(kSerial)->backups[3];
    QCOMPARE(names(replaced.removed), QStringList {"SEQUENCE 03"});

    // A damaged index, or one of another version, is read as none.
    for (const QByteArray& index : {QByteArray("garbage"),
                                    QByteArray("\xa1\x66"
                                               "format")}) {
        writeFile(*m_dir, QLatin1String(history::indexFileName), index);
        const history::FolderHistory again = history::readFolder(m_folder);
        QCOMPARE(again.archivesFromIndex, 0);
        QCOMPARE(again.find(kSerial)->backups.size(), 5);
    }
    // A deleted backup leaves the history, whatever the index says.
    QVERIFY(QFile::remove(path));
    QCOMPARE(history::readFolder(m_folder).find(kSerial)->backups.size(), 4);
}

void TestHistoryFolder::pruningKeepsEveryVersion()
{
    const history::FolderHistory folder = history::readFolder(m_folder);
    const history::RecorderHistory* recorder = folder.find(kSerial);
    QVERIFY(recorder);

    // Only the newest by the policy; the rest stays for a version each,
    // except the one whose files the others all hold.
    history::PrunePlan plan = history::planPruning(*recorder, {1, false});
    QStringList removed;
    for (const history::Backup& b : plan.toRemove)
        removed.append(b.fileName());
    QCOMPARE(removed, QStringList({m_backups[2], m_backups[3]}));
    QCOMPARE(plan.kept.size(), 3);
    QVERIFY(plan.kept[1].reason.contains(QLatin1String("SEQUENCE 02")));

    // With the first of each month, the February one stays too.
    plan = history::planPruning(*recorder, {1, true});
    QCOMPARE(plan.toRemove.size(), 1);
    QCOMPARE(plan.toRemove[0].fileName(), m_backups[3]);

    // A backup rewritten since it was read is not removed.
    QFile rewritten(QDir(m_folder).filePath(m_backups[3]));
    QVERIFY(rewritten.open(QIODevice::Append));
    rewritten.write("x");
    rewritten.close();
    const history::PruneResult result = history::applyPruning(plan);
    QVERIFY(result.removed.isEmpty());
    QCOMPARE(result.notRemoved.size(), 1);
    QVERIFY(rewritten.exists());

    // An archive not named as a backup is the user's, never pruned.
    const history::PrunePlan own = history::planPruning(*folder.find(kOtherSerial), {1, false});
    QVERIFY(own.toRemove.isEmpty());

    // Whatever is removed, every version of every file keeps a holder.
    QSet<QByteArray> versions;
    for (const history::Backup& b : recorder->backups)
        for (const SummarizedFile& f : b.files)
            versions.insert(QByteArray::number(f.id) + f.digest);
    for (int keep = 1; keep <= 5; ++keep) {
        const history::PrunePlan p = history::planPruning(*recorder, {keep, false});
        QSet<QByteArray> kept;
        for (const history::Backup& b : recorder->backups)
            if (std::none_of(p.toRemove.cbegin(), p.toRemove.cend(),
                             [&](const history::Backup& r) { return r.path == b.path; }))
                for (const SummarizedFile& f : b.files)
                    kept.insert(QByteArray::number(f.id) + f.digest);
        QCOMPARE(kept, versions);
        QCOMPARE(p.kept.last().path, recorder->backups.last().path);
    }
}

void TestHistoryFolder::pruneCommand()
{
    const QProcessEnvironment env = simulatorEnvironment(QStringLiteral("demo"));
    const QMap<QString, QByteArray> before = folderContent(m_folder);
    CliRun run = runCli({"prune", "--keep", "1", "--folder", m_folder, "--dry-run"}, env);
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, "would remove " + QDir(m_folder).filePath(m_backups[3]).toUtf8() + '\n');
    QCOMPARE(folderContent(m_folder), before);

    run = runCli({"prune", "--folder", m_folder}, env);
    QCOMPARE(run.code, 2);

    run = runCli({"prune", "--keep", "1", "--folder", m_folder}, env);
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, "removed " + QDir(m_folder).filePath(m_backups[3]).toUtf8() + '\n');
    QMap<QString, QByteArray> expected = before;
    expected.remove(m_backups[3]);
    QCOMPARE(folderContent(m_folder), expected);
}

QTEST_GUILESS_MAIN(TestHistoryFolder)
#include "tst_history_folder.moc"
