// The firmware update dialog on its own and opened from the main window,
// against simulated recorders.
#include "builtinimage.h"
#include "firmwareupdatedlg.h"
#include "kv2testfiles.h"
#include "kvpmphyusb.h"
#include "mainwindow.h"
#include "modalboxes.h"
#include "mztarchive.h"
#include "recorder_backup.h"
#include "simulator.h"
#include "ui_firmwareupdatedlg.h"
#include "ui_mainwindow.h"
#include "updateimage.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

constexpr int itemIdRole = 1; // file id in the first cell of a table row

bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QStringList comboTexts(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

sim::DeviceConfig recorderWithSequences(std::initializer_list<std::uint32_t> ids)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    for (std::uint32_t id : ids)
        c.files[sim::fileNumberOf(id)] = sim::makeFile(id, 1, 2000, 5000);
    return c;
}

// Runs body once the modal dialog opened by open() is up; returns what went
// wrong inside, or an empty string.
QString withModalDialog(const std::function<void()>& open,
                        const std::function<QString(FirmwareUpdateDlg*)>& body)
{
    auto problem = std::make_shared<QString>(QStringLiteral("the dialog never opened"));
    testcommon::whenModal([problem, body](QWidget* widget) {
        auto* dlg = qobject_cast<FirmwareUpdateDlg*>(widget);
        if (!dlg)
            return false;
        *problem = body(dlg);
        dlg->form()->bttn_quit->click();
        if (dlg->isVisible()) {
            *problem += " / the dialog did not close";
            dlg->done(0);
        }
        return true;
    });
    open();
    return *problem;
}

// Answers the update question always the same way.
FirmwareUpdateDlg::Confirmation answer(FirmwareUpdateDlg::Answer given)
{
    return [given](QWidget*, const FirmwareUpdateDlg::UpdateQuestion&) { return given; };
}

// Answers the next message box with Yes.
void answerNextQuestionYes()
{
    testcommon::answerNextBox(QMessageBox::Yes);
}

} // namespace

class TestDialog : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void deviceListAndUpdateButton();
    void modeLinks();
    void loadingFiles();
    void busyRefusesLinksAndClosing();
    void updateFromMainWindow();
    void failedUpdateThenRetryFromDisk();
    void commandRefusedWhileBusy();
    void updateIsConfirmedAndItsOutcomeShown();
    void failureWhileRecorderAnswersAndWindowLabelAfterwards();
    void quitWhileSendingAndTheSameVersionAgain();
    void backUpFirstThenTheDialogComesBack();
};

void TestDialog::cleanup()
{
    sim::Bus::instance().uninstall();
}

void TestDialog::deviceListAndUpdateButton()
{
    FirmwareUpdateDlg dlg;
    QVERIFY(dlg.isFileOk());
    QVERIFY(!dlg.isAlternativeMode());
    QVERIFY(dlg.currentImage() && dlg.currentImage()->isValid());
    QCOMPARE(dlg.windowTitle(), QString("MZT-500 Firmware Update Tool"));

    dlg.setDevices({}, -1);
    QVERIFY(!dlg.form()->bttn_update->isEnabled());

    dlg.setDevices({7, 2, 5}, 1);
    QCOMPARE(comboTexts(dlg.form()->devicesCombo),
             QStringList({"MZT-500 #1", "MZT-500 #2", "MZT-500 #3"}));
    QCOMPARE(dlg.form()->devicesCombo->currentIndex(), 1);
    QCOMPARE(dlg.form()->devicesCombo->itemData(0, Qt::UserRole).toInt(), 7);
    QCOMPARE(dlg.form()->devicesCombo->itemData(2, Qt::UserRole).toInt(), 5);
    QVERIFY(dlg.form()->bttn_update->isEnabled());
}

void TestDialog::modeLinks()
{
    FirmwareUpdateDlg dlg;
    dlg.show();
    dlg.setDevices({0}, 0);
    QVERIFY(dlg.form()->lbl_fileOpenMode->text().contains("href=\"alternative-update-file\""));
    QVERIFY(dlg.form()->bttn_load->isHidden());
    QVERIFY(dlg.form()->lbl_fileStatus->isHidden());

    emit dlg.form()->lbl_fileOpenMode->linkActivated("alternative-update-file");
    QVERIFY(dlg.isAlternativeMode());
    QVERIFY(!dlg.currentImage());
    QVERIFY(!dlg.isFileOk());
    QVERIFY(!dlg.form()->bttn_update->isEnabled());
    QVERIFY(dlg.form()->bttn_load->isVisible());
    QVERIFY(dlg.form()->lbl_fileStatus->isVisible());
    QVERIFY(dlg.form()->lbl_fileOpenMode->text().contains("href=\"default-update-file\""));

    dlg.on_lblMode_Link_clicked("something-else");
    QVERIFY(dlg.isAlternativeMode());

    emit dlg.form()->lbl_fileOpenMode->linkActivated("default-update-file");
    QVERIFY(!dlg.isAlternativeMode());
    QVERIFY(dlg.isFileOk());
    QVERIFY(dlg.currentImage() && dlg.currentImage()->isValid());
    QCOMPARE(dlg.currentImage()->fileName(), builtInImagePath());
    QVERIFY(dlg.form()->bttn_update->isEnabled());
    QVERIFY(dlg.form()->bttn_load->isHidden());
    QVERIFY(dlg.form()->lbl_fileStatus->isHidden());
    QVERIFY(dlg.form()->lbl_fileStatus->text().isEmpty());
}

void TestDialog::loadingFiles()
{
    QTemporaryDir dir;
    const QString good = dir.filePath("good.kv2");
    const QString other = dir.filePath("other.kv2");
    const QString broken = dir.filePath("broken.kv2");
    QVERIFY(writeBytes(good, makeKv2File("MZT-500", {256})));
    QVERIFY(writeBytes(other, makeKv2File("MZT-700", {256})));
    QByteArray bad = makeKv2File("MZT-500", {256});
    bad[1300] = char(bad[1300] + 1);
    QVERIFY(writeBytes(broken, bad));

    FirmwareUpdateDlg dlg;
    dlg.setDevices({0}, 0);
    QString answer;
    QStringList startPaths;
    dlg.setFileChooser(
        [&](QWidget*, const QString& caption, const QString& start, const QString& filter) {
            startPaths << start;
            if (caption != "Open a Korvant Update File" || filter != "KV2 fles (*.kv2)")
                return QString("wrong caption or filter");
            return answer;
        });
    emit dlg.form()->lbl_fileOpenMode->linkActivated("alternative-update-file");

    answer = good;
    dlg.form()->bttn_load->click();
    QVERIFY(dlg.isFileOk());
    QVERIFY(dlg.form()->bttn_update->isEnabled());
    QCOMPARE(dlg.form()->lbl_fileStatus->text(),
             QString("<font color =\"green\">The file %1 is OK.</font>").arg(good));

    // Cancelled: the loaded file stays in force, the next dialog starts afresh.
    answer = QString();
    dlg.form()->bttn_load->click();
    QVERIFY(dlg.isFileOk());
    QCOMPARE(dlg.currentImage()->fileName(), good);
    QVERIFY(dlg.form()->bttn_update->isEnabled());
    QVERIFY(dlg.lastFilePath().isEmpty());

    answer = other;
    dlg.form()->bttn_load->click();
    QCOMPARE(startPaths, QStringList({"", good, ""}));
    QVERIFY(!dlg.isFileOk());
    QVERIFY(!dlg.currentImage());
    QVERIFY(!dlg.form()->bttn_update->isEnabled());
    QVERIFY(dlg.form()->lbl_fileStatus->text().startsWith("<font color =\"grey\">"));
    QVERIFY(dlg.form()->lbl_fileStatus->text().contains(
        " does not contain a firmware update for the connected device."));

    answer = broken;
    dlg.form()->bttn_load->click();
    QVERIFY(!dlg.isFileOk());
    QCOMPARE(
        dlg.form()->lbl_fileStatus->text(),
        QString("<font color =\"red\">The file %1 is not a valid KV2 file.</font>").arg(broken));

    // A path that does not exist changes nothing.
    answer = dir.filePath("missing.kv2");
    dlg.form()->bttn_load->click();
    QVERIFY(dlg.form()->lbl_fileStatus->text().contains("is not a valid KV2 file."));
}

void TestDialog::busyRefusesLinksAndClosing()
{
    // Without a main window the discoverer ends at once, but the dialog is
    // busy until it has heard so.
    FirmwareUpdateDlg dlg;
    dlg.setDevices({0}, 0);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.form()->bttnDiscover->click();
    QVERIFY(dlg.isBusy());
    QVERIFY(!dlg.form()->bttn_update->isEnabled());
    QVERIFY(!dlg.form()->bttn_load->isEnabled());
    QVERIFY(!dlg.form()->devicesCombo->isEnabled());
    QVERIFY(dlg.form()->bttn_quit->isEnabled());

    dlg.on_lblMode_Link_clicked("alternative-update-file");
    QVERIFY(!dlg.isAlternativeMode());
    dlg.form()->bttn_quit->click();
    QVERIFY(dlg.isVisible());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    dlg.reject();
    QVERIFY(dlg.isVisible());

    QTRY_VERIFY(!dlg.isBusy());
    QVERIFY(dlg.form()->bttn_update->isEnabled());
    QVERIFY(dlg.form()->devicesCombo->isEnabled());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
}

void TestDialog::updateFromMainWindow()
{
    // Both recorders hold sequence 1, so a deletion shows which one it hit.
    auto devs = sim::Bus::instance().install(
        {recorderWithSequences({1, 2}), recorderWithSequences({1, 3})});
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);
    QCOMPARE(window.ui()->devicesCombo->count(), 2);
    QCOMPARE(window.ui()->devicesCombo->currentIndex(), 0);

    int highest = -1;
    bool busyDuringDialog = false;
    const QString problem =
        withModalDialog([&] { window.on_actionUpdate_firmware_triggered(); },
                        [&](FirmwareUpdateDlg* dlg) -> QString {
                            busyDuringDialog = window.isBusy();
                            QComboBox* combo = dlg->form()->devicesCombo;
                            if (comboTexts(combo) != QStringList({"MZT-500 #1", "MZT-500 #2"}))
                                return "handed-over list: " + comboTexts(combo).join(", ");
                            // The dialog's own discovery finds the same two.
                            dlg->form()->bttnDiscover->click();
                            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 20000))
                                return "discovery did not end";
                            if (comboTexts(combo) != QStringList({"MZT-500 #1", "MZT-500 #2"}))
                                return "discovered list: " + comboTexts(combo).join(", ");
                            combo->setCurrentIndex(1);
                            dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::Update));
                            QObject::connect(dlg->form()->progressBar, &QProgressBar::valueChanged,
                                             [&](int v) { highest = qMax(highest, v); });
                            dlg->form()->bttn_update->click();
                            if (!dlg->isBusy() || dlg->form()->progressBar->isHidden())
                                return "update did not start";
                            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                                return "update did not end";
                            if (!dlg->form()->progressBar->isHidden())
                                return "progress bar still shown";
                            if (!dlg->form()->bttn_update->isEnabled())
                                return "update button not enabled again";
                            return QString();
                        });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(busyDuringDialog);
    QCOMPARE(highest, 100);
    QVERIFY(devs[1]->firmware().complete && devs[1]->firmware().checksumOk);
    QVERIFY(devs[0]->firmware().header.isEmpty());

    // The window goes back to the recorder its combo box shows.
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);
    QCOMPARE(window.link()->deviceIndex(), 0);

    QTableWidget* table = window.ui()->devTable;
    int row = -1;
    for (int r = 0; r < table->rowCount(); ++r) {
        if (table->item(r, 0) && table->item(r, 0)->data(itemIdRole).toInt() == 1)
            row = r;
    }
    QVERIFY(row >= 0);
    table->clearSelection();
    table->selectRow(row);
    answerNextQuestionYes();
    window.delete_on_dev();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
    QVERIFY(!devs[0]->file(1).has_value());
    QVERIFY(devs[1]->file(1).has_value());
}

void TestDialog::failedUpdateThenRetryFromDisk()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("update.kv2");
    QVERIFY(writeBytes(path, makeKv2File("MZT-500", {512, 768})));
    auto devs = sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);

    int failures = 0;
    QString afterFailure;
    FirmwareUpdateDlg::Outcome failureOutcome = FirmwareUpdateDlg::Outcome::None;
    QString afterRetry;
    const QString problem = withModalDialog(
        [&] { window.on_actionUpdate_firmware_triggered(); },
        [&](FirmwareUpdateDlg* dlg) -> QString {
            dlg->setFileChooser(
                [&](QWidget*, const QString&, const QString&, const QString&) { return path; });
            dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::Update));
            dlg->on_lblMode_Link_clicked("alternative-update-file");
            dlg->form()->bttn_load->click();
            if (!dlg->isFileOk())
                return "file not accepted: " + dlg->form()->lbl_fileStatus->text();
            // Identification (64 bytes, read twice) and the header's 15-byte
            // status reply: the recorder goes as section 0 starts. Not as the
            // last section starts: a recorder restarting into its new
            // firmware leaves that one unanswered too, so the two cannot be
            // told apart there.
            sim::Faults faults;
            faults.vanishAfterBytes = 2 * 64 + 15;
            devs[0]->setFaults(faults);
            for (int attempt = 0; attempt < 2; ++attempt) {
                dlg->form()->bttn_update->click();
                if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                    return "update did not end";
                if (!dlg->form()->bttn_update->isEnabled() || !dlg->form()->bttn_load->isEnabled()
                    || !dlg->form()->bttnDiscover->isEnabled()
                    || !dlg->form()->progressBar->isHidden())
                    return "controls not unlocked";
                if (attempt == 0) {
                    if (devs[0]->firmware().complete)
                        return "first attempt completed";
                    ++failures;
                    afterFailure = dlg->versionsText();
                    failureOutcome = dlg->outcome();
                    devs[0]->clearFaults();
                    devs[0]->reappear();
                }
            }
            afterRetry = dlg->versionsText();
            return QString();
        });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(failures, 1);
    // The recorder unplugged part-way is a failure in words, not silence.
    QCOMPARE(failureOutcome, FirmwareUpdateDlg::Outcome::RecorderGone);
    QVERIFY2(afterFailure.startsWith("The update failed: the recorder stopped answering"),
             qPrintable(afterFailure));
    // The simulated recorder keeps its versions: sent, but nothing changed.
    QVERIFY2(afterRetry.startsWith("The update was sent completely, but the recorder still"),
             qPrintable(afterRetry));
    // The file states no version: both next steps are named.
    QVERIFY2(afterRetry.contains("If the update file holds the version the recorder already ran"),
             qPrintable(afterRetry));
    QVERIFY2(afterRetry.contains("switch the recorder off and on"), qPrintable(afterRetry));
    QVERIFY(devs[0]->firmware().complete && devs[0]->firmware().checksumOk);
    QCOMPARE(devs[0]->firmware().sections.size(), size_t(2));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
}

void TestDialog::commandRefusedWhileBusy()
{
    auto devs = sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    MainWindow window;
    // Construction starts discovery: busy, so neither way opens the dialog.
    QVERIFY(window.isBusy());
    window.on_devLabelLinkActivated("Update-MZT-500");
    window.on_actionUpdate_firmware_triggered();
    QVERIFY(!window.findChild<FirmwareUpdateDlg*>());
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);

    // An unknown link opens nothing either.
    window.on_devLabelLinkActivated("elsewhere");
    QVERIFY(!window.findChild<FirmwareUpdateDlg*>());

    const QString problem =
        withModalDialog([&] { window.on_devLabelLinkActivated("Update-MZT-500"); },
                        [](FirmwareUpdateDlg*) { return QString(); });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
}

void TestDialog::updateIsConfirmedAndItsOutcomeShown()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("new.kv2");
    QVERIFY(writeBytes(
        path,
        makeKv2File(
            "MZT-500", {512},
            "Build 2026-11-30 14:02\r\nfrom firmware tree r4711\r\nSoftware version 1.05\r\n")));
    auto devs = sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    devs[0]->setVersions(0x0102, 0x0104);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);

    QList<FirmwareUpdateDlg::UpdateQuestion> asked;
    bool goAhead = false;
    QString afterDecline;
    QString afterUpdate;
    const QString problem = withModalDialog(
        [&] { window.on_actionUpdate_firmware_triggered(); },
        [&](FirmwareUpdateDlg* dlg) -> QString {
            dlg->setConfirmation([&](QWidget*, const FirmwareUpdateDlg::UpdateQuestion& q) {
                asked << q;
                return goAhead ? FirmwareUpdateDlg::Answer::Update
                               : FirmwareUpdateDlg::Answer::Cancel;
            });
            dlg->setFileChooser(
                [&](QWidget*, const QString&, const QString&, const QString&) { return path; });
            dlg->on_lblMode_Link_clicked("alternative-update-file");
            dlg->form()->bttn_load->click();

            // Declined: nothing is sent, the controls come back.
            dlg->form()->bttn_update->click();
            if (dlg->isBusy() || !dlg->form()->bttn_update->isEnabled())
                return "controls not back after declining";
            afterDecline = dlg->versionsText();

            // The recorder comes back from the update with a new version.
            QObject::connect(dlg->form()->progressBar, &QProgressBar::valueChanged, [&](int v) {
                if (v == 100)
                    devs[0]->setVersions(0x0102, 0x0105);
            });
            goAhead = true;
            dlg->form()->bttn_update->click();
            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                return "update did not end";
            afterUpdate = dlg->versionsText();
            return QString();
        });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(asked.size(), 2);
    QCOMPARE(asked[0].question, QStringLiteral("Update the firmware of MZT-500 #1 now?"));
    // The versions side by side; the build lines folded away as details.
    const QString summary = asked[0].summary;
    QVERIFY2(summary.contains("software 1.04 on hardware 1.02"), qPrintable(summary));
    QVERIFY2(summary.contains("new.kv2, for the MZT-500, with software 1.05"), qPrintable(summary));
    QVERIFY2(!summary.contains("Build"), qPrintable(summary));
    QCOMPARE(
        asked[0].details,
        QStringLiteral("Build 2026-11-30 14:02\nfrom firmware tree r4711\nSoftware version 1.05"));
    QVERIFY(afterDecline.contains("software 1.04"));
    QVERIFY2(afterUpdate.startsWith("The update worked: "), qPrintable(afterUpdate));
    QVERIFY2(afterUpdate.contains("software 1.05 (was 1.04)"), qPrintable(afterUpdate));
    QVERIFY2(afterUpdate.endsWith("It is ready to use."), qPrintable(afterUpdate));
    QVERIFY(devs[0]->firmware().complete);
    QCOMPARE(devs[0]->firmware().sections.size(), size_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
}

void TestDialog::failureWhileRecorderAnswersAndWindowLabelAfterwards()
{
    // An outdated recorder: the window offers the update in its label.
    auto devs = sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    devs[0]->setVersions(0x0102, 0x0103);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(window.ui()->devLabel->text().contains("updated"), 20000);

    QString afterRefusal;
    FirmwareUpdateDlg::Outcome refusalOutcome = FirmwareUpdateDlg::Outcome::None;
    QString afterUpdate;
    const QString problem = withModalDialog(
        [&] { window.on_actionUpdate_firmware_triggered(); },
        [&](FirmwareUpdateDlg* dlg) -> QString {
            dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::Update));
            // The recorder stays on the line but refuses every section of
            // the update: a failure it survives.
            sim::Faults faults;
            faults.statusCommand = 4;
            faults.statusCount = 1000;
            devs[0]->setFaults(faults);
            dlg->form()->bttn_update->click();
            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                return "first update did not end";
            devs[0]->clearFaults();
            afterRefusal = dlg->versionsText();
            refusalOutcome = dlg->outcome();

            QObject::connect(dlg->form()->progressBar, &QProgressBar::valueChanged, [&](int v) {
                if (v == 100)
                    devs[0]->setVersions(0x0102, 0x0105);
            });
            dlg->form()->bttn_update->click();
            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                return "second update did not end";
            afterUpdate = dlg->versionsText();
            return QString();
        });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(refusalOutcome, FirmwareUpdateDlg::Outcome::Failed);
    QVERIFY2(afterRefusal.startsWith("The update failed before it was complete."),
             qPrintable(afterRefusal));
    QVERIFY2(afterUpdate.contains("software 1.05 (was 1.03)"), qPrintable(afterUpdate));

    // Closed, the window reads the versions again: the recorder is current.
    QTRY_VERIFY_WITH_TIMEOUT(window.ui()->devLabel->text().startsWith("<b>MZT-500</b>"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isDeviceReady(), 20000);
}

void TestDialog::quitWhileSendingAndTheSameVersionAgain()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("same.kv2");
    QVERIFY(writeBytes(path, makeKv2File("MZT-500", {512, 512, 512}, "version 1.04\r\n")));
    auto devs = sim::Bus::instance().install({sim::DeviceConfig::recorder()});
    devs[0]->setVersions(0x0102, 0x0104);
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);

    QString whileSending;
    bool stayedOpen = false;
    QString verdict;
    FirmwareUpdateDlg::Outcome outcome = FirmwareUpdateDlg::Outcome::None;
    const QString problem =
        withModalDialog([&] { window.on_actionUpdate_firmware_triggered(); },
                        [&](FirmwareUpdateDlg* dlg) -> QString {
                            dlg->setFileChooser([&](QWidget*, const QString&, const QString&,
                                                    const QString&) { return path; });
                            dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::Update));
                            dlg->on_lblMode_Link_clicked("alternative-update-file");
                            dlg->form()->bttn_load->click();
                            // Quit while the update runs: the dialog stays and says why.
                            dlg->form()->bttn_update->click();
                            if (!dlg->isBusy())
                                return "update did not start";
                            dlg->form()->bttn_quit->click();
                            stayedOpen = dlg->isVisible();
                            whileSending = dlg->versionsText();
                            if (!QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
                                return "update did not end";
                            verdict = dlg->versionsText();
                            outcome = dlg->outcome();
                            // The verdict with its next step is shown whole.
                            QLabel* line = dlg->form()->lbl_versions;
                            QApplication::processEvents();
                            if (line->height() < line->heightForWidth(line->width()))
                                return "the verdict is cut off";
                            return QString();
                        });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(stayedOpen);
    QVERIFY2(whileSending.startsWith("The update is still running"), qPrintable(whileSending));
    QCOMPARE(outcome, FirmwareUpdateDlg::Outcome::Unchanged);
    QVERIFY2(verdict.contains("The update file holds this same version"), qPrintable(verdict));
    QVERIFY(devs[0]->firmware().complete);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
}

void TestDialog::backUpFirstThenTheDialogComesBack()
{
    QTemporaryDir dir;
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
                           QStringLiteral("MZT-500 Data Backup Tool"));
        backup::setFolder(settings, dir.path());
    }
    auto devs = sim::Bus::instance().install({recorderWithSequences({1, 2})});
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy() && window.isConnected(), 20000);

    // First the backup is asked for: nothing is sent, the dialog closes.
    const QString first =
        withModalDialog([&] { window.on_actionUpdate_firmware_triggered(); },
                        [&](FirmwareUpdateDlg* dlg) -> QString {
                            dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::BackUpFirst));
                            dlg->form()->bttn_update->click();
                            return dlg->isVisible() ? "the dialog stayed open" : QString();
                        });
    QVERIFY2(first.isEmpty(), qPrintable(first));
    QVERIFY(devs[0]->firmware().header.isEmpty());

    // Once the backup is saved, the dialog comes back for the update.
    bool reopened = false;
    testcommon::whenModal([&](QWidget* widget) {
        auto* dlg = qobject_cast<FirmwareUpdateDlg*>(widget);
        if (!dlg)
            return false;
        reopened = true;
        dlg->setConfirmation(answer(FirmwareUpdateDlg::Answer::Update));
        dlg->form()->bttn_update->click();
        if (QTest::qWaitFor([&] { return !dlg->isBusy(); }, 60000))
            dlg->form()->bttn_quit->click();
        return true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(reopened, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 20000);
    const QStringList saved = QDir(dir.path()).entryList({QStringLiteral("*.mzt")}, QDir::Files);
    QCOMPARE(saved.size(), 1);
    MZTArchive backupMade(dir.filePath(saved.first()));
    QVERIFY(backupMade.load());
    QCOMPARE(backupMade.entries().size(), 2);
    QVERIFY(devs[0]->firmware().complete && devs[0]->firmware().checksumOk);
}

QTEST_MAIN(TestDialog)
#include "tst_firmware_dialog.moc"
