// What the window keeps between runs and how it is driven from the keyboard:
// its size, the tables' column widths and sort order, the archives opened
// last, and the shortcuts.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "recorder_vocabulary.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>
#include <QShortcut>
#include <QTableWidget>

namespace {

const QString geometryKey = QStringLiteral("window/geometry");
const QString recentKey = QStringLiteral("recent_archives");
const QString archiveFileNameKey = QStringLiteral("archive_file_name");

void addShortcut(QAction* action, const QKeySequence& key)
{
    QList<QKeySequence> keys = action->shortcuts();
    keys << key;
    action->setShortcuts(keys);
}

} // namespace

void MainWindow::restoreSession()
{
    const QByteArray geometry = settings->value(geometryKey).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    restoreTableState(m_ui->devTable);
    restoreTableState(m_ui->archTable);
    rebuildRecentMenu();
}

void MainWindow::saveSession()
{
    settings->setValue(geometryKey, saveGeometry());
    saveTableState(m_ui->devTable);
    saveTableState(m_ui->archTable);
}

QStringList MainWindow::recentArchives() const
{
    return settings->value(recentKey).toStringList();
}

void MainWindow::rememberRecentArchive(const QString& path)
{
    if (path.isEmpty())
        return;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList recent = recentArchives();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    while (recent.size() > maxRecentArchives)
        recent.removeLast();
    settings->setValue(recentKey, recent);
    rebuildRecentMenu();
}

void MainWindow::rebuildRecentMenu()
{
    if (!recentMenu) {
        recentMenu = new QMenu(tr("Open &recent"), this);
        recentMenu->setObjectName(QStringLiteral("menuRecent"));
        // Beside Open, where the File menu's other ways to open are.
        const QList<QAction*> actions = m_ui->menuFile->actions();
        const int open = int(actions.indexOf(m_ui->action_Open_Archive));
        QAction* before = open >= 0 && open + 1 < actions.size() ? actions[open + 1] : nullptr;
        m_ui->menuFile->insertMenu(before, recentMenu);
    }
    // One of these entries may be the one being triggered right now: it
    // goes once its signal has been delivered.
    for (QAction* old : recentMenu->actions()) {
        recentMenu->removeAction(old);
        old->deleteLater();
    }
    const QStringList recent = recentArchives();
    int n = 0;
    for (const QString& path : recent) {
        ++n;
        // The number is the entry's mnemonic; '&' in a name is no mnemonic.
        const QString text = QStringLiteral("&%1 %2").arg(n).arg(
            QFileInfo(path).fileName().replace(QLatin1Char('&'), QLatin1String("&&")));
        QAction* action =
            recentMenu->addAction(text, this, [this, path] { openRecentArchive(path); });
        action->setToolTip(path);
        action->setStatusTip(QDir::toNativeSeparators(path));
    }
    recentMenu->setEnabled(!recent.isEmpty());
}

void MainWindow::setUpShortcuts()
{
    // The menus' Alt shortcuts stay; these are the keys users expect.
    addShortcut(m_ui->actionNew_Archive, QKeySequence(Qt::CTRL | Qt::Key_N));
    addShortcut(m_ui->action_Open_Archive, QKeySequence(Qt::CTRL | Qt::Key_O));
    addShortcut(m_ui->actionSave_Archive, QKeySequence(Qt::CTRL | Qt::Key_S));
    addShortcut(m_ui->actionSave_archive_as, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    addShortcut(m_ui->actionQuit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    addShortcut(m_ui->actionManual, QKeySequence(Qt::Key_F1));
    addShortcut(m_ui->actionDiscoverDevices, QKeySequence(Qt::Key_F5));

    // Delete acts on the table that has the focus, with the same questions
    // as the context menus. The settings file alone cannot be deleted.
    auto* deleteOnDevice = new QShortcut(QKeySequence::Delete, m_ui->devTable);
    deleteOnDevice->setContext(Qt::WidgetShortcut);
    connect(deleteOnDevice, &QShortcut::activated, this, [this] {
        bool anySequence = false;
        for (const QTableWidgetItem* item : m_ui->devTable->selectedItems())
            if (item->column() == 0 && item->data(mzt500::ItemIdRole).toInt() != mzt500::SettingsId)
                anySequence = true;
        if (anySequence)
            delete_on_dev();
    });
    auto* deleteInArchive = new QShortcut(QKeySequence::Delete, m_ui->archTable);
    deleteInArchive->setContext(Qt::WidgetShortcut);
    connect(deleteInArchive, &QShortcut::activated, this, &MainWindow::delete_from_arch);
}
