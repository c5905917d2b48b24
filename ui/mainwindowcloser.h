// Closes the main window on request; the "Quit" command goes through it so
// that quitting runs the window's own close handling.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class MainWindow;

class MainWindowCloser : public QObject {
    Q_OBJECT

public:
    explicit MainWindowCloser(QObject* parent = nullptr);

    // Defined beside the window.
    void setMainWindow(MainWindow* window);
    void setWindow(QWidget* window) { mainWindow = window; }

public slots:
    void closeMainWindow();

private:
    QPointer<QWidget> mainWindow;
};
