// What the window tells the user besides its questions: a status-bar line for
// each completed command, why it cannot close during an operation, and which
// recorder is which.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "ftd2xx.h"
#include "mztarchive.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>

#include <vector>

namespace {

// Longest list the device layer hands out; far more than are ever attached.
constexpr DWORD maxListedDevices = 64;

// The device the last discovery listed under deviceIndex; reading the list
// does not list again.
bool listedDevice(int deviceIndex, FT_DEVICE_LIST_INFO_NODE* device)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(maxListedDevices);
    DWORD count = maxListedDevices;
    if (FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK || deviceIndex < 0
        || DWORD(deviceIndex) >= count)
        return false;
    *device = nodes[std::size_t(deviceIndex)];
    return true;
}

QString serialOf(const FT_DEVICE_LIST_INFO_NODE& node)
{
    return QString::fromLatin1(node.SerialNumber,
                               qstrnlen(node.SerialNumber, sizeof node.SerialNumber));
}

} // namespace

QString MainWindow::filesText(int count)
{
    return count == 1 ? tr("1 file") : tr("%1 files").arg(count);
}

QString MainWindow::durationText(qint64 ms)
{
    if (ms < 1000)
        return tr("%1 ms").arg(ms);
    if (ms < 60000)
        return tr("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 seconds = (ms + 500) / 1000;
    return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void MainWindow::startReport(Reported what, int files)
{
    reportWhat = what;
    reportFiles = files;
    reportHasFailed = false;
    cancelRequested = false;
    lastFailure = FailureNote();
    reportTimer.start();
    statusBar()->clearMessage();
}

void MainWindow::reportFailed()
{
    reportHasFailed = true;
}

void MainWindow::noteFailure(const QString& reason, const QString& file, int filesDone)
{
    lastFailure = {true, reason, file, filesDone};
}

void MainWindow::showTransferFailure(Reported what, const QString& message)
{
    const bool running = reportWhat == what;
    if (running && cancelRequested) {
        const QString done = filesText(lastFailure.noted ? lastFailure.filesDone : 0);
        QString text;
        switch (what) {
        case Reported::Download:
            text = tr("The download was cancelled; %1 had been copied into the archive before.");
            break;
        case Reported::Upload:
            text = tr("The upload was cancelled; %1 had been written to the recorder before.");
            break;
        default:
            text = tr("The deletion was cancelled; %1 had been deleted on the recorder before.");
            break;
        }
        QMessageBox::information(this, tr("MZT-500 Data Backup Tool"), text.arg(done));
        return;
    }
    QMessageBox box(QMessageBox::Warning, tr("MZT-500 Data Backup Tool"), message, QMessageBox::Ok,
                    this);
    if (running && lastFailure.noted && !lastFailure.reason.isEmpty())
        box.setInformativeText(lastFailure.file.isEmpty()
                                   ? lastFailure.reason
                                   : lastFailure.file + QStringLiteral(": ") + lastFailure.reason);
    box.exec();
}

void MainWindow::finishReport()
{
    const Reported what = reportWhat;
    reportWhat = Reported::Nothing;
    if (what == Reported::Nothing || reportHasFailed)
        return;
    const QString files = filesText(reportFiles);
    const QString took = durationText(reportTimer.elapsed());
    QString line;
    switch (what) {
    case Reported::Download:
        line = tr("Downloaded %1 from the recorder into the archive in %2.").arg(files, took);
        break;
    case Reported::Upload:
        line = tr("Uploaded %1 from the archive to the recorder in %2.").arg(files, took);
        break;
    case Reported::Deletion:
        line = tr("Deleted %1 on the recorder in %2.").arg(files, took);
        break;
    case Reported::Nothing:
        return;
    }
    statusBar()->showMessage(line);
}

void MainWindow::reportArchiveSaved(qint64 elapsedMs)
{
    if (!m_archive)
        return;
    statusBar()->showMessage(tr("Saved %1 (%2) in %3.")
                                 .arg(QFileInfo(m_archive->fileName()).fileName(),
                                      filesText(int(m_archive->entries().size())),
                                      durationText(elapsedMs)));
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

QString MainWindow::recorderSerial(int deviceIndex) const
{
    FT_DEVICE_LIST_INFO_NODE node {};
    return listedDevice(deviceIndex, &node) ? serialOf(node) : QString();
}

QString MainWindow::recorderDetails(int deviceIndex, bool brief) const
{
    FT_DEVICE_LIST_INFO_NODE node {};
    if (!listedDevice(deviceIndex, &node))
        return QString();
    const QString serial = serialOf(node);
    const QString port = QStringLiteral("0x%1").arg(node.LocId, 4, 16, QLatin1Char('0'));
    if (brief)
        return serial.isEmpty() ? tr("port %1").arg(port) : tr("%1, port %2").arg(serial, port);
    return tr("serial number %1, port %2").arg(serial.isEmpty() ? tr("none") : serial, port);
}

void MainWindow::describeRecorders()
{
    QComboBox* combo = m_ui->devicesCombo;
    for (int i = 0; i < combo->count(); ++i)
        combo->setItemData(i, recorderDetails(combo->itemData(i, Qt::UserRole).toInt()),
                           Qt::ToolTipRole);
    if (combo->count() == 0) {
        m_ui->devLabel->setToolTip(QString());
        m_ui->devLabel->setText(tr("No recorder found.") + QStringLiteral(" <a href=\"")
                                + QLatin1String(recorderNotFoundLink) + QStringLiteral("\">")
                                + tr("What to check") + QStringLiteral("</a>"));
    }
}
