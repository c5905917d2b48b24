// Drives the main window through the situations the user manual shows and
// saves a screenshot of each (ScrA.png to ScrF.png) into the given folder.
// The screen is captured with ImageMagick's "import", so menus that pop up
// over the window are in the picture too.
//
// With --review TAG [--dark] it instead takes the pictures that show the
// window and its dialogs whole on one screen set-up (the Xvfb screen size and
// QT_SCALE_FACTOR chosen by the caller, a dark palette with --dark), named
// <shot>-<TAG>.png; tools/manualshots/review-shots runs every set-up. With
// --only SCENE after the tag only that scene is taken: backup-incomplete or
// automatic-backups (also as --automatic-backups).
#include "comparisoncolumn.h"
#include "firmwareupdatedlg.h"
#include "historyview.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "simulator.h"
#include "ui_firmwareupdatedlg.h"
#include "ui_mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>

#include <cstdio>
#include <functional>

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

bool capture(const QWidget& w, const QString& file)
{
    // The screen is captured in device pixels.
    const qreal scale = w.devicePixelRatioF();
    const QRect f = w.frameGeometry();
    const QRect r(QPoint(qRound(f.x() * scale), qRound(f.y() * scale)),
                  QSize(qRound(f.width() * scale), qRound(f.height() * scale)));
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

// Opens the window's File menu, captures it, closes it.
void captureFileMenu(MainWindow& w, const QString& file)
{
    QTimer::singleShot(400, [&w, file] {
        capture(w, file);
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    });
    w.ui()->menuFile->exec(w.mapToGlobal(w.ui()->menuBar->geometry().bottomLeft()));
    pause(200);
}

std::unique_ptr<MainWindow> openWindow()
{
    auto w = std::make_unique<MainWindow>();
    w->move(0, 0);
    w->show();
    return w;
}

} // namespace

// Runs fn once a modal widget of type T is up (or after 5 s without one).
template <typename T> void whenModal(const std::function<void(T*)>& fn)
{
    QTimer::singleShot(0, [fn] {
        T* modal = nullptr;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000 && !(modal = qobject_cast<T*>(QApplication::activeModalWidget())))
            pause(20);
        if (modal) {
            pause(300);
            fn(modal);
        }
    });
}

// Runs fn once a message box is up, also when it opens later from an event
// (a worker's result): a timer looks for it, so the box's own event loop
// keeps it looking.
void whenBoxAppears(const std::function<void(QMessageBox*)>& fn)
{
    auto* timer = new QTimer;
    timer->setInterval(50);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        pause(300);
        fn(box);
    });
    timer->start();
}

void answer(QMessageBox* box, QMessageBox::StandardButton button)
{
    if (QAbstractButton* b = box->button(button))
        b->click();
}

QPalette darkPalette()
{
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 32), text(225, 225, 225);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Link, QColor(90, 160, 255));
    p.setColor(QPalette::Highlight, QColor(42, 100, 190));
    p.setColor(QPalette::HighlightedText, Qt::white);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
    return p;
}

// A recorder with every sequence, small enough to copy whole in seconds.
// Recorder files have even lengths.
sim::DeviceConfig fullRecorder()
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.serial = "KV004711";
    c.files[sim::kSettingsFileNumber] = sim::makeFile(0, 0, 1000, 0);
    for (std::uint32_t id = 1; id <= 64; ++id)
        c.files[sim::fileNumberOf(id)] =
            sim::makeFile(id, 1, 200 + 978 * ((id * 7) % 13), 61000 * id + 500 * (id % 7));
    return c;
}

// Both tables with every state of their state column, the Edit menu, a
// state's tooltip and the box of a verification that found a difference.
void comparisonShots(MainWindow& w, sim::Recorder& recorder,
                     const std::function<QString(const char*)>& out)
{
    QTableWidget* dev = w.ui()->devTable;
    QTableWidget* arch = w.ui()->archTable;
    // Sequence 2 recorded again at the same length, sequence 5 deleted on
    // the recorder, sequence 3's archive copy with another duration.
    QByteArray again = *recorder.file(sim::fileNumberOf(2));
    again[again.size() - 1] = char(again[again.size() - 1] ^ 0x55);
    recorder.putFile(sim::fileNumberOf(2), again);
    recorder.removeFile(sim::fileNumberOf(5));
    for (ArchiveEntry* entry : w.archive()->entries())
        if (entry->id() == 3)
            entry->setDuration(entry->duration() + 1000);
    w.updateMZTContent();
    waitIdle(w);

    selectRows(dev, {"SEQUENCE 01", "SEQUENCE 02"});
    selectRows(arch, {});
    whenBoxAppears([&](QMessageBox* box) {
        capture(*box, out("verify-differs"));
        answer(box, QMessageBox::Ok);
    });
    w.verifyRecorderFiles();
    waitIdle(w);
    dev->clearSelection();
    pause(300);
    capture(w, out("compare"));

    // Sequence 2: differs, found by the verification.
    const int row = dev->visualItemRect(dev->item(2, 0)).center().y();
    QHeaderView* column = dev->verticalHeader();
    QToolTip::showText(column->viewport()->mapToGlobal(QPoint(column->width() / 2, row)),
                       dev->item(2, 0)->data(comparison::wordsRole).toString(), column);
    pause(400);
    capture(w, out("compare-tooltip"));
    QToolTip::hideText();

    QTimer::singleShot(400, [&w, &out] {
        capture(w, out("editmenu"));
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    });
    w.ui()->menuEdit->exec(w.mapToGlobal(
        w.ui()->menuBar->actionGeometry(w.ui()->menuEdit->menuAction()).bottomLeft()));
    pause(200);
}

// The history of the backup folder: two more backups while the recorder
// changes, the list with what changed, a file's history from the table's
// menu and the keeping setting's choices.
void historyShots(MainWindow& w, sim::Recorder& recorder,
                  const std::function<QString(const char*)>& out)
{
    QByteArray again = *recorder.file(sim::fileNumberOf(7));
    again[again.size() - 1] = char(again[again.size() - 1] ^ 0x33);
    recorder.putFile(sim::fileNumberOf(7), again);
    recorder.removeFile(sim::fileNumberOf(9));
    w.updateMZTContent();
    waitIdle(w);
    w.backUpRecorder();
    waitIdle(w);
    recorder.putFile(sim::fileNumberOf(9), sim::makeFile(9, 1, 4000, 90000));
    w.updateMZTContent();
    waitIdle(w);
    w.backUpRecorder();
    waitIdle(w);

    w.showHistory();
    HistoryView* view = w.historyWindow();
    while (view && view->isReading())
        pause(50);
    if (!view)
        return;
    view->move(0, 0);
    if (auto* backups = view->findChild<QTableWidget*>(QStringLiteral("historyBackups")))
        backups->selectRow(1);
    if (auto* files = view->findChild<QTreeWidget*>(QStringLiteral("historyFiles")))
        if (files->topLevelItemCount() > 0)
            files->topLevelItem(0)->setSelected(true);
    pause(300);
    capture(*view, out("history-backups"));
    if (auto* keep = view->findChild<QComboBox*>(QStringLiteral("historyKeep"))) {
        keep->showPopup();
        pause(400);
        // The list opens below the dialog's edge: its own window is the shot.
        capture(*keep->view()->window(), out("history-keep"));
        keep->hidePopup();
    }
    view->close();

    QTableWidget* dev = w.ui()->devTable;
    selectRows(dev, {"SEQUENCE 07"});
    pause(200);
    // The menu of the row under the pointer, which names that row's file.
    QTimer::singleShot(400, [&w, &out] {
        capture(w, out("history-menu"));
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    });
    w.ctxMenuDev(dev->visualItemRect(dev->selectedItems().value(0)).center());
    for (int r = 0; r < dev->rowCount(); ++r)
        if (dev->item(r, 0)->text() == QLatin1String("SEQUENCE 07"))
            w.showFileHistory(dev, r);
    while (view->isReading())
        pause(50);
    view->move(0, 0);
    pause(300);
    capture(*view, out("history-file"));
    view->close();
    dev->clearSelection();
}

// A backup the recorder could not deliver two files for: one in a damaged
// memory area, one sent one byte short. The box offers to read them again;
// the window shows the incomplete backup and its status line.
void incompleteBackupShots(MainWindow& w, sim::Recorder& recorder, const QString& folder,
                           const std::function<QString(const char*)>& out)
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
              QStringLiteral("MZT-500 Data Backup Tool"))
        .setValue(QStringLiteral("backup_folder"), folder);
    const QByteArray sequence7 = recorder.file(7).value_or(QByteArray());
    recorder.putFile(7, sequence7.chopped(1));
    sim::Faults damaged;
    damaged.statusFile = 4;
    damaged.status = sim::StatusRefused;
    recorder.setFaults(damaged);
    whenBoxAppears([&](QMessageBox* box) {
        capture(*box, out("backup-incomplete"));
        answer(box, QMessageBox::Close);
    });
    w.backUpRecorder();
    waitIdle(w);
    pause(500);
    capture(w, out("backup-incomplete-window"));
    recorder.setFaults({});
    recorder.putFile(7, sequence7);
}

// The File menu with automatic backups switched on, and the window after a
// recorder was plugged in and backed up by it, the status line saying so.
int automaticBackupShots(const std::function<QString(const char*)>& out)
{
    // A backup folder with a path about as long as the usual one.
    QTemporaryDir plugs, backups(QDir::tempPath() + QStringLiteral("/MZT-500 backups-XXXXXX"));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
              QStringLiteral("MZT-500 Data Backup Tool"))
        .setValue(QStringLiteral("backup_folder"), backups.path());
    const QString plug = plugs.filePath(QStringLiteral("kv4711"));
    sim::DeviceConfig pluggable = fullRecorder();
    pluggable.presentWhile = plug.toStdString();
    sim::Bus::instance().install({pluggable});
    auto w = std::make_unique<MainWindow>();
    w->move(0, 0);
    w->show();
    if (const QScreen* screen = w->screen(); screen->availableGeometry().width() <= 1024)
        w->setGeometry(screen->availableGeometry());
    pause(1000);
    auto* automatic = w->findChild<QAction*>(QStringLiteral("actionAutomaticBackups"));
    if (!automatic)
        return 1;
    if (!automatic->isChecked())
        automatic->trigger();
    captureFileMenu(*w, out("autobackup-menu"));

    QFile(plug).open(QIODevice::WriteOnly);
    QElapsedTimer waited;
    waited.start();
    while (QDir(backups.path()).entryList({QStringLiteral("*.mzt")}).isEmpty()
           && waited.elapsed() < 30000)
        pause(50);
    while (w->isBackingUpAutomatically() && waited.elapsed() < 30000)
        pause(50);
    pause(300);
    capture(*w, out("plugged-in"));
    automatic->trigger();
    w.reset();
    sim::Bus::instance().uninstall();
    return 0;
}

int reviewShots(const QString& dir, const QString& tag, const QString& only)
{
    auto out = [&dir, &tag](const char* shot) {
        return dir + QLatin1Char('/') + QLatin1String(shot) + QLatin1Char('-') + tag
            + QStringLiteral(".png");
    };
    if (only == QLatin1String("automatic-backups"))
        return automaticBackupShots(out);
    auto recorder = sim::Bus::instance().install({fullRecorder()}).front();
    auto w = std::make_unique<MainWindow>();
    w->show();
    // The first start, without settings: the size the window picks itself.
    pause(500);
    capture(*w, out("firststart"));
    w->move(0, 0);
    // A small screen gets a window that fills it, as a user would make it.
    if (const QScreen* screen = w->screen(); screen->availableGeometry().width() <= 1024)
        w->setGeometry(screen->availableGeometry());
    if (!waitIdle(*w))
        return 1;
    // One scene alone, for a change to that scene.
    if (only == QLatin1String("backup-incomplete")) {
        QTemporaryDir backups;
        incompleteBackupShots(*w, *recorder, backups.path(), out);
        w.reset();
        sim::Bus::instance().uninstall();
        return 0;
    }
    QTableWidget* dev = w->ui()->devTable;
    QTableWidget* arch = w->ui()->archTable;

    // The window after a first download: status line, marked archive.
    selectRows(dev, {"SETTINGS", "SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03", "SEQUENCE 05"});
    w->save_in_arch();
    waitIdle(*w);
    selectRows(dev, {"SEQUENCE 07", "SEQUENCE 08"});
    selectRows(arch, {"SEQUENCE 02", "SEQUENCE 03"});
    pause(300);
    capture(*w, out("main"));
    comparisonShots(*w, *recorder, out);

    // The renumbering editor with its list open.
    selectRows(arch, {"SEQUENCE 03"});
    w->moveSequence();
    pause(200);
    if (auto* editor = arch->viewport()->findChild<QComboBox*>()) {
        editor->showPopup();
        pause(400);
        capture(*w, out("renumber"));
        editor->hidePopup();
        arch->setFocus();
    }
    pause(200);

    // The question about every file of the recorder.
    w->select_all_dev();
    whenModal<QMessageBox>([](QMessageBox* box) { answer(box, QMessageBox::Yes); });
    w->save_in_arch();
    waitIdle(*w);
    w->select_all_dev();
    whenModal<QMessageBox>([&](QMessageBox* box) {
        capture(*box, out("question"));
        answer(box, QMessageBox::Abort);
    });
    w->save_in_arch();
    pause(300);

    // The question before an upload that would overwrite recorder files.
    selectRows(arch, {"SEQUENCE 01", "SEQUENCE 02", "SEQUENCE 03", "SEQUENCE 04"});
    whenBoxAppears([&](QMessageBox* box) {
        capture(*box, out("overwrite"));
        answer(box, QMessageBox::No);
    });
    w->transfer_to_dev();
    waitIdle(*w);
    pause(300);

    // A transfer at the line's own speed: the progress, and closing refused.
    recorder->setTiming(sim::Timing::Wire, 0);
    w->select_all_dev();
    whenModal<QMessageBox>([](QMessageBox* box) { answer(box, QMessageBox::Yes); });
    w->save_in_arch();
    // Long enough in for the speed and the time left to show.
    pause(2500);
    capture(*w, out("progress"));
    w->close();
    pause(500);
    capture(*w, out("close"));
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        box->close();
    waitIdle(*w, 120000);
    recorder->setTiming(sim::Timing::Instant, 0);

    // The File menu with the backup commands, a whole-recorder backup into
    // a folder of its own, and the dialog that chooses that folder.
    captureFileMenu(*w, out("filemenu"));
    QTemporaryDir backups;
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
              QStringLiteral("MZT-500 Data Backup Tool"))
        .setValue(QStringLiteral("backup_folder"), backups.path());
    whenModal<QMessageBox>([](QMessageBox* box) { answer(box, QMessageBox::No); });
    w->backUpRecorder();
    waitIdle(*w);
    pause(300);
    capture(*w, out("backup"));
    whenModal<QFileDialog>([&](QFileDialog* dialog) {
        capture(*dialog, out("backup-folder"));
        dialog->reject();
    });
    w->chooseBackupFolder();
    pause(200);
    historyShots(*w, *recorder, out);

    // A backup folder that cannot take the backup, an archive another
    // program changed meanwhile, and a write-protected one. The archive is
    // a plain one of the user's: a save of the dated backup shown now would
    // first ask about changing a backup.
    const QString plain = backups.filePath(QStringLiteral("Show.mzt"));
    QFile::copy(w->archive()->fileName(), plain);
    w->openRecentArchive(plain);
    pause(200);
    QFile inTheWay(backups.filePath(QStringLiteral("not a folder")));
    inTheWay.open(QIODevice::WriteOnly);
    inTheWay.close();
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
              QStringLiteral("MZT-500 Data Backup Tool"))
        .setValue(QStringLiteral("backup_folder"), inTheWay.fileName());
    whenModal<QMessageBox>([&](QMessageBox* box) {
        capture(*box, out("backup-nofolder"));
        answer(box, QMessageBox::Ok);
    });
    w->backUpRecorder();
    pause(200);
    {
        MZTArchive other(w->archive()->fileName(), nullptr);
        other.load();
        other.removeEntries(5);
        other.removeEntries(7);
        other.save();
    }
    w->archive()->removeEntries(3);
    w->fillArchiveTable(w->archive(), arch);
    w->archive()->setModified(true);
    whenModal<QMessageBox>([&](QMessageBox* box) {
        capture(*box, out("changed-on-disk"));
        box->reject();
    });
    w->on_saveArchive_clicked();
    pause(200);
    QFile::setPermissions(w->archive()->fileName(),
                          QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    whenModal<QMessageBox>([&](QMessageBox* box) {
        capture(*box, out("write-protected"));
        box->reject();
    });
    w->on_saveArchive_clicked();
    pause(200);
    w->archive()->setModified(false);

    // The firmware dialog: the question before an update, then the dialog.
    whenModal<FirmwareUpdateDlg>([&](FirmwareUpdateDlg* dlg) {
        whenModal<QMessageBox>([&](QMessageBox* box) {
            capture(*box, out("firmware-confirm"));
            answer(box, QMessageBox::No);
        });
        dlg->form()->bttn_update->click();
        pause(300);
        capture(*dlg, out("firmware"));
        dlg->on_lblMode_Link_clicked(QStringLiteral("alternative-update-file"));
        pause(300);
        capture(*dlg, out("firmware-file"));
        // The two ends of an update with the built-in image: the recorder
        // comes back with a new version, or with the one it had.
        dlg->on_lblMode_Link_clicked(QStringLiteral("default-update-file"));
        dlg->setConfirmation([](QWidget*, const FirmwareUpdateDlg::UpdateQuestion&) {
            return FirmwareUpdateDlg::Answer::Update;
        });
        const auto update = [&](const char* shot, bool newVersion) {
            QMetaObject::Connection done;
            if (newVersion)
                done = QObject::connect(dlg->form()->progressBar, &QProgressBar::valueChanged,
                                        [&recorder](int value) {
                                            if (value == 100)
                                                recorder->setVersions(0x0102, 0x0105);
                                        });
            dlg->form()->bttn_update->click();
            QElapsedTimer waited;
            waited.start();
            while (dlg->isBusy() && waited.elapsed() < 120000)
                pause(100);
            QObject::disconnect(done);
            pause(300);
            capture(*dlg, out(shot));
        };
        update("firmware-done", true);
        update("firmware-unchanged", false);
        dlg->form()->bttn_quit->click();
    });
    w->on_actionUpdate_firmware_triggered();
    waitIdle(*w);

    incompleteBackupShots(*w, *recorder, backups.path(), out);

    whenModal<QDialog>([&](QDialog* about) {
        capture(*about, out("about"));
        about->accept();
    });
    w->on_actionAbout_triggered();
    w.reset();
    sim::Bus::instance().uninstall();
    return automaticBackupShots(out);
}

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    if (args.size() > 3 && args[2] == QLatin1String("--review")) {
        if (args.contains(QStringLiteral("--dark"))) {
            QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
            QApplication::setPalette(darkPalette());
        }
        const qsizetype only = args.indexOf(QStringLiteral("--only"));
        const QString scene = args.contains(QStringLiteral("--automatic-backups"))
            ? QStringLiteral("automatic-backups")
            : only > 0 ? args.value(only + 1)
                       : QString();
        return reviewShots(dir, args[3], scene);
    }
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
