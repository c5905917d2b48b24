// What the window tells the user besides its questions: a status-bar line for
// each completed command, why it cannot close during an operation, and which
// recorder is which.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "devicesdiscoverer.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "recorder_session.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>

#include <optional>
#include <vector>

void MainWindow::startReport(Reported what, int files)
{
    runner->startReport(what, files);
    statusBar()->clearMessage();
}

void MainWindow::finishReport()
{
    const QString line = runner->finishReport();
    if (!line.isEmpty())
        statusBar()->showMessage(line);
}

void MainWindow::reportArchiveSaved(qint64 elapsedMs)
{
    if (!m_archive)
        return;
    // The name alone does not say where the file went.
    const QFileInfo saved(m_archive->fileName());
    statusBar()->showMessage(
        tr("Saved %1 (%2) in %3. Folder: %4")
            .arg(saved.fileName(), DeviceCommandRunner::filesText(int(m_archive->entries().size())),
                 DeviceCommandRunner::durationText(elapsedMs),
                 QDir::toNativeSeparators(saved.absolutePath())));
}

void MainWindow::explainRefusedClose()
{
    // One explanation at a time, however often the user tries.
    if (refusedCloseBox)
        return;
    const bool transferRunning = m_ui->abortButton->isVisible();
    const QString text = transferRunning
        ? tr("The window cannot be closed while the recorder is being worked on.\n"
             "Click Cancel below the tables to stop the operation, or wait until it has "
             "ended, then close the window.")
        : tr("The window cannot be closed while the program talks to the recorder.\n"
             "This takes a moment; close the window again when it has ended.");
    auto* box = new QMessageBox(QMessageBox::Information, tr("MZT-500 Data Backup Tool"), text,
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    refusedCloseBox = box;
    // Not modal to the application: the operation goes on, and its
    // progress and Cancel stay reachable.
    box->setWindowModality(Qt::NonModal);
    box->show();
}

namespace {

// The device the last discovery listed under deviceIndex; reading the list
// does not list again.
std::optional<core::ListedDevice> listedDevice(int deviceIndex)
{
    const std::vector<core::ListedDevice> devices = core::deviceList(false);
    if (deviceIndex < 0 || size_t(deviceIndex) >= devices.size())
        return std::nullopt;
    return devices[size_t(deviceIndex)];
}

} // namespace

QString MainWindow::recorderSerial(int deviceIndex) const
{
    const std::optional<core::ListedDevice> device = listedDevice(deviceIndex);
    return device ? device->serial : QString();
}

QString MainWindow::recorderDetails(int deviceIndex, bool brief) const
{
    const std::optional<core::ListedDevice> device = listedDevice(deviceIndex);
    if (!device)
        return QString();
    const QString& serial = device->serial;
    // A serial port has no USB location; its path is what the user knows it by.
    const QString port = device->locationId == 0 && !device->place.isEmpty()
        ? device->place
        : QStringLiteral("0x%1").arg(device->locationId, 4, 16, QLatin1Char('0'));
    if (brief)
        return serial.isEmpty() ? tr("port %1").arg(port) : tr("%1, port %2").arg(serial, port);
    return tr("serial number %1, port %2").arg(serial.isEmpty() ? tr("none") : serial, port);
}

bool MainWindow::isListedRecorder(const RecorderIdentity& recorder) const
{
    if (!comparisonTracker.recorderListed())
        return false;
    const std::optional<core::ListedDevice> device =
        listedDevice(m_link ? m_link->deviceIndex() : -1);
    if (!device)
        return false;
    if (!recorder.serial.isEmpty())
        return recorder.serial == device->serial;
    // Backups of a recorder without a serial number name its USB location.
    return !recorder.place.isEmpty()
        && (recorder.place == device->place
            || recorder.place
                == QStringLiteral("0x%1").arg(device->locationId, 4, 16, QLatin1Char('0')));
}

void MainWindow::describeRecorders()
{
    QComboBox* combo = m_ui->devicesCombo;
    for (int i = 0; i < combo->count(); ++i)
        combo->setItemData(i, recorderDetails(combo->itemData(i, Qt::UserRole).toInt()),
                           Qt::ToolTipRole);
    // A recorder another program holds is there but cannot be used: that is
    // said instead of "not found", which would send the user to the cable.
    QStringList inUse;
    for (const core::ListedDevice& device : discoverer->devicesInUse())
        inUse.append(device.name());
    const QString inUseText = inUse.isEmpty() ? QString()
        : inUse.size() == 1 ? tr("The recorder %1 is in use by another program.").arg(inUse.first())
                            : tr("The recorders %1 are in use by other programs.")
                                  .arg(inUse.join(QStringLiteral(", ")));
    if (combo->count() == 0) {
        m_ui->devLabel->setToolTip(QString());
        setRecorderLabel((inUse.isEmpty() ? tr("No recorder found.") : inUseText.toHtmlEscaped())
                         + QStringLiteral(" <a href=\"") + QLatin1String(recorderNotFoundLink)
                         + QStringLiteral("\">") + tr("What to check") + QStringLiteral("</a>"));
    }
    if (!inUse.isEmpty())
        statusBar()->showMessage(inUseText);
}
