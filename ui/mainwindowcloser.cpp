#include "mainwindowcloser.h"

#include "mainwindow.h"

MainWindowCloser::MainWindowCloser(QObject* parent)
    : QObject(parent)
{
}

void MainWindowCloser::closeMainWindow()
{
    if (mainWindow)
        mainWindow->close();
}
