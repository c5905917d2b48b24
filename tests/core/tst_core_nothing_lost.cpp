// What a cancel or a strange file must never cost: a file the recorder held,
// a cancel reported as a success, or an archive entry under the wrong id.
#include "coretest.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"
#include "transfers.h"

#include <QtEndian>

#include <optional>

using core::ResultCode;

namespace {

core::UploadItem item(int id, const QByteArray& content, const QString& name)
{
    core::UploadItem i;
    i.file = {id, name};
    i.type = mzt500::SequenceRecord;
    i.content = content;
    return i;
}

// How each front end cancels: the window sets its token and asks the master
// to abort; the command line's signal thread also breaks a waiting exchange.
enum class Canceller { Window, CommandLine };

void cancelAs(Canceller who, KVPMaster& master, core::CancelToken& token)
{
    token = true;
    if (who == Canceller::Window)
        master.requestAbort();
    else
        master.interrupt();
}

// The point of an upload at which the cancel arrives: the first request of
// this command (and parameter, when not -1), or its n-th with `nth`.
struct Moment {
    int command = -1;
    int parameter = -1;
    int nth = 1;
};

// Watches the recorder's requests until it goes out of scope.
class CancelAt {
public:
    CancelAt(sim::Recorder& recorder, const Moment& at, Canceller who, KVPMaster& master,
             core::CancelToken& token)
        : m_recorder(recorder)
    {
        auto seen = std::make_shared<int>(0);
        recorder.setRequestObserver([=, &master, &token](const sim::Frame& f) {
            if (f.command == at.command && (at.parameter < 0 || f.parameter == at.parameter)
                && ++*seen == at.nth)
                cancelAs(who, master, token);
        });
    }
    ~CancelAt() { m_recorder.setRequestObserver({}); }
    CancelAt(const CancelAt&) = delete;
    CancelAt& operator=(const CancelAt&) = delete;

private:
    sim::Recorder& m_recorder;
};

} // namespace

Q_DECLARE_METATYPE(Canceller)

class TestCoreNothingLost : public SimBusTest {
    Q_OBJECT

private slots:
    // Cancel anywhere outside a replacement: the next frame boundary ends the
    // run as cancelled, and what the recorder held is untouched.
    void cancelOutsideAReplacementStopsAtOnce_data()
    {
        QTest::addColumn<Canceller>("who");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("parameter");
        QTest::addColumn<bool>("sixWritten");
        for (Canceller who : {Canceller::Window, Canceller::CommandLine}) {
            const char* by = who == Canceller::Window ? "window" : "command line";
            // The select for writing answers before the write starts: an
            // abort that arrives meanwhile must not be forgotten.
            QTest::addRow("select for writing, %s", by)
                << who << int(mzt500::CmdSelectWrite) << 6 << false;
            QTest::addRow("existence query of the file to replace, %s", by)
                << who << int(mzt500::CmdFileExists) << 7 << true;
        }
    }
    void cancelOutsideAReplacementStopsAtOnce()
    {
        QFETCH(Canceller, who);
        QFETCH(int, command);
        QFETCH(int, parameter);
        QFETCH(bool, sixWritten);
        const QByteArray old7 = sequence(7, 500);
        SimSetup s({recorderWith({{7, old7}})});
        core::CancelToken cancel {false};
        const CancelAt at(s.recorder(), {command, parameter}, who, s.master, cancel);
        const core::Result result = core::uploadFiles(&s.master,
                                                      {item(6, sequence(6, 3000), "SIX"),
                                                       item(7, sequence(7, 900), "SEVEN"),
                                                       item(8, sequence(8, 300), "EIGHT")},
                                                      {}, {}, &cancel);
        QCOMPARE(result.code, ResultCode::Cancelled);
        QCOMPARE(bool(s.recorder().file(6)), sixWritten);
        QCOMPARE(s.recorder().file(7).value_or(QByteArray()), old7);
        QVERIFY(!s.recorder().file(8));
        QCOMPARE(countOf(s.recorder(), mzt500::CmdDeleteControl), 0);
        if (sixWritten)
            QCOMPARE(countOf(s.recorder(), mzt500::CmdSelectWrite), 1);
    }

    // Once the recorder has begun to delete a file to replace it, a cancel
    // waits until that file is written completely: the recorder never loses
    // it. The run still ends as cancelled, before the next file.
    void cancelDuringAReplacementFinishesThatFile_data()
    {
        QTest::addColumn<Canceller>("who");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("parameter");
        QTest::addColumn<int>("nth");
        QTest::addColumn<int>("next");
        const int poll = int(mzt500::DeleteStatus);
        const int control = int(mzt500::CmdDeleteControl);
        const int select = int(mzt500::CmdSelectWrite);
        const int data = int(mzt500::CmdWriteData);
        for (Canceller who : {Canceller::Window, Canceller::CommandLine}) {
            const char* by = who == Canceller::Window ? "window" : "command line";
            QTest::addRow("deletion polls, %s, more to come", by)
                << who << control << poll << 1 << 6;
            QTest::addRow("select for writing, %s, more to come", by)
                << who << select << -1 << 1 << 6;
            QTest::addRow("rewrite, %s, more to come", by) << who << data << -1 << 3 << 6;
            QTest::addRow("rewrite, %s, last file", by) << who << data << -1 << 3 << -1;
        }
    }
    void cancelDuringAReplacementFinishesThatFile()
    {
        QFETCH(Canceller, who);
        QFETCH(int, command);
        QFETCH(int, parameter);
        QFETCH(int, nth);
        QFETCH(int, next);
        sim::DeviceConfig c = recorderWith({{64, sequence(64, 2000)}});
        c.deleteDurationMs = 300; // several polls
        SimSetup s({c});
        core::CancelToken cancel {false};
        const CancelAt at(s.recorder(), {command, parameter, nth}, who, s.master, cancel);
        const QByteArray fresh = sequence(64, 4000);
        QList<core::UploadItem> items {item(64, fresh, "SEQUENCE 64")};
        if (next > 0)
            items.append(item(next, sequence(next, 300), "NEXT"));
        QList<core::Progress> seen;
        QList<int> written;
        const core::Result result = core::uploadFiles(
            &s.master, items, [&](const core::UploadItem& i, bool) { written << i.file.id; },
            [&](const core::Progress& p) { seen << p; }, &cancel);

        QCOMPARE(result.code, ResultCode::Cancelled);
        QCOMPARE(s.recorder().file(64).value_or(QByteArray()), fresh);
        QCOMPARE(written, QList<int> {64});
        if (next > 0)
            QVERIFY(!s.recorder().file(next));
        // The progress shows the file finishing.
        bool allSent = false, finished = false;
        for (const core::Progress& p : seen) {
            if (p.file.id != 64)
                continue;
            allSent |= p.stage == core::Progress::Stage::Transferring
                && p.bytesDone == quint64(fresh.size()) && p.bytesTotal == quint64(fresh.size());
            finished |= p.stage == core::Progress::Stage::FileDone;
        }
        QVERIFY(allSent);
        QVERIFY(finished);
    }

    // A recorder that vanishes while it lost a file: the reason names the
    // file, says that what the recorder holds of it is not known (its data
    // was on the way) and that the archive still holds it, cancel or not.
    void recorderVanishingDuringAReplacementNamesTheLostFile_data()
    {
        QTest::addColumn<bool>("cancelFirst");
        QTest::newRow("after a cancel") << true;
        QTest::newRow("without a cancel") << false;
    }
    void recorderVanishingDuringAReplacementNamesTheLostFile()
    {
        QFETCH(bool, cancelFirst);
        sim::DeviceConfig c = recorderWith({{64, sequence(64, 2000)}});
        c.faults.vanishAtCommand = mzt500::CmdWriteData;
        SimSetup s({c});
        core::CancelToken cancel {false};
        std::optional<CancelAt> at;
        if (cancelFirst)
            at.emplace(s.recorder(), Moment {mzt500::CmdDeleteControl, int(mzt500::DeleteStatus)},
                       Canceller::CommandLine, s.master, cancel);
        const core::Result result = core::uploadFiles(
            &s.master, {item(64, sequence(64, 4000), "SEQUENCE 64")}, {}, {}, &cancel);
        QCOMPARE(result.code, ResultCode::WriteFailedAfterDelete);
        QCOMPARE(result.file.id, 64);
        QVERIFY2(result.reason.contains(
                     "SEQUENCE 64 may be incomplete on the recorder or missing from it, and the "
                     "archive still holds it."),
                 qPrintable(result.reason));
        QVERIFY(!s.recorder().file(64));
    }

    // A file whose record carries another id than the number it was read
    // from keeps that number in the archive, with its record's id words made
    // to agree, and no other entry is touched.
    void aFileIsArchivedUnderTheNumberItWasReadFrom()
    {
        QByteArray five = sequence(5, 700);
        qToLittleEndian<quint32>(9, five.data());
        QByteArray twelve = sequence(12, 400);
        qToLittleEndian<quint32>(3, twelve.data());
        const QByteArray nine = sequence(9, 300);
        SimSetup s({recorderWith({{5, five}, {9, nine}, {12, twelve}})});

        MZTArchive archive(QStringLiteral("unused.mzt"));
        auto* three = new ArchiveEntry;
        const QByteArray oldThree = sequence(3, 200);
        three->setId(3);
        three->setType(mzt500::SequenceRecord);
        three->appendContent(oldThree.constData(), oldThree.size());
        three->setName(QStringLiteral("THREE"));
        archive.addEntry(three);

        QList<bool> added;
        QTest::ignoreMessage(QtWarningMsg, "File 5 carries id 9 in its record; kept as 5");
        QTest::ignoreMessage(QtWarningMsg, "File 12 carries id 3 in its record; kept as 12");
        const core::Result result =
            core::downloadFiles(&s.master, {{5, "FIVE"}, {9, "NINE"}, {12, "TWELVE"}},
                                [&](const core::DownloadedFile& f) {
                                    added << core::storeInArchive(&archive, f, f.file.name);
                                });
        QVERIFY(result.ok());
        QCOMPARE(added, (QList<bool> {true, true, true}));
        QCOMPARE(archive.entries().size(), 4);

        const auto entryOf = [&](int id) {
            int count = 0;
            ArchiveEntry* found = nullptr;
            for (ArchiveEntry* e : archive.entries())
                if (e->id() == id) {
                    ++count;
                    found = e;
                }
            return count == 1 ? found : nullptr;
        };
        QVERIFY(entryOf(3) && entryOf(5) && entryOf(9) && entryOf(12));
        QCOMPARE(entryOf(3)->content(), oldThree);
        QCOMPARE(entryOf(9)->content(), nine);
        QByteArray expectedFive = five;
        qToLittleEndian<quint32>(5, expectedFive.data());
        QCOMPARE(entryOf(5)->content(), expectedFive);
        QCOMPARE(entryOf(12)->refreshedContent(), sequence(12, 400));
        QCOMPARE(entryOf(5)->name(), QStringLiteral("FIVE"));

        // Restored, each goes back to the number it came from.
        QList<core::UploadItem> items;
        for (int id : {5, 12})
            items << item(id, core::lastEntryWithId(&archive, id)->refreshedContent(),
                          QString::number(id));
        s.recorder().removeFile(5);
        s.recorder().removeFile(12);
        QVERIFY(core::uploadFiles(&s.master, items).ok());
        QCOMPARE(s.recorder().file(5).value_or(QByteArray()), expectedFive);
        QCOMPARE(s.recorder().file(12).value_or(QByteArray()), sequence(12, 400));
        QCOMPARE(s.recorder().file(9).value_or(QByteArray()), nine);
        QVERIFY(!s.recorder().file(3));
    }
};

QTEST_GUILESS_MAIN(TestCoreNothingLost)
#include "tst_core_nothing_lost.moc"
