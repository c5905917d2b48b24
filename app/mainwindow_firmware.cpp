// The firmware update command. Placeholder bodies until the update dialog
// exists.
#include "mainwindow.h"

void MainWindow::on_actionUpdate_firmware_triggered() {}
void MainWindow::on_devLabelLinkActivated(QString) {}
