#include "firmwareupdatedlg.h"
#include "ui_firmwareupdatedlg.h"

#include "builtinimage.h"
#include "devicesdiscoverer.h"
#include "firmwarelog.h"
#include "fwupdater.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mainwindow.h"
#include "recorder_vocabulary.h"
#include "updateimage.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

const QString UpdatableModel = QLatin1String(mzt500::ModelName);

// A recorder restarts into its new firmware after the last section; it is
// asked for its versions this often, this far apart, before giving up.
constexpr int readBackAttempts = 5;
constexpr int readBackIntervalMs = 1000;

// Versions as the recorder reports them, 0x0104 as "1.04".
QString versionText(uint version)
{
    return QStringLiteral("%1.%2").arg(version >> 8).arg(version & 0xFF, 2, 10, QLatin1Char('0'));
}

QString modeText(const QString& before, const QString& linkWord, const QString& target,
                 const QString& after)
{
    return QStringLiteral("<span style=\" font-size:8pt; font-weight:600;\">") + before
        + QStringLiteral(
              "<a href=\"%1\"><span style=\" font-weight:600; text-decoration: underline; "
              "color:#ff0000;\">")
              .arg(target)
        + linkWord + QStringLiteral("</span></a>") + after + QStringLiteral("</span>");
}

} // namespace

FirmwareUpdateDlg::FirmwareUpdateDlg(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::FirmwareUpdateDlg)
{
    ui->setupUi(this);
    busy = false;
    defaultModeText = modeText(tr("Default firmware update file loaded. Load "), tr("alternative"),
                               QStringLiteral("alternative-update-file"), tr(" update file."));
    alternativeModeText = modeText(tr("Load the "), tr("default"),
                                   QStringLiteral("default-update-file"), tr(" update file."));
    chooseFile = [](QWidget* owner, const QString& caption, const QString& dir,
                    const QString& filter) {
        return QFileDialog::getOpenFileName(owner, caption, dir, filter);
    };
    confirm = [](QWidget* owner, const UpdateQuestion& asked) {
        QMessageBox box(QMessageBox::Question, owner->windowTitle(), asked.question,
                        QMessageBox::Yes | QMessageBox::No, owner);
        box.setInformativeText(asked.summary);
        // Build dates and source paths matter to few; they stay folded.
        box.setDetailedText(asked.details);
        QPushButton* backUp = box.addButton(FirmwareUpdateDlg::tr("Back up recorder &first"),
                                            QMessageBox::ActionRole);
        box.setDefaultButton(QMessageBox::No);
        box.exec();
        if (box.clickedButton() == backUp)
            return Answer::BackUpFirst;
        return box.clickedButton() == box.button(QMessageBox::Yes) ? Answer::Update
                                                                   : Answer::Cancel;
    };
    ui->lbl_versions->clear();

    connect(ui->lbl_fileOpenMode, &QLabel::linkActivated, this,
            &FirmwareUpdateDlg::on_lblMode_Link_clicked);

    // Both workers go with the dialog; the destructor waits for them, and
    // the dialog cannot be closed while either runs.
    discoverer = new DevicesDiscoverer(this);
    discoverer->setComboBox(ui->devicesCombo);
    connect(discoverer, &QThread::finished, this, &FirmwareUpdateDlg::devicesDiscovered);

    ui->progressBar->hide();
    image = nullptr;
    setFileOpenMode(false);

    updater = new FwUpdater(this);
    connect(updater, &FwUpdater::progress, this, &FirmwareUpdateDlg::progress);
    connect(updater, &FwUpdater::failed, this, &FirmwareUpdateDlg::updateFailed);
    connect(updater, &FwUpdater::success, this, &FirmwareUpdateDlg::updateSuccessFul);
}

FirmwareUpdateDlg::~FirmwareUpdateDlg()
{
    // The outcome signals come just before a worker's run() returns; a
    // dialog deleted right after them must not pull the thread from under it.
    updater->wait();
    discoverer->wait();
    delete image;
    delete ui;
}

void FirmwareUpdateDlg::setMainWindow(MainWindow* window)
{
    mainWindow = window;
    discoverer->setMainWindow(window);
    updater->setMainWindow(window);
}

void FirmwareUpdateDlg::setDevices(const QList<int>& list, int currentIndex)
{
    devices = list;
    ui->devicesCombo->clear();
    for (int i = 0; i < devices.size(); ++i)
        ui->devicesCombo->addItem(
            QStringLiteral("%1 #%2").arg(QLatin1String(mzt500::ModelName)).arg(i + 1),
            QVariant(devices[i]));
    ui->devicesCombo->setCurrentIndex(currentIndex);
    ui->bttn_update->setEnabled(!devices.isEmpty() && fileOk);
}

void FirmwareUpdateDlg::setFileChooser(FileChooser chooser)
{
    chooseFile = std::move(chooser);
}

void FirmwareUpdateDlg::setConfirmation(Confirmation confirmation)
{
    confirm = std::move(confirmation);
}

QString FirmwareUpdateDlg::versionsText() const
{
    return ui->lbl_versions->text();
}

FirmwareUpdateDlg::DeviceVersions FirmwareUpdateDlg::readDeviceVersions(int deviceIndex)
{
    DeviceVersions versions;
    KVPMaster* master = mainWindow ? mainWindow->master() : nullptr;
    KVPmPhyUSB* link = mainWindow ? mainWindow->link() : nullptr;
    if (!master || !link || deviceIndex < 0)
        return versions;
    // The same steps the update itself takes to reach the chosen recorder;
    // the identification is one short exchange.
    master->stopAndReset();
    link->setDeviceIndex(deviceIndex);
    master->connectLink();
    versions.read = master->getDeviceInfo(&versions.model, &versions.software, &versions.hardware);
    return versions;
}

QString FirmwareUpdateDlg::describeVersions(const DeviceVersions& versions) const
{
    if (!versions.read)
        return tr("The recorder did not say which versions it runs.");
    return tr("The recorder (%1) runs software %2 on hardware %3.")
        .arg(versions.model, versionText(versions.software), versionText(versions.hardware));
}

QString FirmwareUpdateDlg::describeImage() const
{
    if (!image)
        return QString();
    const QString file = alternativeMode ? QFileInfo(image->fileName()).fileName()
                                         : tr("the update built into this program");
    const kv2::Header* header = image->header();
    const QString model = header ? header->model.trimmed() : tr("unknown model");
    if (const std::optional<quint16> version = kv2::statedVersion(image->freeText()))
        return tr("Update file: %1, for the %2, with software %3.")
            .arg(file, model, versionText(*version));
    return tr("Update file: %1, for the %2; it does not say which software version it holds.")
        .arg(file, model);
}

QString FirmwareUpdateDlg::imageDetails() const
{
    if (!image)
        return QString();
    QStringList lines = QString::fromLatin1(image->freeText()).split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines.join(QLatin1Char('\n'));
}

void FirmwareUpdateDlg::readVersionsBack()
{
    const DeviceVersions after = readDeviceVersions(updatedDevice);
    if (!after.read && --readBackAttemptsLeft > 0) {
        QTimer::singleShot(readBackIntervalMs, this, &FirmwareUpdateDlg::readVersionsBack);
        return;
    }
    QString outcome;
    if (!after.read) {
        lastOutcome = Outcome::Unconfirmed;
        outcome = tr("The update was sent completely, but the recorder did not answer after it. "
                     "Check its versions once it has restarted: if it does not come back, switch "
                     "it off and on, then press Discover devices.");
    } else if (!versionsBefore.read) {
        lastOutcome = Outcome::Updated;
        outcome = tr("The update worked: the recorder now runs software %1 on hardware %2. It "
                     "is ready to use.")
                      .arg(versionText(after.software), versionText(after.hardware));
    } else if (after.software != versionsBefore.software
               || after.hardware != versionsBefore.hardware) {
        lastOutcome = Outcome::Updated;
        outcome = tr("The update worked: the recorder now runs software %1 (was %2) on "
                     "hardware %3 (was %4).")
                      .arg(versionText(after.software), versionText(versionsBefore.software),
                           versionText(after.hardware), versionText(versionsBefore.hardware))
            + QLatin1Char(' ') + tr("It is ready to use.");
    } else {
        lastOutcome = Outcome::Unchanged;
        outcome = tr("The update was sent completely, but the recorder still reports software %1 "
                     "on hardware %2: the versions did not change.")
                      .arg(versionText(after.software), versionText(after.hardware))
            + QLatin1Char(' ') + unchangedNextStep(after.software);
    }
    showVersionsText(outcome);
    unlockControls();
}

void FirmwareUpdateDlg::showVersionsText(const QString& text)
{
    ui->lbl_versions->setText(text);
    // A verdict with its next step wraps onto more lines than the dialog
    // was opened with: it grows to show all of it, never shrinks.
    if (QLayout* grid = layout()) {
        grid->activate();
        const int needed = grid->totalHeightForWidth(width());
        if (needed > height())
            resize(width(), needed);
    }
}

QString FirmwareUpdateDlg::unchangedNextStep(uint running) const
{
    const std::optional<quint16> held =
        image ? kv2::statedVersion(image->freeText()) : std::nullopt;
    if (!held)
        return tr("If the update file holds the version the recorder already ran, nothing more "
                  "is needed; otherwise switch the recorder off and on, then press Discover "
                  "devices to check again.");
    if (*held == running)
        return tr("The update file holds this same version: the recorder already ran it, and "
                  "nothing more is needed.");
    return tr("The update file holds software %1. Switch the recorder off and on, then press "
              "Discover devices to check again; if it still reports %2, start the update again.")
        .arg(versionText(*held), versionText(running));
}

void FirmwareUpdateDlg::explainWait()
{
    // Busy and not discovering: sending the update or asking the recorder
    // for its versions afterwards.
    const QString why = discoverer->isRunning()
        ? tr("The recorders are still being discovered: the dialog closes once that has "
             "ended.")
        : tr("The update is still running: the dialog closes once it has ended. Do not switch "
             "the recorder off or unplug it meanwhile.");
    showVersionsText(why);
}

void FirmwareUpdateDlg::reportFailure()
{
    // Whether the recorder still answers tells a cut cable or a recorder
    // switched off from one that refused or garbled the update.
    const DeviceVersions after = readDeviceVersions(updatedDevice);
    if (after.read) {
        lastOutcome = Outcome::Failed;
        showVersionsText(
            tr("The update failed before it was complete. The recorder still answers and "
               "reports software %1 on hardware %2. Start the update again.")
                .arg(versionText(after.software), versionText(after.hardware)));
    } else {
        lastOutcome = Outcome::RecorderGone;
        showVersionsText(
            tr("The update failed: the recorder stopped answering during it (unplugged or "
               "switched off?). Connect it again and repeat the update before using it."));
    }
    unlockControls();
}

void FirmwareUpdateDlg::updateButtonState()
{
    ui->bttn_update->setEnabled(fileOk && ui->devicesCombo->count() > 0);
}

void FirmwareUpdateDlg::lockControls()
{
    busy = true;
    ui->devicesCombo->setEnabled(false);
    ui->bttn_load->setEnabled(false);
    ui->bttn_update->setEnabled(false);
    ui->bttnDiscover->setEnabled(false);
}

void FirmwareUpdateDlg::unlockControls()
{
    ui->devicesCombo->setEnabled(true);
    ui->bttn_load->setEnabled(true);
    ui->bttnDiscover->setEnabled(true);
    updateButtonState();
    busy = false;
}

void FirmwareUpdateDlg::setFileOpenMode(bool alternative)
{
    alternativeMode = alternative;
    if (alternative) {
        ui->bttn_load->show();
        ui->lbl_fileStatus->show();
        ui->lbl_fileOpenMode->setText(alternativeModeText);
        delete image;
        image = nullptr;
        fileOk = false;
        ui->bttn_update->setEnabled(false);
        return;
    }
    ui->bttn_load->hide();
    ui->lbl_fileStatus->hide();
    ui->lbl_fileStatus->clear();
    ui->lbl_fileOpenMode->setText(defaultModeText);
    delete image;
    image = new UpdateImage;
    if (image->load(builtInImagePath())) {
        fileOk = true;
        qCDebug(lcFirmware).noquote() << "KV2 OK";
        if (ui->devicesCombo->count() > 0)
            ui->bttn_update->setEnabled(true);
        return;
    }
    qCDebug(lcFirmware).noquote() << "KV2 failed";
    fileOk = false;
    delete image;
    image = nullptr;
    ui->bttn_update->setEnabled(false);
}

void FirmwareUpdateDlg::on_bttnDiscover_clicked()
{
    ui->bttn_update->setEnabled(false);
    lockControls();
    discoverer->start();
}

void FirmwareUpdateDlg::on_bttn_load_clicked()
{
    lastPath = chooseFile(this, tr("Open a Korvant Update File"), lastPath, tr("KV2 fles (*.kv2)"));
    if (!QFile::exists(lastPath))
        return;

    delete image;
    image = new UpdateImage;
    if (image->load(lastPath)) {
        ui->lbl_fileStatus->setText(image->statusText(UpdatableModel));
        if (image->matchesDevice(UpdatableModel)) {
            fileOk = true;
            if (ui->devicesCombo->count() > 0)
                ui->bttn_update->setEnabled(true);
            return;
        }
    } else {
        ui->lbl_fileStatus->setText(image->statusText(UpdatableModel));
    }
    fileOk = false;
    ui->bttn_update->setEnabled(false);
    delete image;
    image = nullptr;
}

void FirmwareUpdateDlg::on_bttn_quit_clicked()
{
    if (busy) {
        explainWait();
        return;
    }
    close();
}

void FirmwareUpdateDlg::on_bttn_update_clicked()
{
    lockControls();
    // What is about to happen, before anything is sent: the recorder's
    // versions now and what the update file says about itself.
    updatedDevice = ui->devicesCombo->currentData(Qt::UserRole).toInt();
    versionsBefore = readDeviceVersions(updatedDevice);
    showVersionsText(describeVersions(versionsBefore));
    UpdateQuestion asked;
    asked.question = tr("Update the firmware of %1 now?").arg(ui->devicesCombo->currentText());
    asked.summary = describeVersions(versionsBefore) + QLatin1Char('\n') + describeImage();
    asked.details = imageDetails();
    switch (confirm(this, asked)) {
    case Answer::Update:
        break;
    case Answer::Cancel:
        unlockControls();
        return;
    case Answer::BackUpFirst:
        unlockControls();
        done(BackUpFirstResult);
        return;
    }
    ui->progressBar->setValue(0);
    ui->progressBar->show();
    lastOutcome = Outcome::None;
    updater->setImage(image);
    updater->setDeviceIndex(updatedDevice);
    updater->start();
}

void FirmwareUpdateDlg::on_lblMode_Link_clicked(QString link)
{
    if (busy)
        return;
    if (link == QLatin1String("default-update-file"))
        setFileOpenMode(false);
    else if (link == QLatin1String("alternative-update-file"))
        setFileOpenMode(true);
    else
        qCDebug(lcFirmware).noquote() << "Unknown link";
}

void FirmwareUpdateDlg::progress(int value)
{
    ui->progressBar->setValue(value);
}

void FirmwareUpdateDlg::devicesDiscovered()
{
    unlockControls();
}

void FirmwareUpdateDlg::operationDone()
{
    unlockControls();
}

void FirmwareUpdateDlg::updateFailed()
{
    ui->progressBar->hide();
    // Busy until the outcome is known: the dialog asks the recorder first.
    reportFailure();
}

void FirmwareUpdateDlg::updateSuccessFul()
{
    ui->progressBar->hide();
    // Busy until the versions are back: the dialog still talks to the
    // recorder meanwhile.
    readBackAttemptsLeft = readBackAttempts;
    readVersionsBack();
}

void FirmwareUpdateDlg::reject()
{
    if (busy) {
        explainWait();
        return;
    }
    QDialog::reject();
}

void FirmwareUpdateDlg::closeEvent(QCloseEvent* event)
{
    if (busy) {
        event->ignore();
        explainWait();
        return;
    }
    QDialog::closeEvent(event);
}
