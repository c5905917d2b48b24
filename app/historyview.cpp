#include "historyview.h"

#include "applog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace keeping {

int keepLast(const QSettings& settings)
{
    return std::max(0, settings.value(QLatin1String(keepLastKey), 0).toInt());
}

void setKeepLast(QSettings& settings, int count)
{
    settings.setValue(QLatin1String(keepLastKey), std::max(0, count));
}

QList<int> keepChoices()
{
    return {0, 5, 10, 20, 50};
}

} // namespace keeping

namespace {

// Where in a row a backup keeps its place in the recorder's history.
constexpr int backupIndexRole = Qt::UserRole;
constexpr int fileIdRole = Qt::UserRole;

QString dateText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString backupsText(qsizetype n)
{
    return n == 1 ? HistoryView::tr("1 backup") : HistoryView::tr("%1 backups").arg(n);
}

QString changeCounts(const history::Backup& b)
{
    return QStringLiteral("+%1 ~%2 -%3")
        .arg(b.added.size())
        .arg(b.changed.size())
        .arg(b.removed.size());
}

QString changeWord(history::FileChange::Kind kind)
{
    switch (kind) {
    case history::FileChange::Added:
        return HistoryView::tr("added");
    case history::FileChange::Changed:
        return HistoryView::tr("changed");
    case history::FileChange::Removed:
        return HistoryView::tr("removed");
    }
    return QString();
}

QTableWidget* makeTable(const QStringList& headers, const QString& name)
{
    auto* table = new QTableWidget(0, int(headers.size()));
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(headers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setWordWrap(false);
    return table;
}

// Fits every column but the last, which takes the room that is left.
void fitColumns(QTableWidget* table)
{
    for (int c = 0; c + 1 < table->columnCount(); ++c)
        table->resizeColumnToContents(c);
}

QTableWidgetItem* cell(const QString& text, int backupIndex)
{
    auto* item = new QTableWidgetItem(text);
    item->setData(backupIndexRole, backupIndex);
    return item;
}

} // namespace

HistoryView::HistoryView(QSettings* settings, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_reader(new HistoryReader(this))
{
    setObjectName(QStringLiteral("historyView"));
    setWindowTitle(tr("History"));
    connect(m_reader, &HistoryReader::historyRead, this, &HistoryView::historyRead,
            Qt::QueuedConnection);

    auto* recorderLabel = new QLabel(tr("&Recorder:"));
    m_recorders = new QComboBox;
    m_recorders->setObjectName(QStringLiteral("historyRecorders"));
    m_recorders->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    recorderLabel->setBuddy(m_recorders);
    connect(m_recorders, &QComboBox::currentIndexChanged, this, [this] {
        m_chosenKey = m_recorders->currentData().toString();
        showChosenRecorder();
    });
    auto* top = new QHBoxLayout;
    top->addWidget(recorderLabel);
    top->addWidget(m_recorders);
    top->addStretch();

    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("historyStatus"));
    m_status->setWordWrap(true);
    m_status->setTextFormat(Qt::PlainText);

    m_backups = makeTable({tr("Date"), tr("Files"), tr("Changes"), tr("Backup")},
                          QStringLiteral("historyBackups"));
    m_backups->horizontalHeaderItem(2)->setToolTip(
        tr("Files added (+), changed (~) and removed (-) since the backup before"));
    connect(m_backups, &QTableWidget::itemSelectionChanged, this, &HistoryView::showBackupFiles);
    connect(m_backups, &QTableWidget::itemDoubleClicked, this, [this] {
        if (const history::Backup* b = selectedBackup())
            emit openRequested(b->path);
    });
    m_files = new QTreeWidget;
    m_files->setObjectName(QStringLiteral("historyFiles"));
    m_files->setHeaderLabels({tr("File"), tr("Since the backup before")});
    m_files->setRootIsDecorated(false);
    m_files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    connect(m_files, &QTreeWidget::itemSelectionChanged, this, &HistoryView::updateButtons);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(m_backups);
    split->addWidget(m_files);
    split->setChildrenCollapsible(false);

    m_fileChanges =
        makeTable({tr("Date"), tr("Change"), tr("Backup")}, QStringLiteral("historyFileChanges"));
    connect(m_fileChanges, &QTableWidget::itemSelectionChanged, this, &HistoryView::updateButtons);
    connect(m_fileChanges, &QTableWidget::itemDoubleClicked, this, [this] {
        if (const history::Backup* b = selectedBackup())
            emit openRequested(b->path);
    });

    m_pages = new QStackedWidget;
    m_pages->addWidget(split);
    m_pages->addWidget(m_fileChanges);

    auto* keepLabel = new QLabel(tr("&Old backups:"));
    m_keep = new QComboBox;
    m_keep->setObjectName(QStringLiteral("historyKeep"));
    m_keep->setToolTip(tr("Applied after each successful \"Back up recorder\". The newest backup "
                          "and the only one holding some version of a file are always kept."));
    for (int n : keeping::keepChoices())
        m_keep->addItem(n == 0 ? tr("Keep every backup")
                               : tr("Keep the last %1 and the first of each month").arg(n),
                        n);
    keepLabel->setBuddy(m_keep);
    const int kept = m_keep->findData(keeping::keepLast(*m_settings));
    m_keep->setCurrentIndex(kept >= 0 ? kept : 0);
    connect(m_keep, &QComboBox::currentIndexChanged, this,
            [this] { keeping::setKeepLast(*m_settings, m_keep->currentData().toInt()); });
    auto* keepRow = new QHBoxLayout;
    keepRow->addWidget(keepLabel);
    keepRow->addWidget(m_keep, 1);

    m_open = new QPushButton(tr("&Open"));
    m_open->setObjectName(QStringLiteral("historyOpen"));
    m_open->setToolTip(tr("Open the selected backup as the current archive"));
    m_restore = new QPushButton(tr("&Restore to recorder..."));
    m_restore->setObjectName(QStringLiteral("historyRestore"));
    m_restore->setToolTip(tr("Write the selected files of this backup to the recorder"));
    connect(m_open, &QPushButton::clicked, this, [this] {
        if (const history::Backup* b = selectedBackup())
            emit openRequested(b->path);
    });
    connect(m_restore, &QPushButton::clicked, this, &HistoryView::restore);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->addButton(m_open, QDialogButtonBox::ActionRole);
    buttons->addButton(m_restore, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_status);
    layout->addWidget(m_pages, 1);
    layout->addLayout(keepRow);
    layout->addWidget(buttons);
    // Small enough for an 800x600 screen, and for 1920x1080 at twice the scale.
    resize(640, 440);
    updateButtons();
}

void HistoryView::showRecorder(const QString& folder, const QString& serial)
{
    m_folder = folder;
    m_serial = serial;
    m_chosenKey.clear();
    m_fileId = -1;
    m_fileName.clear();
    setWindowTitle(tr("History"));
    m_pages->setCurrentIndex(0);
    startReading();
}

void HistoryView::showFile(const QString& folder, const QString& serial, int id,
                           const QString& name)
{
    m_folder = folder;
    m_serial = serial;
    m_chosenKey.clear();
    m_fileId = id;
    m_fileName = name;
    setWindowTitle(tr("History of %1").arg(name));
    m_pages->setCurrentIndex(1);
    startReading();
}

void HistoryView::reread()
{
    if (!m_folder.isEmpty())
        startReading();
}

void HistoryView::startReading()
{
    // A read that is under way finishes first; its outcome is dropped and
    // the folder read once more, so that what is shown is never older than
    // the request.
    if (m_reading) {
        m_readAgain = true;
        m_reader->cancel();
        return;
    }
    m_reading = true;
    m_status->setText(tr("Reading the backups in %1...").arg(QDir::toNativeSeparators(m_folder)));
    m_recorders->setEnabled(false);
    m_pages->setEnabled(false);
    updateButtons();
    m_reader->setRequest({m_folder, QString(), std::nullopt});
    m_reader->start();
}

void HistoryView::historyRead(const HistoryReader::Outcome& outcome)
{
    m_reader->wait();
    m_reading = false;
    if (std::exchange(m_readAgain, false)) {
        startReading();
        return;
    }
    m_history = outcome.history;
    m_recorders->setEnabled(true);
    m_pages->setEnabled(true);
    qCDebug(lcApp) << "history read:" << m_history.recorders.size() << "recorders,"
                   << m_history.unreadable.size() << "unreadable";
    fillRecorders();
}

void HistoryView::fillRecorders()
{
    const QSignalBlocker quiet(m_recorders);
    m_recorders->clear();
    int pick = -1;
    for (const history::RecorderHistory& r : std::as_const(m_history.recorders)) {
        m_recorders->addItem(
            QStringLiteral("%1 (%2)").arg(r.displayName(), backupsText(r.backups.size())), r.key);
        if (pick < 0 && r.matches(m_serial))
            pick = m_recorders->count() - 1;
    }
    // The recorder chosen in the list stays chosen when the folder is read again.
    if (const int chosen = m_recorders->findData(m_chosenKey);
        !m_chosenKey.isEmpty() && chosen >= 0)
        pick = chosen;
    m_recorders->setCurrentIndex(pick >= 0 ? pick : (m_recorders->count() > 0 ? 0 : -1));
    showChosenRecorder();
}

const history::RecorderHistory* HistoryView::chosenRecorder() const
{
    const QString key = m_recorders->currentData().toString();
    if (m_recorders->currentIndex() < 0)
        return nullptr;
    for (const history::RecorderHistory& r : m_history.recorders)
        if (r.key == key)
            return &r;
    return nullptr;
}

void HistoryView::showChosenRecorder()
{
    const history::RecorderHistory* recorder = chosenRecorder();
    QString text;
    const QString folder = QDir::toNativeSeparators(m_history.folder);
    if (!m_history.problem.isEmpty())
        text = tr("The backups cannot be read: %1.").arg(m_history.problem);
    else if (!recorder)
        text = tr("There are no backups in %1.").arg(folder);
    else if (!m_serial.isEmpty() && !recorder->matches(m_serial))
        text = tr("There are no backups of %1 in %2; the list shows another recorder's.")
                   .arg(m_serial, folder);
    else
        text = tr("%1 in %2.").arg(backupsText(recorder->backups.size()), folder);
    if (!m_history.unreadable.isEmpty()) {
        QStringList names;
        QStringList reasons;
        for (const history::UnreadableFile& u : std::as_const(m_history.unreadable)) {
            names << QFileInfo(u.path).fileName();
            reasons << tr("%1: %2").arg(QFileInfo(u.path).fileName(), u.reason);
        }
        text += QLatin1Char(' ')
            + tr("Unreadable, skipped and left alone: %1.").arg(names.join(QStringLiteral(", ")));
        m_status->setToolTip(reasons.join(QLatin1Char('\n')));
    } else {
        m_status->setToolTip(QString());
    }
    // The title bar may not show: the file is named in the view too.
    if (m_fileId >= 0)
        text = tr("History of %1.").arg(m_fileName) + QLatin1Char(' ') + text;
    m_status->setText(text);

    if (m_fileId >= 0)
        fillFileChanges(recorder ? *recorder : history::RecorderHistory());
    else
        fillBackups(recorder ? *recorder : history::RecorderHistory());
}

void HistoryView::fillBackups(const history::RecorderHistory& recorder)
{
    const QSignalBlocker quiet(m_backups);
    m_backups->setRowCount(0);
    m_files->clear();
    // Newest first: the backup just made, and those before it, are what
    // is looked for most.
    const qsizetype count = recorder.backups.size();
    m_backups->setRowCount(int(count));
    for (qsizetype i = 0; i < count; ++i) {
        const history::Backup& b = recorder.backups[i];
        const int row = int(count - 1 - i);
        m_backups->setItem(row, 0, cell(dateText(b.takenAt), int(i)));
        auto* files = cell(QString::number(b.files.size()), int(i));
        files->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_backups->setItem(row, 1, files);
        m_backups->setItem(row, 2, cell(i == 0 ? tr("first") : changeCounts(b), int(i)));
        auto* name = cell(b.fileName(), int(i));
        name->setToolTip(QDir::toNativeSeparators(b.path));
        m_backups->setItem(row, 3, name);
    }
    fitColumns(m_backups);
    if (count > 0)
        m_backups->selectRow(0);
    showBackupFiles();
}

void HistoryView::fillFileChanges(const history::RecorderHistory& recorder)
{
    const QSignalBlocker quiet(m_fileChanges);
    m_fileChanges->setRowCount(0);
    const QList<history::FileChange> changes = history::fileHistory(recorder, m_fileId);
    // The backup each change was seen in, by its place in the history.
    QHash<QString, int> indexOf;
    for (qsizetype i = 0; i < recorder.backups.size(); ++i)
        indexOf.insert(recorder.backups[i].path, int(i));
    m_fileChanges->setRowCount(int(changes.size()));
    for (qsizetype i = 0; i < changes.size(); ++i) {
        const history::FileChange& c = changes[i];
        const int row = int(changes.size() - 1 - i);
        const int index = indexOf.value(c.path, -1);
        m_fileChanges->setItem(row, 0, cell(dateText(c.takenAt), index));
        auto* kind = cell(changeWord(c.kind), index);
        kind->setData(Qt::UserRole + 1, int(c.kind));
        m_fileChanges->setItem(row, 1, kind);
        auto* name = cell(QFileInfo(c.path).fileName(), index);
        name->setToolTip(QDir::toNativeSeparators(c.path));
        m_fileChanges->setItem(row, 2, name);
    }
    fitColumns(m_fileChanges);
    if (changes.isEmpty() && m_history.problem.isEmpty() && !recorder.backups.isEmpty())
        m_status->setText(m_status->text() + QLatin1Char(' ')
                          + tr("None of them holds %1.").arg(m_fileName));
    if (!changes.isEmpty())
        m_fileChanges->selectRow(0);
    updateButtons();
}

void HistoryView::showBackupFiles()
{
    m_files->clear();
    const history::Backup* b = m_fileId < 0 ? selectedBackup() : nullptr;
    if (b) {
        const bool first = b == &chosenRecorder()->backups.first();
        QSet<qint32> listed;
        const auto add = [this, &listed](const SummarizedFile& f, const QString& change,
                                         bool restorable) {
            auto* item = new QTreeWidgetItem(m_files, {f.name, change});
            item->setData(0, fileIdRole, f.id);
            if (!restorable)
                item->setFlags(Qt::ItemIsEnabled);
            listed.insert(f.id);
        };
        // The changes first, then the files that stayed as they were.
        if (!first) {
            for (const SummarizedFile& f : b->added)
                add(f, tr("added"), true);
            for (const SummarizedFile& f : b->changed)
                add(f, tr("changed"), true);
            for (const SummarizedFile& f : b->removed)
                add(f, tr("removed (not in this backup)"), false);
        }
        for (const SummarizedFile& f : b->files)
            if (!listed.contains(f.id))
                add(f, first ? tr("first backup") : QString(), true);
        m_files->resizeColumnToContents(0);
    }
    updateButtons();
}

const history::Backup* HistoryView::selectedBackup() const
{
    const history::RecorderHistory* recorder = chosenRecorder();
    const QTableWidget* table = m_fileId < 0 ? m_backups : m_fileChanges;
    const QList<QTableWidgetItem*> selected = table->selectedItems();
    if (!recorder || selected.isEmpty())
        return nullptr;
    const int index = selected.first()->data(backupIndexRole).toInt();
    if (index < 0 || index >= recorder->backups.size())
        return nullptr;
    return &recorder->backups[index];
}

QList<int> HistoryView::idsToRestore() const
{
    QList<int> ids;
    if (m_fileId >= 0) {
        const QList<QTableWidgetItem*> selected = m_fileChanges->selectedItems();
        // A removal's backup no longer holds the file.
        for (const QTableWidgetItem* item : selected)
            if (item->column() == 1
                && item->data(Qt::UserRole + 1).toInt() != history::FileChange::Removed)
                ids << m_fileId;
        return ids;
    }
    for (const QTreeWidgetItem* item : m_files->selectedItems())
        ids << item->data(0, fileIdRole).toInt();
    return ids;
}

void HistoryView::updateButtons()
{
    const bool chosen = !m_reading && selectedBackup();
    m_open->setEnabled(chosen);
    m_restore->setEnabled(chosen && !idsToRestore().isEmpty());
}

void HistoryView::restore()
{
    const history::Backup* b = selectedBackup();
    const QList<int> ids = idsToRestore();
    if (b && !ids.isEmpty())
        emit restoreRequested(b->path, ids);
}
