// The recorder connection: discovery, switching to the selected recorder and
// reading its content, its transfer mode, its firmware state and the poll
// that notices when it stops answering.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "devicecontentupdater.h"
#include "devicesdiscoverer.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "recorder_session.h"
#include "recorder_vocabulary.h"

#include <QApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QStatusBar>
#include <QTimer>

namespace {

enum ProbeResult { ProbeBusy = 0, ProbeNoAnswer = 1, ProbeAnswered = 2 };

// While a question is open, a plug event waits this long before it looks
// again whether the window may list anew.
constexpr int modalRecheckMs = 500;

} // namespace

void MainWindow::on_discoverDevice_clicked()
{
    setRecorderLabel();
    if (!m_link) {
        m_ui->devicesCombo->clear();
        return;
    }
    enterBusy();
    presentAtDiscovery = d2xx::presentDevices();
    discoverer->start(QThread::InheritPriority);
}

void MainWindow::on_actionDiscoverDevices_triggered()
{
    if (isBusy())
        return;
    on_discoverDevice_clicked();
}

void MainWindow::devicesDiscovered()
{
    qCDebug(lcApp) << "devices Done";
    if (plugRelisting)
        applyPlugRelisting();
    // A recorder whose automatic backup failed is tried again after a
    // discovery, whoever asked for it.
    automaticBackupFailed.clear();
    operationDone();
    describeRecorders();
    // After the line about recorders in use, which it explains.
    if (!plugStatusLine.isEmpty())
        statusBar()->showMessage(std::exchange(plugStatusLine, QString()));
    if (m_ui->devicesCombo->count() > 0)
        updateMZTContent();
}

void MainWindow::updateMZTContent()
{
    qCDebug(lcApp) << "Update content";
    if (!m_master || !m_link)
        return;
    enterBusy();
    const int id = m_ui->devicesCombo->currentData(Qt::UserRole).toInt();
    qCDebug(lcApp) << "device = " << id;
    releaseDeviceFromTransferMode();
    m_master->stopAndReset();
    m_link->setDeviceIndex(id);
    m_master->connectLink();
    putDeviceIntoTransferMode();
    if (contentUpdater->isRunning())
        operationDone();
    else
        contentUpdater->start(QThread::InheritPriority);
}

void MainWindow::putDeviceIntoTransferMode()
{
    core::switchTransferMode(m_master, true);
}

void MainWindow::releaseDeviceFromTransferMode()
{
    core::switchTransferMode(m_master, false);
}

void MainWindow::swVersion(uint version)
{
    if (version < mzt500::FirstCurrentVersion) {
        deviceReady = false;
        setRecorderLabel(
            QStringLiteral(
                "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">"
                "p, li { white-space: pre-wrap; }</style></head><body style=\" font-family:'MS "
                "Shell Dlg 2'; font-size:8.25pt; font-weight:400; font-style:normal;\"><p "
                "style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; "
                "-qt-block-indent:0; text-indent:0px;\"><span style=\" font-size:8pt; "
                "font-weight:600;\">")
            + tr("This device needs to be")
            + QStringLiteral(
                "</span><span style=\" font-size:8pt;\"> </span><a href=\"Update-MZT-500\"><span "
                "style=\" font-weight:600; text-decoration: underline; color:#ff0000;\">")
            + tr("updated")
            + QStringLiteral(
                "</span></a><span style=\" font-size:8pt;\">.</span></p></body></html>"));
    } else {
        deviceReady = true;
        // The serial number and port tell two recorders apart.
        const QString details = recorderDetails(m_link ? m_link->deviceIndex() : -1, true);
        setRecorderLabel(tr("<b>MZT-500</b>")
                         + (details.isEmpty() ? QString()
                                              : QStringLiteral(" <small>") + details.toHtmlEscaped()
                                    + QStringLiteral("</small>")));
    }
    m_ui->devLabel->setToolTip(recorderDetails(m_link ? m_link->deviceIndex() : -1));
}

void MainWindow::on_updateContentFailed()
{
    setRecorderLabel();
    deviceReady = false;
}

void MainWindow::updateConnectionStatus()
{
    if (!m_master || isBusy() || isBackingUpAutomatically())
        return;
    int result;
    {
        QMutexLocker lock(runner->deviceMutex());
        result = m_master->checkConnection();
    }
    switch (result) {
    case ProbeAnswered:
        if (connected && m_ui->devicesCombo->count() == 0) {
            connected = false;
            onDisconnected();
        } else if (!connected && m_ui->devicesCombo->count() > 0) {
            connected = true;
            onConnected();
        }
        qCDebug(lcApp) << "PING OK";
        break;
    case ProbeNoAnswer:
        qCDebug(lcApp) << ".";
        if (connected) {
            connected = false;
            onDisconnected();
        } else if (m_ui->devicesCombo->count() > 0 || m_ui->devTable->rowCount() > 0) {
            onDisconnected();
        }
        break;
    default:
        break;
    }
}

void MainWindow::onConnected()
{
    m_ui->lblMztIcon->setPixmap(*recorderPixmap);
    startAutomaticBackupWhenIdle();
}

void MainWindow::onDisconnected()
{
    forgetShownRecorder();
    on_discoverDevice_clicked();
}

void MainWindow::devicesPlugged()
{
    relistPending = true;
    relistAfterPlug();
}

void MainWindow::relistAfterPlug()
{
    if (!relistPending || !m_link)
        return;
    // Nothing changes under a transfer, a discovery or the content listing:
    // operationDone_NoUnlock() comes back here once the window is idle.
    if (isBusy())
        return;
    // Nor under a question about the recorder, which is answered with the
    // list as it stands.
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(modalRecheckMs, this, &MainWindow::relistAfterPlug);
        return;
    }
    relistPending = false;
    // A discovery opens every device, and the window opens its recorder
    // after it. On the libftdi route each open and close makes the kernel's
    // serial driver let go of the recorder or take it back, which udev
    // reports as a port that went or came: relisting on that would start the
    // next round. So a discovery follows only when a device came, went or
    // was plugged in again, or while one was held by another program (whose
    // letting go is reported the same way and is worth a new look).
    if (presentAtDiscovery && discoverer->devicesInUse().isEmpty()
        && d2xx::presentDevices() == *presentAtDiscovery) {
        qCDebug(lcApp) << "plug event without a change of devices";
        return;
    }
    PlugRelisting relisting;
    relisting.before = listedRecorders();
    relisting.chosen = m_ui->devicesCombo->currentIndex();
    plugRelisting = std::move(relisting);
    // Discovery fills the combo box line by line, its signals held back
    // while the window is busy; the chosen line is set once it is whole.
    on_discoverDevice_clicked();
}

void MainWindow::applyPlugRelisting()
{
    QComboBox* combo = m_ui->devicesCombo;
    const PlugRelisting relisting = *std::exchange(plugRelisting, std::nullopt);
    const std::vector<d2xx::PluggedDevice> now = listedRecorders();

    // The chosen recorder, wherever it is in the new list.
    bool chosenStays = false;
    if (relisting.chosen >= 0 && size_t(relisting.chosen) < relisting.before.size()) {
        const d2xx::PluggedDevice& chosen = relisting.before[size_t(relisting.chosen)];
        for (size_t i = 0; i < now.size() && !chosenStays; ++i) {
            if (d2xx::diffListings({chosen}, {now[i]}).empty()) {
                combo->setCurrentIndex(int(i));
                chosenStays = true;
            }
        }
        if (!chosenStays)
            forgetShownRecorder();
    }

    // Gone is what is no longer listed at all; a recorder that is there
    // but did not answer (another program holds it) is said to be in use.
    std::vector<d2xx::PluggedDevice> present;
    for (const core::ListedDevice& device : discoverer->devicesPresent())
        present.push_back({device.serial.toStdString(), device.place.toStdString(),
                           device.description.toStdString()});
    const auto names = [](const std::vector<d2xx::PluggedDevice>& devices) {
        QStringList out;
        for (const d2xx::PluggedDevice& d : devices)
            out << core::ListedDevice {{},
                                       QString::fromStdString(d.serial),
                                       0,
                                       QString::fromStdString(d.place)}
                       .name();
        return out;
    };
    const QStringList gone = names(d2xx::diffListings(relisting.before, present).gone);
    const QStringList came = names(d2xx::diffListings(relisting.before, now).appeared);
    QStringList lines;
    if (!came.isEmpty())
        lines << (came.size() == 1
                      ? tr("%1 was plugged in.").arg(came.first())
                      : tr("%1 were plugged in.").arg(came.join(QStringLiteral(", "))));
    if (!gone.isEmpty())
        lines << (gone.size() == 1 ? tr("%1 was unplugged.").arg(gone.first())
                                   : tr("%1 were unplugged.").arg(gone.join(QStringLiteral(", "))));
    plugStatusLine = lines.join(QLatin1Char(' '));
}

std::vector<d2xx::PluggedDevice> MainWindow::listedRecorders() const
{
    std::vector<d2xx::PluggedDevice> recorders;
    const QComboBox* combo = m_ui->devicesCombo;
    for (int i = 0; i < combo->count(); ++i)
        recorders.push_back(
            {combo->itemData(i, DevicesDiscoverer::SerialRole).toString().toStdString(),
             combo->itemData(i, DevicesDiscoverer::PlaceRole).toString().toStdString(),
             combo->itemData(i, DevicesDiscoverer::DescriptionRole).toString().toStdString()});
    return recorders;
}

void MainWindow::forgetShownRecorder()
{
    connected = false;
    m_ui->lblMztIcon->setPixmap(*recorderGrayPixmap);
    clearTable(m_ui->devTable);
    comparisonTracker.forgetRecorder();
    showComparison();
    setRecorderLabel();
}
