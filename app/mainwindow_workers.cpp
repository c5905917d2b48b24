// The window as the workers' host: what they reach through it, and the
// window-taking setters the workers and helpers offer, defined here so that
// they themselves know nothing of the window.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "mainwindowcloser.h"
#include "tableselection.h"
#include "workerhost.h"

#include <QComboBox>

QList<mzt::SelectedCell> MainWindow::selectedCells(mzt::TransferTable table) const
{
    return selectedCellsOf(table == mzt::TransferTable::Device ? m_ui->devTable : m_ui->archTable);
}

QComboBox* MainWindow::devicesCombo() const
{
    return m_ui->devicesCombo;
}

void MainWindow::clearDeviceTable()
{
    m_ui->devTable->clearContents();
    m_ui->devTable->setRowCount(0);
    comparisonTracker.forgetRecorder();
    showComparison();
}

void mzt::HostedWorker::setMainWindow(MainWindow* window)
{
    setHost(window);
}

void MainWindowCloser::setMainWindow(MainWindow* window)
{
    setWindow(window);
}
