// The firmware update command: opens the update dialog from the Edit menu or
// from the update link of the device label.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "firmwareupdatedlg.h"
#include "helpbrowser.h"

#include <QList>

void MainWindow::on_actionUpdate_firmware_triggered()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Firmware update dialog";

    auto* dialog = new FirmwareUpdateDlg(this);
    dialog->setMainWindow(this);
    QList<int> devices;
    for (int i = 0; i < m_ui->devicesCombo->count(); ++i)
        devices << m_ui->devicesCombo->itemData(i, Qt::UserRole).toInt();
    dialog->setDevices(devices, m_ui->devicesCombo->currentIndex());

    // The dialog drives the master itself; holding the device lock and the
    // busy flag keeps every other device operation (and the poll) out.
    runner->beginModal();
    const int result = dialog->exec();
    runner->endModal();
    dialog->deleteLater();

    if (result == FirmwareUpdateDlg::BackUpFirstResult) {
        firmwareAfterBackup = true;
        backUpRecorder();
        // Declined or impossible: the backup said why; no update follows.
        if (!isBusy())
            firmwareAfterBackup = false;
        return;
    }

    // The dialog leaves the link on the recorder it probed or updated last.
    // The device table and every later command refer to the recorder chosen
    // here, so switch back to it and read its content again.
    if (m_ui->devicesCombo->count() > 0)
        updateMZTContent();
}

void MainWindow::on_devLabelLinkActivated(QString link)
{
    qCDebug(lcApp) << "Link clicked " << link;
    // Help stays available while the window is busy.
    if (link == QLatin1String(recorderNotFoundLink)) {
        auto* browser = new HelpBrowser(nullptr, QLatin1String(recorderNotFoundSection));
        browser->show();
        return;
    }
    if (isBusy())
        return;
    if (link == QLatin1String("Update-MZT-500"))
        on_actionUpdate_firmware_triggered();
    else
        qCDebug(lcApp) << "Unknown link";
}
