// "Back up recorder" with a file the recorder cannot deliver: what was read
// is saved as an incomplete backup, the box names what is missing and why,
// and reading the missing files again completes it; a recorder that is lost
// mid-backup still leaves nothing.
#include "apptest.h"

#include "recorder_vocabulary.h"

#include <QDir>
#include <QFileInfo>
#include <QStatusBar>
#include <QTemporaryDir>

#include <map>

using namespace apptest;

namespace {

constexpr char kSerial[] = "KV000001";
constexpr int kDamaged = 2; // SEQUENCE 02 lies in a damaged memory area

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Files whose records say what an archive writes back for them, so that
// the saved copies are the recorder's byte for byte.
sim::DeviceConfig recorderOfThree()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = kSerial;
    c.files[sim::kSettingsFileNumber] = sim::makeFile(0, 0, 1000, 0);
    for (std::uint32_t id = 1; id <= 3; ++id)
        c.files[sim::fileNumberOf(id)] = sim::makeFile(id, 1, 3000 * id, 61000 * id);
    return c;
}

sim::Faults damagedArea()
{
    sim::Faults faults;
    faults.statusFile = kDamaged;
    faults.status = sim::StatusRefused;
    return faults;
}

// What a box showed before the test answered it.
struct BoxSeen {
    QString text;
    QString detail;
    QStringList buttons;
};

void remember(QMessageBox* box, BoxSeen* seen)
{
    seen->text = box->text();
    seen->detail = box->informativeText();
    for (QAbstractButton* button : box->buttons())
        seen->buttons << button->text();
}

// The file numbers of the size requests the recorder got.
QList<int> sizeRequests(const sim::Recorder& recorder)
{
    QList<int> numbers;
    for (const sim::Frame& frame : recorder.receivedFrames())
        if (frame.command == mzt500::CmdFileSize)
            numbers << frame.parameter;
    return numbers;
}

} // namespace

class TestIncompleteBackup : public QObject {
    Q_OBJECT

private slots:
    void init() { clearSettings(); }
    void cleanup()
    {
        sim::Bus::instance().uninstall();
        MZTArchive::setSaveFaults({});
    }

    void keepsWhatWasReadAndReadsTheRestAgain();
    void aRecorderLostMidBackupStillSavesNothing();
    void savedElsewhereItStillSaysIncomplete();
};

void TestIncompleteBackup::keepsWhatWasReadAndReadsTheRestAgain()
{
    QTemporaryDir dir;
    useBackupFolder(dir.path());
    sim::DeviceConfig config = recorderOfThree();
    config.faults = damagedArea();
    const std::shared_ptr<sim::Recorder> rec = install({config}).front();
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));

    // What the window and the folder show while each box is up: a box
    // waits for its answer, so nothing moves meanwhile.
    BoxSeen first;
    BoxSeen second;
    QStringList folderAtFirst;
    QStringList folderAtSecond;
    QString statusAtFirst;
    QString shownAtFirst;
    QString shownAtSecond;
    std::map<int, QByteArray> savedAtFirst;
    QList<int> askedAgain;
    std::shared_ptr<QStringList> secondAnswer;
    // First "Read again" while the area is still damaged: only that file is
    // asked for, and the backup stays incomplete. The second comes after
    // the recorder was repaired.
    auto firstAnswer = clickInNextBox(QStringLiteral("Read again"), [&](QMessageBox* box) {
        remember(box, &first);
        folderAtFirst = filesIn(dir.path());
        statusAtFirst = w.statusBar()->currentMessage();
        shownAtFirst = w.archive()->fileName();
        for (int id : {0, 1, 2, 3})
            savedAtFirst[id] = testcommon::archivedContent(shownAtFirst, id);
        rec->clearLogs();
        secondAnswer = clickInNextBox(QStringLiteral("Read again"), [&](QMessageBox* box) {
            remember(box, &second);
            folderAtSecond = filesIn(dir.path());
            shownAtSecond = w.archive()->fileName();
            askedAgain = sizeRequests(*rec);
            rec->setFaults({});
        });
    });
    const QDateTime before = QDateTime::currentDateTime();
    w.ui()->backUpRecorder->click();
    QTRY_VERIFY_WITH_TIMEOUT(!first.text.isEmpty(), 20000);
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(first.text,
             QStringLiteral("The backup is incomplete: 1 file could not be read from the "
                            "recorder."));
    QVERIFY2(first.detail.startsWith(
                 QStringLiteral("The recorder answered the read of SEQUENCE 02 with an error.\n")),
             qPrintable(first.detail));
    QVERIFY(first.buttons.contains(QStringLiteral("&Read again")));

    // Saved before the question is answered, under the marked name, with
    // every other file as the recorder holds it; and shown.
    QCOMPARE(folderAtFirst.size(), 1);
    const auto marked = [&](const QDateTime& when) {
        return backup::fileName(QString::fromLatin1(kSerial), when,
                                backup::Completeness::Incomplete);
    };
    QVERIFY2(folderAtFirst.first() == marked(before) || folderAtFirst.first() == marked(after),
             qPrintable(folderAtFirst.first()));
    const QString incompletePath = dir.filePath(folderAtFirst.first());
    QCOMPARE(shownAtFirst, incompletePath);
    QVERIFY(first.detail.contains(folderAtFirst.first()));
    QCOMPARE(savedAtFirst[kDamaged], QByteArray());
    for (int id : {0, 1, 3})
        QCOMPARE(savedAtFirst[id],
                 *rec->file(id == 0 ? sim::kSettingsFileNumber : std::uint16_t(id)));
    QVERIFY2(statusAtFirst.startsWith(
                 QStringLiteral("Not read: SEQUENCE 02 (refused by the recorder). Backed up 3 of "
                                "4 files from the recorder into %1.")
                     .arg(folderAtFirst.first())),
             qPrintable(statusAtFirst));
    // Still the recorder's backup for the history, marked as incomplete.
    const std::optional<backup::NameParts> parts = backup::parseFileName(folderAtFirst.first());
    QVERIFY(parts && parts->incomplete);
    QCOMPARE(parts->serial, QString::fromLatin1(kSerial));

    // The second box came from reading again with the area still damaged:
    // only SEQUENCE 02 was asked for, and no other file was made.
    QTRY_VERIFY_WITH_TIMEOUT(!second.text.isEmpty(), 20000);
    QCOMPARE(second.text, first.text);
    QVERIFY(!askedAgain.isEmpty());
    for (int number : std::as_const(askedAgain))
        QCOMPARE(number, kDamaged);
    QCOMPARE(folderAtSecond, folderAtFirst);
    QCOMPARE(shownAtSecond, incompletePath);

    // Read again once repaired: the whole backup under its complete name,
    // and the incomplete one gone.
    QTRY_VERIFY_WITH_TIMEOUT(secondAnswer && secondAnswer->contains(QStringLiteral("clicked")),
                             20000);
    // The files are read once the recorder's listing after the backup ended.
    QTRY_VERIFY_WITH_TIMEOUT(
        w.statusBar()->currentMessage().startsWith(QLatin1String("Read 1 file again")), 20000);
    QVERIFY(waitIdleAndConnected(w));
    const QStringList complete = filesIn(dir.path());
    QCOMPARE(complete.size(), 1);
    const std::optional<backup::NameParts> completeParts = backup::parseFileName(complete.first());
    QVERIFY(completeParts && !completeParts->incomplete);
    QCOMPARE(completeParts->when, parts->when);
    const QString completePath = dir.filePath(complete.first());
    for (int id : {0, 1, 2, 3})
        QCOMPARE(testcommon::archivedContent(completePath, id),
                 *rec->file(id == 0 ? sim::kSettingsFileNumber : std::uint16_t(id)));
    QCOMPARE(w.archive()->fileName(), completePath);
    QVERIFY(!w.archive()->isModified());
    QCOMPARE(w.ui()->archTable->rowCount(), 4);
    QVERIFY2(w.statusBar()->currentMessage().startsWith(
                 QStringLiteral("Read 1 file again: the backup %1 is complete, 4 files in all.")
                     .arg(complete.first())),
             qPrintable(w.statusBar()->currentMessage()));
    QVERIFY(firstAnswer->contains(QStringLiteral("clicked")));
}

void TestIncompleteBackup::aRecorderLostMidBackupStillSavesNothing()
{
    QTemporaryDir dir;
    useBackupFolder(dir.path());
    sim::DeviceConfig config = recorderOfThree();
    const std::shared_ptr<sim::Recorder> rec = install({config}).front();
    const QString current = dir.filePath(QStringLiteral("current.mzt"));
    MainWindow w(current);
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));

    // The settings, read first, are refused; the recorder is unplugged as
    // the next file's data is asked for.
    sim::Faults faults = damagedArea();
    faults.statusFile = sim::kSettingsFileNumber;
    faults.vanishAtCommand = mzt500::CmdFileData;
    rec->setFaults(faults);
    auto seen = answerNextBox(QMessageBox::Ok);
    w.backUpRecorder();
    QTRY_VERIFY_WITH_TIMEOUT(!seen->text.isEmpty(), 20000);
    QCOMPARE(seen->text,
             QStringLiteral("The backup of the recorder has failed; no archive was saved."));
    // SETTINGS was passed over; the next file ended the backup.
    QCOMPARE(seen->detail,
             QStringLiteral("SEQUENCE 01: Reading SEQUENCE 01 from the recorder failed."));
    QTRY_VERIFY_WITH_TIMEOUT(!w.isBusy(), 20000);
    QCOMPARE(filesIn(dir.path()), QStringList());
    QCOMPARE(w.archive()->fileName(), current);
    QVERIFY(w.statusBar()->currentMessage().isEmpty()
            || !w.statusBar()->currentMessage().startsWith(QLatin1String("Backed up")));
}

void TestIncompleteBackup::savedElsewhereItStillSaysIncomplete()
{
    QTemporaryDir dir;
    useBackupFolder(dir.filePath(QStringLiteral("backups")));
    sim::DeviceConfig config = recorderOfThree();
    config.faults = damagedArea();
    install({config});
    MainWindow w;
    w.show();
    QVERIFY(waitSettled(w, 4));
    QVERIFY(waitIdleAndConnected(w));

    // The disk is full at the save; the user saves what was read elsewhere.
    MZTArchive::SaveFaults full;
    full.spaceLeft = 100;
    MZTArchive::setSaveFaults(full);
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.mzt"));
    auto answered = clickInNextBox(QStringLiteral("Save as..."), [&](QMessageBox*) {
        MZTArchive::setSaveFaults({});
        testcommon::acceptNextFileDialog(elsewhere);
    });
    w.backUpRecorder();
    QTRY_COMPARE_WITH_TIMEOUT(w.archive()->fileName(), elsewhere, 20000);
    QCOMPARE(w.statusBar()->currentMessage(),
             QStringLiteral("Not read: SEQUENCE 02 (refused by the recorder). The backup saved "
                            "as elsewhere.mzt is incomplete."));
    QCOMPARE(testcommon::archivedContent(elsewhere, kDamaged), QByteArray());
    QVERIFY(!testcommon::archivedContent(elsewhere, 3).isEmpty());
}

QTEST_MAIN(TestIncompleteBackup)
#include "tst_app_incomplete_backup.moc"
