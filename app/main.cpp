// Entry point of mzt500-backup. The only argument is an optional archive to
// open instead of the one remembered from the last run.
#include "applog.h"
#include "mainwindow.h"

#include <QApplication>
#include <QLoggingCategory>

#include <memory>

int main(int argc, char* argv[])
{
    // The manual's web view shares OpenGL contexts with the rest of the
    // program; that has to be settled before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    // The diagnostics are for developers; QT_LOGGING_RULES (for example
    // "mzt.*.debug=true") turns them on again.
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.*.debug=false"));
    qCDebug(lcApp) << "LibPaths " << QCoreApplication::libraryPaths();

    const QString archivePath = MainWindow::archivePathArgument(argc, argv);
    auto window = archivePath.isNull() ? std::make_unique<MainWindow>()
                                       : std::make_unique<MainWindow>(archivePath);
    window->show();
    const int status = app.exec();
    // The window stops its workers and threads while the application object
    // still exists.
    window.reset();
    return status;
}
