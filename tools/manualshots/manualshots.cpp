// Drives the main window through the situations the user manual shows and
// saves a screenshot of each (ScrA.png to ScrF.png) into the given folder.
// The screen is captured with ImageMagick's "import", so menus that pop up
// over the window are in the picture too.
#include "mainwindow.h"
#include "mztarchive.h"
#include "simulator.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QProcess>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

void pause(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitIdle(MainWindow& w, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!w.isBusy() && w.isConnected())
            return true;
        pause(50);
    }
    return false;
}

bool capture(const MainWindow& w, const QString& file)
{
    const QRect r = w.frameGeometry();
    const QString crop =
        QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
    const int rc =
        QProcess::execute(QStringLiteral("import"),
                          {QStringLiteral("-window"), QStringLiteral("root"),
                           QStringLiteral("-crop"), crop, QStringLiteral("+repage"), file});
    std::fprintf(stderr, "%s: %s\n", qPrintable(file), rc == 0 ? "ok" : "failed");
    return rc == 0;
}

void selectRows(QTableWidget* table, const QStringList& names)
{
    table->clearSelection();
    for (int r = 0; r < table->rowCount(); ++r)
        if (names.contains(table->item(r, 0)->text()))
            table->selectionModel()->select(table->model()->index(r, 0),
                                            QItemSelectionModel::Select
                                                | QItemSelectionModel::Rows);
}

// Shows the window's context menu for table, captures it, closes it.
void captureMenu(MainWindow& w, QTableWidget* table, void (MainWindow::*open)(QPoint),
                 const QString& file)
{
    QTimer::singleShot(400, [&w, file] {
        capture(w, file);
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    });
    const QRect row = table->visualItemRect(table->selectedItems().value(0));
    (w.*open)(row.center() + QPoint(0, 24));
}

std::unique_ptr<MainWindow> openWindow()
{
    auto w = std::make_unique<MainWindow>();
    w->move(0, 0);
    w->show();
    return w;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    auto out = [&dir](const char* name) { return dir + QLatin1Char('/') + QLatin1String(name); };

    // A: the demo recorder, just connected.
    sim::Bus::instance().install({sim::demoRecorder()});
    {
        auto w = openWindow();
        if (!waitIdle(*w))
            return 1;
        pause(300);
        capture(*w, out("ScrA.png"));

        // C: some files saved in the archive.
        QTableWidget* dev = w->ui()->devTable;
        selectRows(dev, {"SETTINGS", "SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03", "SEQUENCE 05"});
        w->save_in_arch();
        waitIdle(*w);
        pause(300);
        selectRows(dev, {"SETTINGS", "SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03", "SEQUENCE 05"});
        pause(300);
        capture(*w, out("ScrC.png"));

        // D: archive entries chosen for the recorder.
        dev->clearSelection();
        selectRows(w->ui()->archTable, {"SEQUENCE 02", "SEQUENCE 03"});
        pause(300);
        capture(*w, out("ScrD.png"));

        // E: the recorder table's menu.
        w->ui()->archTable->clearSelection();
        selectRows(dev, {"SEQUENCE 07", "SEQUENCE 08"});
        pause(200);
        captureMenu(*w, dev, &MainWindow::ctxMenuDev, out("ScrE.png"));

        // F: the settings file on both sides.
        selectRows(dev, {"SETTINGS"});
        selectRows(w->ui()->archTable, {"SETTINGS"});
        pause(300);
        capture(*w, out("ScrF.png"));
    }

    // B: a recorder whose firmware should be updated.
    sim::DeviceConfig old = sim::demoRecorder();
    old.softwareVersion = 0x0103;
    sim::Bus::instance().install({old});
    {
        auto w = openWindow();
        if (!waitIdle(*w))
            return 1;
        pause(300);
        capture(*w, out("ScrB.png"));
    }
    sim::Bus::instance().uninstall();
    return 0;
}
