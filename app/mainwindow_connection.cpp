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

#include <QMutex>
#include <QMutexLocker>

namespace {

enum ProbeResult { ProbeBusy = 0, ProbeNoAnswer = 1, ProbeAnswered = 2 };

} // namespace

void MainWindow::on_discoverDevice_clicked()
{
    m_ui->devLabel->clear();
    if (!m_link) {
        m_ui->devicesCombo->clear();
        return;
    }
    enterBusy();
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
    operationDone();
    describeRecorders();
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
        m_ui->devLabel->setText(
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
        m_ui->devLabel->setText(tr("<b>MZT-500</b>")
                                + (details.isEmpty() ? QString()
                                                     : QStringLiteral(" <small>")
                                           + details.toHtmlEscaped() + QStringLiteral("</small>")));
    }
    m_ui->devLabel->setToolTip(recorderDetails(m_link ? m_link->deviceIndex() : -1));
}

void MainWindow::on_updateContentFailed()
{
    m_ui->devLabel->clear();
    deviceReady = false;
}

void MainWindow::updateConnectionStatus()
{
    if (!m_master || isBusy())
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
}

void MainWindow::onDisconnected()
{
    m_ui->lblMztIcon->setPixmap(*recorderGrayPixmap);
    clearTable(m_ui->devTable);
    comparisonTracker.forgetRecorder();
    showComparison();
    m_ui->devLabel->clear();
    on_discoverDevice_clicked();
}
