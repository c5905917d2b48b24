// Transfer commands between recorder and archive, their progress display and
// their completion. Placeholder bodies until the transfer workers exist.
#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::createTransferWorkers() {}
void MainWindow::connectTransferProgress() {}
void MainWindow::destroyTransferWorkers() {}

void MainWindow::on_abortButton_clicked() {}
void MainWindow::delete_on_dev() {}
void MainWindow::delete_from_arch() {}
void MainWindow::save_in_arch() {}
void MainWindow::transfer_to_dev() {}
void MainWindow::delete_failed() {}
void MainWindow::progressCurrent(int value) { m_ui->progrBarCurrent->setValue(value); }
void MainWindow::progressTotal(int value) { m_ui->progBarTotal->setValue(value); }
void MainWindow::deleteDone() {}
void MainWindow::downLoadDone() {}
void MainWindow::downLoad_failed() {}
void MainWindow::upLoadDone() {}
void MainWindow::upLoad_failed() {}
void MainWindow::upLoadCheckDone(bool, bool, QStringList*) {}
void MainWindow::moveSequence() {}
void MainWindow::on_toDevice_clicked() {}
void MainWindow::on_toArchive_clicked() {}
void MainWindow::deviceBusy() {}

void MainWindow::hideProgress()
{
    m_ui->lblProgCurrent->hide();
    m_ui->progrBarCurrent->hide();
    m_ui->lblProgTotal->hide();
    m_ui->progBarTotal->hide();
    m_ui->abortButton->hide();
}

void MainWindow::showProgress()
{
    m_ui->lblProgCurrent->show();
    m_ui->progrBarCurrent->show();
    m_ui->lblProgTotal->show();
    m_ui->progBarTotal->show();
    m_ui->abortButton->show();
}

void MainWindow::resetProgress()
{
    m_ui->progrBarCurrent->setValue(0);
    m_ui->progBarTotal->setValue(0);
}
