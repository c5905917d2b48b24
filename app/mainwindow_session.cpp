// What the window keeps between runs and how it is driven from the keyboard:
// its size, the tables' column widths and sort order, the archives opened
// last, and the shortcuts.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "recorder_vocabulary.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QTableWidget>

namespace {

const QString geometryKey = QStringLiteral("window/geometry");
const QString recentKey = QStringLiteral("recent_archives");
const QString archiveFileNameKey = QStringLiteral("archive_file_name");

// The smallest screen the window is laid out for; below it, only the whole
// screen holds everything.
constexpr QSize smallestScreen(800, 600);
// Below this size of screen the window is laid out tightly.
constexpr QSize compactBelow(1024, 768);
constexpr int compactSideMargin = 4;
// Room left around a window whose frame is not known yet (before it is
// shown): the title bar and borders window managers commonly draw.
constexpr QSize frameAllowance(16, 40);

// The screen a window with this geometry would be on: the one holding most
// of it, else (its monitor may be gone) the primary screen.
QScreen* screenFor(const QRect& geometry)
{
    QScreen* best = nullptr;
    qint64 bestArea = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect common = screen->availableGeometry().intersected(geometry);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    return best ? best : QGuiApplication::primaryScreen();
}

// Fits the window onto the screens present now: a first start gets a size
// taken from the screen's available area, a remembered size and position
// are kept where they still fit, and a screen smaller than the window is
// laid out for gets the window maximised.
void fitToScreen(QMainWindow& window, bool remembered)
{
    QScreen* screen = screenFor(window.geometry());
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    if (available.width() < smallestScreen.width()
        || available.height() < smallestScreen.height()) {
        window.setWindowState(window.windowState() | Qt::WindowMaximized);
        return;
    }
    const QSize room = available.size() - frameAllowance;
    // On a screen about as narrow as the window's content the side margins
    // give way first: the buttons and tables keep their room.
    const bool smallScreen =
        available.width() < compactBelow.width() || available.height() < compactBelow.height();
    QLayout* grid = window.centralWidget() ? window.centralWidget()->layout() : nullptr;
    if (grid && smallScreen) {
        QMargins margins = grid->contentsMargins();
        margins.setLeft(std::min(margins.left(), compactSideMargin));
        margins.setRight(std::min(margins.right(), compactSideMargin));
        grid->setContentsMargins(margins);
    }
    QSize size = remembered ? window.size() : window.size().boundedTo(room * 9 / 10);
    // Never smaller than the window can be, which the window would enforce
    // once shown, growing past the place it was given.
    size = size.boundedTo(room).expandedTo(window.minimumSizeHint().boundedTo(room));
    QRect placed(remembered ? window.geometry().topLeft() : QPoint(), size);
    if (!remembered
        || !available.contains(
            placed.adjusted(0, 0, frameAllowance.width(), frameAllowance.height()))) {
        // Centred on the screen, or pulled back onto it. On a small screen
        // it starts in the corner, so that whatever its content adds to its
        // least width or height still fits.
        if (smallScreen)
            placed.moveTopLeft(available.topLeft());
        else
            placed.moveCenter(available.center());
    }
    window.setGeometry(placed);
}

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
    const bool remembered = !geometry.isEmpty() && restoreGeometry(geometry);
    if (!remembered || !isMaximized())
        fitToScreen(*this, remembered);
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

QAction* MainWindow::newCommand(const QString& text, const char* objectName,
                                const QString& statusTip, const QKeySequence& key)
{
    auto* action = new QAction(text, this);
    action->setObjectName(QLatin1String(objectName));
    action->setStatusTip(statusTip);
    if (!key.isEmpty())
        action->setShortcut(key);
    return action;
}

void MainWindow::setUpTabOrder()
{
    m_ui->devLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse
                                            | Qt::LinksAccessibleByKeyboard);
    setRecorderLabel();
    auto* historyLink = findChild<QPushButton*>(QStringLiteral("historyLink"));
    const QList<QWidget*> order {
        m_ui->discoverDevice, m_ui->devicesCombo, m_ui->devLabel,    m_ui->backUpRecorder,
        m_ui->verifyRecorder, m_ui->devTable,     m_ui->toArchive,   m_ui->toDevice,
        m_ui->newArchive,     m_ui->openArchive,  m_ui->saveArchive, m_ui->saveArchiveAs,
        historyLink,          m_ui->archTable,    m_ui->abortButton, showInFolderLink};
    for (qsizetype i = 1; i < order.size(); ++i)
        if (order[i - 1] && order[i])
            setTabOrder(order[i - 1], order[i]);
}

void MainWindow::setRecorderLabel(const QString& html)
{
    m_ui->devLabel->setText(html);
    m_ui->devLabel->setFocusPolicy(html.contains(QLatin1String("<a ")) ? Qt::StrongFocus
                                                                       : Qt::NoFocus);
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
