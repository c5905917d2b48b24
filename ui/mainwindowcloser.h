// Closes the main window on request; the "Quit" command goes through it so
// that quitting runs the window's own close handling.
#pragma once

#include <QObject>

class MainWindow;

class MainWindowCloser : public QObject {
    Q_OBJECT

public:
    explicit MainWindowCloser(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window) { mainWindow = window; }

public slots:
    void closeMainWindow();

private:
    MainWindow* mainWindow = nullptr;
};
