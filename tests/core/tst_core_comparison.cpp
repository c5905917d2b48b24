// The comparison of a recorder with an archive, from its content list and
// byte for byte, and of two archives: against the simulated recorder with
// its faults, with archives made the way a backup makes them.
#include "comparison.h"
#include "coretest.h"
#include "mztarchive.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QTemporaryDir>
#include <QtEndian>

using core::FileState;
using core::ResultCode;

namespace {

constexpr int FileSize = 2000;

QByteArray settingsFile(int size = 300)
{
    return sim::makeFile(mzt500::SettingsId, mzt500::SettingsRecord, std::size_t(size), 0);
}

std::map<std::uint16_t, QByteArray> threeFiles()
{
    return {{mzt500::SettingsFileNumber, settingsFile()},
            {3, sequence(3, FileSize)},
            {4, sequence(4, 400)}};
}

QString nameOf(int id)
{
    return id == 0 ? QStringLiteral("SETTINGS")
                   : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QChar('0'));
}

// Backs the recorder's files up the way the window and the command line do;
// saved and loaded again when asked, so that the records are rewritten.
std::unique_ptr<MZTArchive> backUp(SimSetup& s, const QList<int>& ids, bool saved,
                                   const QTemporaryDir& dir)
{
    auto archive = std::make_unique<MZTArchive>(dir.filePath(QStringLiteral("backup.mzt")));
    QList<core::FileRef> files;
    for (int id : ids)
        files.append({id, nameOf(id)});
    const core::Result read =
        core::downloadFiles(&s.master, files, [&](const core::DownloadedFile& f) {
            core::storeInArchive(archive.get(), f, f.file.name);
        });
    if (!read.ok() || !saved)
        return read.ok() ? std::move(archive) : nullptr;
    if (!archive->save())
        return nullptr;
    auto loaded = std::make_unique<MZTArchive>(archive->fileName());
    return loaded->load() ? std::move(loaded) : nullptr;
}

QList<ContentRecord> contentList(SimSetup& s)
{
    const core::Content content = core::readContent(&s.master);
    return content.records;
}

core::Comparison verify(SimSetup& s, const MZTArchive& archive, const QList<int>& ids = {},
                        bool withList = true, const core::CancelToken* cancel = nullptr,
                        const core::ProgressSink& progress = {})
{
    core::VerifyRequest request;
    if (withList)
        request.recorderList = contentList(s);
    request.archive = core::archivedFiles(archive);
    request.ids = ids;
    return core::verifyWithRecorder(&s.master, request, progress, cancel);
}

// "id:state" per file, for comparisons that read at a glance.
QStringList statesOf(const core::Comparison& c)
{
    static const char* const names[] = {"same record", "record differs", "identical", "differs",
                                        "first only",  "second only",    "unreadable"};
    QStringList out;
    for (const core::FileComparison& f : c.files)
        out << QStringLiteral("%1:%2").arg(f.file.id).arg(QLatin1String(names[int(f.state)]));
    return out;
}

} // namespace

class TestCoreComparison : public SimBusTest {
    Q_OBJECT

private slots:
    void aFreshBackupVerifiesIdentical_data()
    {
        QTest::addColumn<bool>("saved");
        QTest::addColumn<int>("recorderMemSize");
        // A recorder's own memory size figure that differs from the one the
        // archive writes is no difference while the archive holds it.
        QTest::newRow("unsaved") << false << 0;
        QTest::newRow("saved") << true << 0;
        QTest::newRow("unsaved, recorder's own size") << false << 5000;
    }
    void aFreshBackupVerifiesIdentical()
    {
        QFETCH(bool, saved);
        QFETCH(int, recorderMemSize);
        auto files = threeFiles();
        if (recorderMemSize)
            qToLittleEndian<quint32>(quint32(recorderMemSize), files[3].data() + 8);
        SimSetup s({recorderWith(files)});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, saved, dir);
        QVERIFY(archive);

        const core::Comparison list =
            core::compareWithContentList(contentList(s), core::archivedFiles(*archive));
        QVERIFY(!list.byBytes);
        QCOMPARE(statesOf(list), (QStringList {"0:same record", "3:same record", "4:same record"}));

        s.recorder().clearLogs();
        const core::Comparison bytes = verify(s, *archive);
        QVERIFY2(bytes.result.ok(), qPrintable(bytes.result.reason));
        QVERIFY(bytes.byBytes && bytes.allMatch());
        QCOMPARE(statesOf(bytes), (QStringList {"0:identical", "3:identical", "4:identical"}));
        QCOMPARE(bytes.files[0].file.name, QStringLiteral("SETTINGS"));
        // The settings are read as file 120; nothing is written or deleted.
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 3);
        for (const sim::Frame& f : s.recorder().receivedFrames())
            QVERIFY(f.command == mzt500::CmdFileSize || f.command == mzt500::CmdFileData
                    || f.command == mzt500::CmdIdentify || f.command == mzt500::CmdContentList);
        QCOMPARE(s.recorder().files(), files);
    }

    void aChangedByteIsFoundWhereItIs_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("offset");
        QTest::newRow("start of a sequence's data") << 3 << 16;
        QTest::newRow("middle of a sequence") << 3 << FileSize / 2 + 1;
        QTest::newRow("last byte of a sequence") << 3 << FileSize - 1;
        QTest::newRow("settings") << int(mzt500::SettingsFileNumber) << 150;
    }
    void aChangedByteIsFoundWhereItIs()
    {
        QFETCH(int, number);
        QFETCH(int, offset);
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(archive);
        QByteArray changed = *s.recorder().file(std::uint16_t(number));
        changed[offset] = char(changed[offset] ^ 0x01);
        s.recorder().putFile(std::uint16_t(number), changed);
        const int id = number == mzt500::SettingsFileNumber ? 0 : number;

        // The list cannot see it: same type, size and duration.
        const core::Comparison list =
            core::compareWithContentList(contentList(s), core::archivedFiles(*archive));
        QCOMPARE(list.find(id)->state, FileState::SameRecord);

        const core::Comparison bytes = verify(s, *archive);
        QVERIFY(bytes.result.ok());
        QCOMPARE(bytes.mismatches(), 1);
        QCOMPARE(bytes.find(id)->state, FileState::Differs);
        QCOMPARE(bytes.find(id)->firstDifference, qint64(offset));
        QVERIFY(!bytes.allMatch());
    }

    void aSequenceRecordedAgainAtTheSameLengthDiffersOnlyInItsBytes()
    {
        auto files = threeFiles();
        SimSetup s({recorderWith(files)});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(archive);
        // Same id, length and duration, other contents.
        QByteArray again = sim::makeFile(3, mzt500::SequenceRecord, FileSize, 61000);
        for (int i = 16; i < again.size(); ++i)
            again[i] = char(i * 7);
        s.recorder().putFile(3, again);

        QCOMPARE(core::compareWithContentList(contentList(s), core::archivedFiles(*archive))
                     .find(3)
                     ->state,
                 FileState::SameRecord);
        const core::Comparison bytes = verify(s, *archive, {3});
        QCOMPARE(statesOf(bytes), QStringList {"3:differs"});
        QVERIFY(bytes.files[0].firstDifference >= 16);

        // A longer recording: the list sees it, and the written size word is
        // the first byte that differs.
        s.recorder().putFile(3, sequence(3, FileSize + 2000));
        QCOMPARE(core::compareWithContentList(contentList(s), core::archivedFiles(*archive))
                     .find(3)
                     ->state,
                 FileState::RecordDiffers);
        QCOMPARE(verify(s, *archive, {3}).files[0].firstDifference, 9);
    }

    void aRenumberedEntryIsComparedUnderItsNewNumber()
    {
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, false, dir);
        QVERIFY(archive);
        // Renumbered in the archive table: the fields change, the content's
        // old record stays until the next save.
        ArchiveEntry* entry = core::lastEntryWithId(archive.get(), 3);
        entry->setId(5);
        entry->setName(QStringLiteral("SEQUENCE 05"));

        QCOMPARE(
            statesOf(core::compareWithContentList(contentList(s), core::archivedFiles(*archive))),
            (QStringList {"0:same record", "3:first only", "4:same record", "5:second only"}));
        QCOMPARE(statesOf(verify(s, *archive)),
                 (QStringList {"0:identical", "3:first only", "4:identical", "5:second only"}));

        // Restored under its new number it is identical there.
        core::UploadItem item;
        item.file = {5, entry->name()};
        item.type = entry->type();
        item.content = entry->refreshedContent();
        QVERIFY(core::uploadFiles(&s.master, {item}).ok());
        const core::Comparison bytes = verify(s, *archive, {5});
        QCOMPARE(statesOf(bytes), QStringList {"5:identical"});
        QCOMPARE(bytes.files[0].first->id, 5u);
    }

    void filesOnOneSideOnlyAreNamedAndNotRead()
    {
        auto files = threeFiles();
        SimSetup s({recorderWith(files)});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, false, dir);
        QVERIFY(archive);
        s.recorder().putFile(7, sequence(7, 500));
        s.recorder().removeFile(4);

        s.recorder().clearLogs();
        core::Comparison bytes = verify(s, *archive);
        QCOMPARE(statesOf(bytes),
                 (QStringList {"0:identical", "3:identical", "4:second only", "7:first only"}));
        QCOMPARE(bytes.mismatches(), 2);
        QVERIFY(bytes.find(7)->first && !bytes.find(7)->second);
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 2);

        // Without the list the chosen files are read; one the recorder does
        // not hold is in the archive only, and a number neither side has is
        // left out.
        bytes = verify(s, *archive, {4, 7, 9}, false);
        QVERIFY(bytes.result.ok());
        QCOMPARE(statesOf(bytes), (QStringList {"4:second only", "7:first only"}));
    }

    void anUnreadableFileIsNamedAndTheOthersStillCompared()
    {
        auto files = threeFiles();
        files[5] = sequence(5, 300);
        SimSetup s({recorderWith(files)});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4, 5}, false, dir);
        QVERIFY(archive);
        // File 4 comes back of odd length, and the recorder refuses to send
        // file 3's data once.
        s.recorder().putFile(4, sequence(4, 401));
        sim::Faults f;
        f.statusCommand = mzt500::CmdFileData;
        f.statusCount = 1;
        f.status = sim::StatusRefused;
        s.recorder().setFaults(f);

        QList<core::Progress> seen;
        const core::Comparison bytes =
            verify(s, *archive, {}, true, nullptr, [&](const core::Progress& p) { seen << p; });
        QVERIFY2(bytes.result.ok(), qPrintable(bytes.result.reason));
        QCOMPARE(statesOf(bytes),
                 (QStringList {"0:unreadable", "3:identical", "4:unreadable", "5:identical"}));
        QVERIFY(bytes.find(4)->reason.contains(QStringLiteral("SEQUENCE 04")));
        QVERIFY(bytes.find(4)->first && bytes.find(4)->second);
        QVERIFY(!bytes.find(0)->reason.isEmpty());
        QCOMPARE(bytes.mismatches(), 2);
        // The files are counted over the whole verification.
        QList<int> started;
        for (const core::Progress& p : seen) {
            QCOMPARE(p.fileCount, 4);
            if (p.stage == core::Progress::Stage::FileStarted)
                started << p.fileIndex;
        }
        QCOMPARE(started, (QList<int> {1, 2, 3, 4}));
        QCOMPARE(s.recorder().files().size(), std::size_t(4));
    }

    void aLostReplyCostsARepeatedReadNotTheResult()
    {
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(archive);
        sim::Faults f;
        f.dropAtFrame = 6; // in the middle of file 3, and its repetition
        f.faultCount = 2;
        f.faultOffset = 40;
        s.recorder().clearLogs();
        s.recorder().setFaults(f);
        const core::Comparison bytes = verify(s, *archive, {3}, false);
        QVERIFY2(bytes.result.ok(), qPrintable(bytes.result.reason));
        QCOMPARE(statesOf(bytes), QStringList {"3:identical"});
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 2);
    }

    void aRecorderThatGoesAwayEndsTheVerification()
    {
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(archive);
        // Unplugged while the settings' data is asked for.
        sim::Faults f;
        f.vanishAtCommand = mzt500::CmdFileData;
        s.recorder().setFaults(f);
        const core::Comparison bytes = verify(s, *archive);
        QCOMPARE(bytes.result.code, ResultCode::ReadFailed);
        QVERIFY(bytes.result.reason.contains(QStringLiteral("SETTINGS")));
        QCOMPARE(statesOf(bytes), QStringList {"0:unreadable"});
        QVERIFY(!bytes.allMatch());
    }

    void cancelEndsTheVerificationWithWhatWasCompared()
    {
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto archive = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(archive);
        core::CancelToken cancel {false};
        s.recorder().clearLogs();
        // Cancelled while file 3's data arrives.
        const core::Comparison bytes =
            verify(s, *archive, {}, true, &cancel, [&](const core::Progress& p) {
                if (p.file.id == 3 && p.stage == core::Progress::Stage::Transferring
                    && p.bytesDone > 0)
                    cancel = true;
            });
        QCOMPARE(bytes.result.code, ResultCode::Cancelled);
        QVERIFY(!bytes.allMatch());
        // The file being read when the cancel came is finished, never
        // reported as a difference; the next one is not begun.
        QCOMPARE(statesOf(bytes), (QStringList {"0:identical", "3:identical"}));
        QCOMPARE(countOf(s.recorder(), mzt500::CmdFileSize), 2);
    }

    void twoArchivesAreComparedByContent()
    {
        SimSetup s({recorderWith(threeFiles())});
        QTemporaryDir dir;
        const auto first = backUp(s, {0, 3, 4}, true, dir);
        QVERIFY(first);
        auto second = std::make_unique<MZTArchive>();
        for (const ArchiveEntry* e : first->entries()) {
            auto* copy = new ArchiveEntry(*e);
            second->addEntry(copy);
        }
        // In B: 4 renumbered to 6 (its old record still inside, which a save
        // rewrites), the settings changed at their end, and a second copy of
        // 3 after the first, which is the one that counts.
        core::lastEntryWithId(second.get(), 4)->setId(6);
        ArchiveEntry* settings = core::lastEntryWithId(second.get(), 0);
        QByteArray content = settings->content();
        content[content.size() - 1] = char(content.back() + 1);
        settings->clear();
        settings->setName(QStringLiteral("SETTINGS"));
        settings->appendContent(content.constData(), content.size());
        auto* later = new ArchiveEntry(*core::lastEntryWithId(first.get(), 3));
        second->addEntry(later);

        core::Comparison diff =
            core::compareArchives(core::archivedFiles(*first), core::archivedFiles(*second));
        QCOMPARE(statesOf(diff),
                 (QStringList {"0:differs", "3:identical", "4:first only", "6:second only"}));
        QCOMPARE(diff.find(0)->firstDifference, qint64(content.size() - 1));

        // A shorter copy differs where the shorter one ends, once the size
        // words agree.
        QByteArray shorter = later->content();
        shorter.chop(2);
        later->clear();
        later->setId(3);
        later->setType(mzt500::SequenceRecord);
        later->setDuration(61000);
        later->appendContent(shorter.constData(), shorter.size());
        diff = core::compareArchives(core::archivedFiles(*first), core::archivedFiles(*second));
        QCOMPARE(diff.find(3)->firstDifference, qint64(shorter.size()));
    }

    void theListComparesTypeSizeAndDuration()
    {
        core::ArchivedFile copy;
        copy.file = {3, QStringLiteral("SEQUENCE 03")};
        copy.type = mzt500::SequenceRecord;
        copy.duration = 61000;
        copy.content = sequence(3, 1500);
        // The recorder's own figure, not yet rewritten by a save.
        qToLittleEndian<quint32>(5000, copy.content.data() + 8);
        const quint32 held = copy.heldMemSize();
        const quint32 written = MZTArchive::storedMemSize(1500);
        const auto stateFor = [&](quint32 type, quint32 memSize, quint32 duration) {
            const ContentRecord r {3, type, memSize, duration};
            return core::compareWithContentList({r}, {copy}).files.value(0).state;
        };
        QCOMPARE(stateFor(1, held, 61000), FileState::SameRecord);
        QCOMPARE(stateFor(1, written, 61000), FileState::SameRecord);
        QCOMPARE(stateFor(1, written + 1024, 61000), FileState::RecordDiffers);
        QCOMPARE(stateFor(1, held, 62000), FileState::RecordDiffers);
        QCOMPARE(stateFor(2, held, 61000), FileState::RecordDiffers);
    }
};

QTEST_GUILESS_MAIN(TestCoreComparison)
#include "tst_core_comparison.moc"
