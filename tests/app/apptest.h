// Shared helpers of the main window tests: simulated recorders, content
// records and waiting for the window to settle.
#pragma once

#include "mainwindow.h"
#include "modalboxes.h"
#include "mztarchive.h"
#include "recorder_backup.h"
#include "simulator.h"
#include "testrecords.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <QTableWidget>
#include <QtEndian>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace apptest {

using testcommon::answerNextBox;
using testcommon::clickInNextBox;
using testcommon::record;
using testcommon::SeenBox;

// A recorder file: its record, then a few bytes of content.
inline QByteArray file(quint32 id, quint32 type, quint32 memSize, quint32 duration)
{
    return testcommon::recorderFile(qint32(id), qint32(type), memSize, duration,
                                    QByteArray(32, '\x5a'));
}

// True once the window is idle with a recorder that answers.
inline bool waitIdleAndConnected(MainWindow& w)
{
    return QTest::qWaitFor([&] { return !w.isBusy() && w.isConnected(); }, 20000);
}

// A sequence entry of an archive with this content.
inline ArchiveEntry* sequenceEntryWith(int id, const QByteArray& content)
{
    auto* e = new ArchiveEntry;
    e->setId(id);
    e->setType(1);
    e->setDuration(1000u * quint32(id));
    e->setName(testcommon::sequenceName(id));
    e->appendContent(content.constData(), content.size());
    return e;
}

// An archive entry for sequence id, with the record and content the
// simulated recorder's file of the same id would have.
inline ArchiveEntry* sequenceEntry(int id)
{
    return sequenceEntryWith(id, file(quint32(id), 1, 2048u * quint32(id), 1000u * quint32(id)));
}

inline sim::DeviceConfig recorderWithFiles(int sequences)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.files[sim::kSettingsFileNumber] = file(0, 0, 1024, 0);
    for (int n = 1; n <= sequences; ++n)
        c.files[std::uint16_t(n)] = file(quint32(n), 1, 2048u * quint32(n), 1000u * quint32(n));
    return c;
}

// A recorder on the wire's timing with three sequences large enough for a
// transfer of them to last a few seconds.
inline sim::DeviceConfig recorderWithSlowTransfers()
{
    sim::DeviceConfig recorder = recorderWithFiles(0);
    for (std::uint32_t id = 1; id <= 3; ++id)
        recorder.files[sim::fileNumberOf(id)] = sim::makeFile(id, 1, 24000, 1000 * id);
    recorder.timing = sim::Timing::Wire;
    return recorder;
}

inline std::vector<std::shared_ptr<sim::Recorder>> install(
    const std::vector<sim::DeviceConfig>& devices)
{
    return sim::Bus::instance().install(devices);
}

// True once discovery and the content listing have ended.
inline bool settled(const MainWindow& w)
{
    return !w.isBusy();
}

// Waits for the start-up sequence: discovery, then the listing it starts.
inline bool waitSettled(MainWindow& w, int rows, int timeoutMs = 15000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (settled(w) && (rows < 0 || w.ui()->devTable->rowCount() == rows))
            return true;
        QTest::qWait(20);
    }
    return false;
}

inline bool samePixmap(const QPixmap& a, const QString& resource)
{
    return a.toImage().convertToFormat(QImage::Format_ARGB32)
        == QPixmap(resource).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Every test starts from a window without remembered settings.
inline void clearSettings()
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
              QStringLiteral("MZT-500 Data Backup Tool"))
        .clear();
}

// Backups made by "Back up recorder" go to folder.
inline void useBackupFolder(const QString& folder)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
                       QStringLiteral("MZT-500 Data Backup Tool"));
    backup::setFolder(settings, folder);
}

// Shows the window, waits until it has listed the recorder's rows and
// backs the recorder up; true once the backup is the current archive.
// Shows the window, active for the keyboard, and waits until its recorder
// table holds rows (0: until discovery found nothing) and, with rows, until
// the recorder is connected and the window idle.
inline bool shownActiveAndSettled(MainWindow& w, int rows)
{
    w.show();
    return QTest::qWaitForWindowActive(&w) && waitSettled(w, rows)
        && (rows == 0 || waitIdleAndConnected(w));
}

inline bool shownAndBackedUp(MainWindow& w, int rows)
{
    w.show();
    if (!waitSettled(w, rows) || !waitIdleAndConnected(w))
        return false;
    w.backUpRecorder();
    return waitIdleAndConnected(w) && !w.archive()->fileName().isEmpty();
}

// The names of a table's selected rows, sorted.
inline QStringList selectedNames(const QTableWidget* table)
{
    QStringList names;
    for (const QTableWidgetItem* item : table->selectedItems())
        if (item->column() == 0)
            names << item->text();
    names.sort();
    return names;
}

inline QStringList comboTexts(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

inline QList<int> comboIndices(const QComboBox* box)
{
    QList<int> indices;
    for (int i = 0; i < box->count(); ++i)
        indices << box->itemData(i, Qt::UserRole).toInt();
    return indices;
}

// A menu entry's or button's text as shown: without the mnemonic's '&'.
inline QString shownText(const QString& text)
{
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size())
            ++i;
        shown += text[i];
    }
    return shown;
}

// Runs open(), which pops up a menu and waits in it, and returns the texts
// of the menu's entries as shown (separators as empty texts) after closing
// it; with mnemonics, as written, with their '&'.
inline QStringList menuTexts(const std::function<void()>& open, bool mnemonics = false)
{
    QStringList texts;
    QTimer::singleShot(0, [&texts, mnemonics] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (const QAction* a : menu->actions())
            texts << (mnemonics ? a->text() : shownText(a->text()));
        menu->close();
    });
    open();
    return texts;
}

// Selects whole rows of a table, nothing else.
inline void selectRows(QTableWidget* table, const QList<int>& rows)
{
    table->clearSelection();
    for (int r : rows)
        table->selectionModel()->select(table->model()->index(r, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

inline int rowOfName(const QTableWidget* table, const QString& name)
{
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 0) && table->item(r, 0)->text() == name)
            return r;
    return -1;
}

// Selects the three sequences of recorderWithSlowTransfers() in the device
// table and starts their download into the archive.
inline void startSlowDownload(MainWindow& w)
{
    QTableWidget* dev = w.ui()->devTable;
    selectRows(dev,
               {rowOfName(dev, QStringLiteral("SEQUENCE 01")),
                rowOfName(dev, QStringLiteral("SEQUENCE 02")),
                rowOfName(dev, QStringLiteral("SEQUENCE 03"))});
    w.save_in_arch();
}

} // namespace apptest
