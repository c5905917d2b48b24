#include "mainwindowcloser.h"

MainWindowCloser::MainWindowCloser(QObject* parent)
    : QObject(parent)
{
}

void MainWindowCloser::closeMainWindow()
{
    if (mainWindow)
        mainWindow->close();
}
