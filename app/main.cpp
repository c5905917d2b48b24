// Entry point of mzt500-backup. The only argument is an optional archive to
// open instead of the one remembered from the last run (or --version, --help).
#include "applog.h"
#include "helpbrowser.h"
#include "mainwindow.h"
#include "mzt_version.h"

#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char* argv[])
{
    // Answered before the application object exists: that needs a display,
    // and a terminal asking for the version may have none.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mzt500-backup %s\n", MZT_VERSION);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs("Usage: mzt500-backup [ARCHIVE.mzt]\n\n"
                   "Starts the MZT-500 Data Backup Tool with the archive, or with the one\n"
                   "open at the end of the last run.\n\n"
                   "  -h, --help     this text\n"
                   "  --version      the program's version\n",
                   stdout);
        return 0;
    }
    // The manual's web view shares OpenGL contexts with the rest of the
    // program; that has to be settled before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    HelpBrowser::allowRunningAsRoot();
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
