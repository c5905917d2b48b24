// Archive file commands (New, Open, Save, Save as), the archive label, the
// start-up archive and the archive check at close.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "applog.h"
#include "contenttext.h"
#include "kvpmaster.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

namespace {

const QString archiveFileNameKey = QStringLiteral("archive_file_name");

QString messageTitle()
{
    return MainWindow::tr("MZT-500 Data Backup Tool");
}

QString archiveFilter()
{
    return MainWindow::tr("MZT-500 Archives (*.mzt)");
}

// Where the Save as dialog starts: a fixed place, not the archive's folder.
QString saveAsStartDirectory()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    return QDir::homePath();
#endif
}

// Writes the archive to its own file if that file exists, otherwise (or if
// writing it fails) lets the user choose a name. Afterwards the archive is
// unmodified exactly when it was saved, since it is only called for an
// archive with changes or on the user's explicit request.
void saveInPlaceOrChooseName(MainWindow& window)
{
    MZTArchive* archive = window.archive();
    // An unnamed archive resolves to the current directory, whose save fails,
    // and so ends in the dialog as well.
    const QString path = QDir::current().absoluteFilePath(archive->fileName());
    if (QFileInfo::exists(path)) {
        QElapsedTimer timer;
        timer.start();
        if (archive->save()) {
            window.reportArchiveSaved(timer.elapsed());
            qCDebug(lcApp) << "Valid path";
            window.updateArchLabel();
            return;
        }
        qCDebug(lcApp) << "Invalid path";
    }
    window.saveArchiveAsDialog();
    window.updateArchLabel();
}

// Window-modal and without waiting: the start-up goes on behind the message.
void reportUnloadableArchive(QWidget* window, const QString& path, const QString& reason)
{
    auto* box = new QMessageBox(QMessageBox::Warning, messageTitle(),
                                MainWindow::tr("The archive %1 could not be loaded: %2.\n\nThe "
                                               "program starts with an unnamed archive; the file "
                                               "was not changed.")
                                    .arg(QDir::toNativeSeparators(path), reason),
                                QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

enum class ChangesOutcome { Saved, Discarded, KeptUnsaved };

// Offers to save the changes of a modified archive before it is dropped.
// KeptUnsaved means the user wanted the changes saved but they were not (the
// dialog was cancelled or the save failed): the caller must keep the archive,
// or the changes the user asked to keep would be lost.
ChangesOutcome offerToSaveChanges(MainWindow& window)
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        &window, messageTitle(),
        MainWindow::tr("The current archive has been modified\nDo you want to save the changes?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return ChangesOutcome::Discarded;
    saveInPlaceOrChooseName(window);
    return window.archive()->isModified() ? ChangesOutcome::KeptUnsaved : ChangesOutcome::Saved;
}

// The archive may be dropped: it has no changes, they were saved, or the user
// chose to lose them.
bool mayDropArchive(MainWindow& window)
{
    return !window.archive()->isModified()
        || offerToSaveChanges(window) != ChangesOutcome::KeptUnsaved;
}

} // namespace

void MainWindow::updateArchLabel()
{
    QLabel* label = m_ui->archLabel;
    label->setToolTip(QString());
    const QString name = m_archive ? m_archive->fileName() : QString();
    if (name.isEmpty()) {
        // An unnamed archive with changes is as much at risk as a named one.
        label->setText(
            QStringLiteral("<b><i>") + tr("Unnamed archive")
            + (m_archive && m_archive->isModified() ? QStringLiteral("</i> *") : QString()));
        return;
    }
    label->setToolTip(name);
    // The label shows rich text; a file name may contain '<' or '&'.
    label->setText(QStringLiteral("<b>") + QFileInfo(name).fileName().toHtmlEscaped()
                   + (m_archive->isModified() ? QStringLiteral(" *") : QString())
                   + QStringLiteral("</b>"));
}

void MainWindow::on_newArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "New archive";
    if (m_archive && !mayDropArchive(*this))
        return;
    MZTArchive* previous = m_archive;
    m_archive = new MZTArchive(QString(), nullptr);
    fillArchiveTable(m_archive, m_ui->archTable);
    settings->setValue(archiveFileNameKey, QString());
    delete previous;
    updateArchLabel();
}

void MainWindow::on_saveArchiveAs_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Save archive as";
    saveArchiveAsDialog();
    updateArchLabel();
}

void MainWindow::on_saveArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Save archive";
    if (!m_archive)
        return;
    saveInPlaceOrChooseName(*this);
}

void MainWindow::on_openArchive_clicked()
{
    if (isBusy())
        return;
    qCDebug(lcApp) << "Open archive";
    openArchiveDialog();
    updateArchLabel();
}

void MainWindow::on_actionSave_archive_as_triggered()
{
    on_saveArchiveAs_clicked();
}

void MainWindow::on_actionSave_Archive_triggered()
{
    on_saveArchive_clicked();
}

void MainWindow::on_action_Open_Archive_triggered()
{
    on_openArchive_clicked();
}

void MainWindow::on_actionNew_Archive_triggered()
{
    on_newArchive_clicked();
}

void MainWindow::saveArchiveAsDialog()
{
    if (!m_archive)
        return;
    for (;;) {
        const QString name = QFileDialog::getSaveFileName(this, tr("Save Archive As"),
                                                          saveAsStartDirectory(), archiveFilter());
        if (name.isEmpty()) {
            qCDebug(lcApp) << "aborted";
            break;
        }
        qCDebug(lcApp) << "confirmed";
        // A rejected name stays with the archive until another one is chosen.
        m_archive->setFileName(name);
        QElapsedTimer timer;
        timer.start();
        if (m_archive->save()) {
            reportArchiveSaved(timer.elapsed());
            settings->setValue(archiveFileNameKey, m_archive->fileName());
            rememberRecentArchive(m_archive->fileName());
            break;
        }
        QMessageBox::information(this, messageTitle(), tr("Failed to save the archive."),
                                 QMessageBox::Ok);
    }
    updateArchLabel();
}

bool MainWindow::mayReplaceArchive()
{
    return !m_archive || mayDropArchive(*this);
}

void MainWindow::askToSaveModified()
{
    if (m_archive)
        offerToSaveChanges(*this);
}

void MainWindow::openArchiveDialog()
{
    if (!m_archive || !mayDropArchive(*this))
        return;
    if (QFileInfo::exists(m_archive->fileName()))
        archivePath = m_archive->fileName();
    const QString dir = QFileInfo(archivePath).path();

    for (;;) {
        const QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Open Archive"), dir,
                                                          archiveFilter());
        if (name.isEmpty())
            return;
        auto* opened = new MZTArchive(name, nullptr);
        if (opened->load()) {
            MZTArchive* previous = m_archive;
            m_archive = opened;
            fillArchiveTable(m_archive, m_ui->archTable);
            delete previous;
            rememberRecentArchive(name);
            return;
        }
        delete opened;
        QMessageBox::information(this, messageTitle(), tr("Failed to open the archive."),
                                 QMessageBox::Ok);
    }
}

void MainWindow::openRecentArchive(const QString& path)
{
    if (isBusy() || !m_archive)
        return;
    qCDebug(lcApp) << "Open recent archive" << path;
    if (!mayDropArchive(*this))
        return;
    auto* opened = new MZTArchive(path, nullptr);
    if (!opened->load()) {
        delete opened;
        QMessageBox::information(this, messageTitle(),
                                 tr("Failed to open the archive.") + QLatin1Char('\n')
                                     + QDir::toNativeSeparators(path),
                                 QMessageBox::Ok);
        updateArchLabel();
        return;
    }
    MZTArchive* previous = m_archive;
    m_archive = opened;
    archivePath = path;
    fillArchiveTable(m_archive, m_ui->archTable);
    delete previous;
    rememberRecentArchive(path);
    updateArchLabel();
}

void MainWindow::loadStartUpArchive()
{
    m_archive = new MZTArchive(QString(), nullptr);
    // The path stays the archive's name when there is no such file yet, so
    // that the first save can create it (Save asks for the name to confirm).
    m_archive->setFileName(archivePath);
    if (m_archive->load()) {
        qCDebug(lcApp) << "successfully loaded archive";
    } else if (!archivePath.isEmpty() && QFileInfo::exists(archivePath)) {
        qCDebug(lcApp) << "failed to load archive";
        // A file that is there but does not load must never be replaced by a
        // plain Save of an empty archive under its name: the window starts
        // with an unnamed archive, so only Save as can write over that file.
        // The remembered name stays in the settings until another archive
        // is opened or saved, since an unnamed archive is not remembered.
        const QString reason = m_archive->errorString();
        delete m_archive;
        m_archive = new MZTArchive(QString(), nullptr);
        reportUnloadableArchive(this, archivePath, reason);
    } else {
        qCDebug(lcApp) << "failed to load archive";
    }
    fillArchiveTable(m_archive, m_ui->archTable);
    // Discovery keeps the window busy at first; the name shows from the start.
    updateArchLabel();
}

void MainWindow::checkArchiveOnClose(QCloseEvent* event)
{
    if (!m_archive) {
        event->accept();
        return;
    }
    if (QFileInfo::exists(m_archive->fileName()))
        settings->setValue(archiveFileNameKey, m_archive->fileName());
    if (!m_archive->isModified()) {
        event->accept();
        return;
    }

    QMessageBox box;
    box.setText(QStringLiteral("The archive has been modified."));
    box.setInformativeText(QStringLiteral("Do you want to save your changes?"));
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Save);
    bool closing = false;
    switch (box.exec()) {
    case QMessageBox::Save:
        saveInPlaceOrChooseName(*this);
        // Closing after a save that did not happen would lose the changes
        // the user just asked to keep.
        closing = !m_archive->isModified();
        break;
    case QMessageBox::Discard:
        closing = true;
        break;
    default:
        break;
    }
    if (closing) {
        event->accept();
        return;
    }

    event->ignore();
    // The window stays: bring back what the close handling stopped before
    // asking, or the next device command would wait on a stopped master.
    if (m_master)
        m_master->connectLink();
    if (connectionTimer)
        connectionTimer->start();
}

void MainWindow::renumberSequence(int row, int column, int fromId, int n)
{
    MZTArchive* current = archive();
    if (!current)
        return;
    ArchiveEntry* target = nullptr;
    bool taken = false;
    for (ArchiveEntry* entry : current->entries()) {
        if (!target && entry->id() == fromId)
            target = entry;
        if (entry->id() == n)
            taken = true;
    }
    if (!target)
        return;
    if (taken) {
        QMessageBox::information(
            this, QCoreApplication::translate("MainWindow", "MZT-500 Data Backup Tool"),
            QCoreApplication::translate("QStyledItemDelegate", "SEQUENCE %1 already exists")
                .arg(n, 2, 10, QLatin1Char('0')),
            QMessageBox::Ok);
        return;
    }

    target->setId(n);
    target->setName(mzt::sequenceNameText(n));
    current->setModified(true);

    QTableWidget* table = m_ui->archTable;
    const bool wasBlocked = table->blockSignals(true);
    QTableWidgetItem* item = table->item(row, column);
    if (item) {
        item->setData(mzt500::ItemIdRole, n);
        item->setData(Qt::EditRole, mzt::sequenceNameText(n));
    }
    table->blockSignals(wasBlocked);

    table->clearSelection();
    int renumberedRow = 0;
    for (int r = 0; r < table->rowCount(); ++r) {
        const QTableWidgetItem* cell = table->item(r, 0);
        if (cell && cell->data(mzt500::ItemIdRole).toInt() == n) {
            renumberedRow = r;
            break;
        }
    }
    table->selectRow(renumberedRow);
    updateArchLabel();
}
