// Entry point of mzt500-backup. The only argument is an optional archive to
// open instead of the one remembered from the last run.
#include "AppLog.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFile>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    qCDebug(lcApp) << "LibPaths " << QCoreApplication::libraryPaths();

    // Paths on the command line are in the platform's file-name encoding,
    // not Latin-1: decoding them as Latin-1 would garble every path with a
    // character outside ASCII.
    auto window = argc < 2 ? std::make_unique<MainWindow>()
                           : std::make_unique<MainWindow>(QFile::decodeName(argv[1]));
    window->show();
    const int status = app.exec();
    // The window stops its workers and threads while the application object
    // still exists.
    window.reset();
    return status;
}
