// Archive file commands, the archive label, the start-up archive and the
// archive check at close. Placeholder bodies until the archive model exists.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>

void MainWindow::updateArchLabel()
{
    m_ui->archLabel->setToolTip(QString());
    m_ui->archLabel->setText(QStringLiteral("<b><i>") + tr("Unnamed archive"));
}

void MainWindow::on_newArchive_clicked() {}
void MainWindow::on_saveArchiveAs_clicked() {}
void MainWindow::on_saveArchive_clicked() {}
void MainWindow::on_openArchive_clicked() {}
void MainWindow::on_actionSave_archive_as_triggered() {}
void MainWindow::on_actionSave_Archive_triggered() {}
void MainWindow::on_action_Open_Archive_triggered() {}
void MainWindow::on_actionNew_Archive_triggered() {}
void MainWindow::saveArchiveAsDialog() {}
void MainWindow::askToSaveModified() {}
void MainWindow::openArchiveDialog() {}

void MainWindow::loadStartUpArchive()
{
    fillArchiveTable(m_archive, m_ui->archTable);
}

void MainWindow::checkArchiveOnClose(QCloseEvent* event)
{
    event->accept();
}
