// Shared by the transfer tests: a main window connected to a simulated
// recorder and helpers to select rows.
#pragma once

#include "kvpmaster.h"
#include "mainwindow.h"
#include "modalboxes.h"
#include "mztarchive.h"
#include "simframes.h"
#include "simulator.h"
#include "testrecords.h"
#include "ui_mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace transfers {

constexpr int idRole = 1;

// A recorder file with its 16-byte record: settings have id 0 and type 0.
inline QByteArray sequenceFile(int id, int size, quint32 durationMs = 61000)
{
    return sim::makeFile(std::uint32_t(id), 1, std::size_t(size), durationMs);
}
inline QByteArray settingsFile(int size = 1000)
{
    return sim::makeFile(0, 0, std::size_t(size), 0);
}

// A recorder holding sequences of the given numbers and sizes.
inline sim::DeviceConfig recorderHolding(std::initializer_list<std::pair<int, int>> sequences)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    for (const auto& [id, size] : sequences)
        c.files[id] = sequenceFile(id, size);
    return c;
}

using testcommon::makeEntry;
using testcommon::MessageBoxDriver;

// A main window that has found the simulated recorder and listed its
// content, with an archive that is empty or holds the given entries.
class WindowFixture {
public:
    explicit WindowFixture(sim::DeviceConfig config, bool namedArchive = false)
    {
        recorder = sim::Bus::instance().install({config}).front();
        archivePath = dir.filePath(QStringLiteral("backup.mzt"));
        window = std::make_unique<MainWindow>(namedArchive ? archivePath : QString());
        expectedRows = int(config.files.size());
    }
    ~WindowFixture()
    {
        window.reset();
        sim::Bus::instance().uninstall();
    }

    // Idle, connected and showing every file of the recorder.
    bool waitReady(int timeoutMs = 20000)
    {
        return QTest::qWaitFor(
            [this] {
                return !window->isBusy() && window->isConnected()
                    && devTable()->rowCount() == int(recorder->files().size());
            },
            timeoutMs);
    }
    // Back to idle after a command (its completion refreshed the content).
    bool waitIdle(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this] { return !window->isBusy(); }, timeoutMs);
    }

    QTableWidget* devTable() const { return window->ui()->devTable; }
    QTableWidget* archTable() const { return window->ui()->archTable; }
    MZTArchive* archive() const { return window->archive(); }
    KVPMaster* master() const { return window->master(); }

    static int rowOfId(QTableWidget* table, int id)
    {
        for (int r = 0; r < table->rowCount(); ++r) {
            const QTableWidgetItem* item = table->item(r, 0);
            if (item && item->data(idRole).toInt() == id)
                return r;
        }
        return -1;
    }
    // Selects the whole rows of these ids (in this order) and nothing else.
    static void selectIds(QTableWidget* table, const QList<int>& ids)
    {
        table->clearSelection();
        for (int id : ids) {
            const int row = rowOfId(table, id);
            QVERIFY2(row >= 0, qPrintable(QStringLiteral("no row with id %1").arg(id)));
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select
                                                | QItemSelectionModel::Rows);
        }
    }
    // Selects one cell of the row of id and nothing else.
    static void selectCell(QTableWidget* table, int id, int column)
    {
        table->clearSelection();
        const int row = rowOfId(table, id);
        QVERIFY(row >= 0);
        table->selectionModel()->select(table->model()->index(row, column),
                                        QItemSelectionModel::Select);
    }

    // Writes the archive entries of these ids to the recorder, answering
    // whatever is planned, and waits until the window is idle again.
    bool uploadIds(const QList<int>& ids)
    {
        selectIds(archTable(), ids);
        window->transfer_to_dev();
        return waitIdle();
    }
    // Reads the recorder's files of these ids into the archive, likewise.
    bool downloadIds(const QList<int>& ids)
    {
        selectIds(devTable(), ids);
        window->save_in_arch();
        return waitIdle();
    }

    // Puts sequence id of this size into the window's archive; its bytes.
    QByteArray addSequence(int id, int size)
    {
        const QByteArray content = sequenceFile(id, size);
        addEntries({makeEntry(id, 1, content,
                              QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')))});
        return content;
    }

    // Puts entries into the window's archive and shows them.
    void addEntries(const QList<ArchiveEntry*>& entries)
    {
        for (ArchiveEntry* e : entries)
            archive()->addEntry(e);
        window->fillArchiveTable(archive(), archTable());
    }

    // Every value the progress bars took.
    void recordProgress()
    {
        QObject::connect(window->ui()->progrBarCurrent, &QProgressBar::valueChanged,
                         [this](int v) { currentValues << v; });
        QObject::connect(window->ui()->progBarTotal, &QProgressBar::valueChanged,
                         [this](int v) { totalValues << v; });
    }

    QTemporaryDir dir;
    QString archivePath;
    std::shared_ptr<sim::Recorder> recorder;
    std::unique_ptr<MainWindow> window;
    int expectedRows = 0;
    QList<int> currentValues;
    QList<int> totalValues;
};

// Plans Yes for the next question, given only after the recorder was
// unplugged while the question is open and the connection poll noticed (it
// then starts a discovery, which holds the device).
inline void answerYesAfterUnplugging(MessageBoxDriver& boxes, WindowFixture& f, bool* unplugged)
{
    boxes.plan(QMessageBox::Yes, [&f, unplugged] {
        if (!*unplugged) {
            f.recorder->vanish();
            *unplugged = true;
        }
        return f.window->isBusy() || !f.window->isConnected();
    });
}

// One damaged reply: the byte at offset of the reply to request frame
// `frame` flipped, or, when repeatRequested, that reply asking for the frame
// again (status 7).
inline sim::Faults replyFault(int frame, int offset, bool repeatRequested)
{
    sim::Faults faults;
    if (repeatRequested) {
        faults.statusAtFrame = frame;
        faults.status = 7;
    } else {
        faults.corruptAtFrame = frame;
        faults.faultOffset = offset;
    }
    return faults;
}

using testcommon::framesOf;

// Starts the worker and aborts it at once, while its thread may not have
// begun to run, several times over: the abort must hold every time, so the
// recorder never sees a frame the run would only send when not aborted.
template <typename Worker>
void startAndAbortAtOnce(WindowFixture& f, Worker& worker,
                         const std::function<bool(const sim::Frame&)>& sentOnlyWithoutAbort)
{
    f.window->enterBusy();
    worker.setMainWindow(f.window.get());
    for (int round = 0; round < 5; ++round) {
        worker.start();
        worker.abort();
        QVERIFY(QTest::qWaitFor([&] { return worker.isFinished(); }, 20000));
        worker.acquireResults();
        const std::vector<sim::Frame> frames = f.recorder->receivedFrames();
        QVERIFY2(std::none_of(frames.begin(), frames.end(), sentOnlyWithoutAbort),
                 qPrintable(QStringLiteral("round %1").arg(round)));
    }
    f.window->operationDone();
}

} // namespace transfers
