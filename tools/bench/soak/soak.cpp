#include "soak.h"

#include "firmwareupdatedlg.h"
#include "fwupdater.h"
#include "mainwindow.h"
#include "mztarchive.h"
#include "recorder_vocabulary.h"
#include "simulator.h"
#include "ui_firmwareupdatedlg.h"
#include "ui_mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtEndian>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace soak {
namespace {

using Files = std::map<std::uint16_t, QByteArray>;
using SteadyClock = std::chrono::steady_clock;

constexpr int kIdRole = mzt500::ItemIdRole;
// Far beyond any operation's own time-outs: an operation still running after
// this long is a hang.
constexpr int kOperationDeadlineMs = 60000;
// Time for the window to find the recorder again and list it after an
// operation that lost it.
constexpr int kSettleDeadlineMs = 30000;
// Two connection polls: the window has noticed an unplugged recorder.
constexpr int kNoticeUnplugMs = 1500;
// The GUI thread must come back to its event loop within this time, or the
// program is frozen (a deadlock no event-loop wait can see).
constexpr int kFrozenAfterMs = 120000;

// Per-frame fault rates. Corruption is one byte of one reply frame, never
// two: two corrupted bytes can cancel in an 8-bit additive checksum.
constexpr double kCorruptPerFrame = 0.005;
constexpr double kRepeatRequestPerFrame = 0.005;
constexpr double kDropBytePerFrame = 0.002;
// Per operation.
constexpr double kSilentReplyPerOp = 0.05;
constexpr double kVanishPerOp = 0.12;

constexpr std::uint16_t kMaxFrameSize = 256;

const char* const kFailureTexts[] = {
    "An error has ocurred while trying to download data\nform a device.",
    "Upload has failed.",
    "An error has ocurred while trying to delete data\non a device.",
    "The device is currently busy.",
};

enum class Kind { Download, Upload, Delete, List, Firmware };

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Download:
        return "download";
    case Kind::Upload:
        return "upload";
    case Kind::Delete:
        return "delete";
    case Kind::List:
        return "list";
    case Kind::Firmware:
        return "firmware";
    }
    return "?";
}

std::uint16_t fileNumberOfId(int id)
{
    return sim::fileNumberOf(std::uint32_t(id));
}

// What an upload must leave on the recorder for this entry: its content with
// the record's id, type and duration words taken from the entry. Computed
// here on its own rather than by the archive, so a fault there shows.
QByteArray expectedOnRecorder(const ArchiveEntry& entry)
{
    QByteArray bytes = entry.content();
    if (bytes.size() < 16)
        bytes.append(QByteArray(16 - bytes.size(), '\0'));
    qToLittleEndian<quint32>(quint32(entry.id()), bytes.data());
    qToLittleEndian<quint32>(quint32(entry.type()), bytes.data() + 4);
    qToLittleEndian<quint32>(entry.duration(), bytes.data() + 12);
    return bytes;
}

// ---------------------------------------------------------------- faults

// Arms the simulator's one-shot faults again and again from its own thread,
// so faults land at random frames all through an operation, and unplugs the
// recorder for a while at a random moment.
class FaultDriver {
public:
    struct Counts {
        std::atomic<int> corrupted {0};
        std::atomic<int> repeatRequests {0};
        std::atomic<int> droppedBytes {0};
        std::atomic<int> silentReplies {0};
        std::atomic<int> vanishes {0};
    };

    FaultDriver(std::shared_ptr<sim::Recorder> recorder, std::uint64_t seed, double scale)
        : m_recorder(std::move(recorder))
        , m_rng(seed ^ 0x9e3779b97f4a7c15ULL)
        , m_scale(scale)
    {
        m_thread = std::thread([this] { loop(); });
    }
    ~FaultDriver()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

    // Faults from now until endOperation(). silentCommand >= 0 leaves one
    // reply of that command out entirely; vanishAfter, if set, unplugs the
    // recorder that long from now for `absence`.
    void beginOperation(int silentCommand, std::optional<std::chrono::milliseconds> vanishAfter,
                        std::chrono::milliseconds absence)
    {
        std::lock_guard lock(m_mutex);
        m_silentCommand = silentCommand;
        m_vanishAt.reset();
        m_reappearAt.reset();
        if (vanishAfter) {
            m_vanishAt = SteadyClock::now() + *vanishAfter;
            m_reappearAt = *m_vanishAt + absence;
        }
        armLocked();
        m_active = true;
        m_cv.notify_all();
    }

    // No faults any more and the recorder plugged in.
    void endOperation()
    {
        std::lock_guard lock(m_mutex);
        m_active = false;
        m_recorder->clearFaults();
        m_recorder->clearLogs();
        if (!m_recorder->present())
            m_recorder->reappear();
    }

    const Counts& counts() const { return m_counts; }

private:
    struct Armed {
        long long corruptAt = -1;
        long long repeatAt = -1;
        long long dropAt = -1;
        int offset = 0;
        bool silent = false;
    };

    long long drawGeometric(double p)
    {
        if (m_scale <= 0)
            return -1;
        std::geometric_distribution<long long> d(std::min(1.0, p * m_scale));
        return d(m_rng);
    }

    void armLocked()
    {
        m_armed = Armed {};
        m_armed.corruptAt = drawGeometric(kCorruptPerFrame);
        m_armed.repeatAt = drawGeometric(kRepeatRequestPerFrame);
        m_armed.dropAt = drawGeometric(kDropBytePerFrame);
        // Half the time the 12-byte header or the trailer of a status reply,
        // otherwise anywhere in a full data frame (payload included).
        std::uniform_int_distribution<int> small(0, 14), any(0, kMaxFrameSize - 1);
        m_armed.offset = (m_rng() & 1) ? small(m_rng) : any(m_rng);
        m_armed.silent = m_silentCommand >= 0;

        sim::Faults f;
        f.seed = m_rng();
        f.corruptAtFrame = int(m_armed.corruptAt);
        f.statusAtFrame = int(m_armed.repeatAt);
        f.status = 7;
        f.statusCount = 1;
        f.dropAtFrame = int(m_armed.dropAt);
        f.faultOffset = m_armed.offset;
        if (m_armed.silent) {
            f.silentCommand = m_silentCommand;
            f.silentCount = 1;
        }
        // Frame numbers count from here: the logs must count from here too.
        m_recorder->setFaults(f);
        m_recorder->clearLogs();
    }

    void loop()
    {
        std::unique_lock lock(m_mutex);
        while (!m_quit) {
            m_cv.wait_for(lock, std::chrono::milliseconds(1));
            if (m_quit || !m_active)
                continue;
            const auto now = SteadyClock::now();
            if (m_vanishAt && now >= *m_vanishAt) {
                m_vanishAt.reset();
                m_recorder->vanish();
                ++m_counts.vanishes;
            }
            if (!m_vanishAt && m_reappearAt && now >= *m_reappearAt) {
                m_reappearAt.reset();
                m_recorder->reappear();
            }

            // Sent first: a frame taken in between only delays the check.
            const std::vector<sim::Frame> sent = m_recorder->sentFrames();
            const long long received = (long long)m_recorder->receivedFrames().size();
            bool passed = false;
            if (m_armed.silent && received > (long long)sent.size()) {
                ++m_counts.silentReplies;
                m_silentCommand = -1; // once per operation
                passed = true;
            }
            if (m_armed.corruptAt >= 0 && received > m_armed.corruptAt) {
                // The fault hits only a reply that reaches that offset.
                const auto n = std::size_t(m_armed.corruptAt);
                if (n < sent.size() && m_armed.offset < 14 + sent[n].payload.size())
                    ++m_counts.corrupted;
                passed = true;
            }
            if (m_armed.repeatAt >= 0 && received > m_armed.repeatAt) {
                ++m_counts.repeatRequests;
                passed = true;
            }
            if (m_armed.dropAt >= 0 && received > m_armed.dropAt) {
                const auto n = std::size_t(m_armed.dropAt);
                if (n < sent.size() && m_armed.offset < 14 + sent[n].payload.size())
                    ++m_counts.droppedBytes;
                passed = true;
            }
            if (passed)
                armLocked();
        }
    }

    std::shared_ptr<sim::Recorder> m_recorder;
    std::mt19937_64 m_rng;
    const double m_scale;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::thread m_thread;
    bool m_quit = false;
    bool m_active = false;
    int m_silentCommand = -1;
    std::optional<SteadyClock::time_point> m_vanishAt, m_reappearAt;
    Armed m_armed;
    Counts m_counts;
};

// ------------------------------------------------------------ the window

// Answers every message box as a user who always goes ahead would (Yes, else
// OK), and remembers their texts.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }
    QStringList texts() const { return m_texts; }
    void clear() { m_texts.clear(); }

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (box != m_current) {
            m_current = box;
            m_texts << box->text();
        }
        QAbstractButton* button = box->button(QMessageBox::Yes);
        if (!button)
            button = box->button(QMessageBox::Ok);
        if (!button)
            button = box->defaultButton();
        if (button)
            button->click();
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_current;
    QStringList m_texts;
};

// Proves the GUI thread keeps returning to its event loop; a thread of its
// own ends the run when it stops, since nothing on the GUI thread could.
class FreezeWatch {
public:
    explicit FreezeWatch(std::function<void()> onFrozen)
        : m_onFrozen(std::move(onFrozen))
    {
        m_beat.store(now());
        m_timer.setInterval(100);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_beat.store(now()); });
        m_timer.start();
        m_thread = std::thread([this] {
            std::unique_lock lock(m_mutex);
            while (!m_cv.wait_for(lock, std::chrono::seconds(1), [this] { return m_quit; })) {
                if (now() - m_beat.load() > kFrozenAfterMs) {
                    m_onFrozen();
                    std::fflush(stdout);
                    std::fflush(stderr);
                    std::_Exit(3);
                }
            }
        });
    }
    ~FreezeWatch()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    static long long now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   SteadyClock::now().time_since_epoch())
            .count();
    }

    std::function<void()> m_onFrozen;
    std::atomic<long long> m_beat {0};
    QTimer m_timer;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_quit = false;
    std::thread m_thread;
};

// An archive entry as it stood: its id and its bytes.
struct EntryCopy {
    int id = 0;
    QByteArray content;
    int type = 0;
    quint32 duration = 0;
};

class Soak {
public:
    explicit Soak(const Options& options)
        : m_options(options)
        , m_rng(options.seed)
    {
    }

    int run();

private:
    // Window and recorder.
    bool windowReady() const;
    bool settle();
    QList<int> tableIds(QTableWidget* table) const;
    void selectIds(QTableWidget* table, const QList<int>& ids) const;
    QList<int> pick(QList<int> ids, int most);
    std::vector<EntryCopy> archiveCopy() const;

    // One operation each; they return false when the window never became
    // idle again.
    bool download();
    bool upload();
    bool remove();
    bool list();
    bool firmware();

    bool waitIdle(int deadlineMs);
    // A command on rows of the recorder's table: the ids it ran on, what
    // the recorder and the archive held before, and whether it started and
    // ended without a failure message.
    struct DeviceTableRun {
        QList<int> ids;
        Files before;
        std::vector<EntryCopy> entries;
        bool ok = false;
    };
    // Picks up to count rows of the recorder's table and runs command on
    // them; nothing when the window never became idle again.
    std::optional<DeviceTableRun> runOnDeviceTable(int count, void (MainWindow::*command)());
    bool failureShown() const;
    void problem(const QString& what);
    void hang(const QString& what);

    // Checks after an operation against what stood before it.
    void checkUntouchedFiles(const Files& before, const QList<std::uint16_t>& involved);
    void checkUntouchedEntries(const std::vector<EntryCopy>& before, const QList<int>& involved);

    void setUpRecorder();
    void setUpArchive();
    void printLine() const;
    void tally(bool ok);

    Options m_options;
    std::mt19937_64 m_rng;
    std::shared_ptr<sim::Recorder> m_recorder;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<BoxAnswerer> m_boxes;
    std::unique_ptr<FaultDriver> m_faults;

    Kind m_kind = Kind::List;
    int m_opIndex = 0;
    bool m_opProblem = false;
    std::map<Kind, double> m_meanMs;

    int m_ops = 0, m_ok = 0, m_failedCleanly = 0, m_hangs = 0, m_corrupted = 0;
    std::map<Kind, std::pair<int, int>> m_byKind; // ok, failed
};

void Soak::printLine() const
{
    std::printf("soak ops=%d ok=%d failed_cleanly=%d hangs=%d corrupted=%d\n", m_ops, m_ok,
                m_failedCleanly, m_hangs, m_corrupted);
    std::fflush(stdout);
}

void Soak::tally(bool ok)
{
    auto& [okCount, failedCount] = m_byKind[m_kind];
    if (ok) {
        ++m_ok;
        ++okCount;
    } else {
        ++m_failedCleanly;
        ++failedCount;
    }
}

void Soak::problem(const QString& what)
{
    std::fprintf(stderr, "soak: op %d (%s): %s\n", m_opIndex, kindName(m_kind), qPrintable(what));
    m_opProblem = true;
}

void Soak::hang(const QString& what)
{
    std::fprintf(stderr, "soak: op %d (%s): HANG: %s\n", m_opIndex, kindName(m_kind),
                 qPrintable(what));
    ++m_hangs;
}

bool Soak::windowReady() const
{
    if (QApplication::activeModalWidget())
        return false;
    if (m_window->isBusy() || !m_window->isConnected() || !m_window->isDeviceReady())
        return false;
    return m_window->ui()->devTable->rowCount() == int(m_recorder->files().size());
}

// Back to a connected, idle window that lists the recorder: what a user
// does after a failure (discover again if the window gave up).
bool Soak::settle()
{
    if (QTest::qWaitFor([this] { return windowReady(); }, 8000))
        return true;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kSettleDeadlineMs) {
        if (!m_window->isBusy() && !QApplication::activeModalWidget())
            m_window->on_actionDiscoverDevices_triggered();
        if (QTest::qWaitFor([this] { return windowReady(); }, 5000))
            return true;
    }
    return false;
}

QList<int> Soak::tableIds(QTableWidget* table) const
{
    QList<int> ids;
    for (int r = 0; r < table->rowCount(); ++r) {
        if (const QTableWidgetItem* item = table->item(r, 0))
            ids << item->data(kIdRole).toInt();
    }
    return ids;
}

void Soak::selectIds(QTableWidget* table, const QList<int>& ids) const
{
    table->clearSelection();
    for (int id : ids) {
        for (int r = 0; r < table->rowCount(); ++r) {
            const QTableWidgetItem* item = table->item(r, 0);
            if (item && item->data(kIdRole).toInt() == id) {
                table->selectionModel()->select(table->model()->index(r, 0),
                                                QItemSelectionModel::Select
                                                    | QItemSelectionModel::Rows);
                break;
            }
        }
    }
}

QList<int> Soak::pick(QList<int> ids, int most)
{
    std::shuffle(ids.begin(), ids.end(), m_rng);
    const int n = std::uniform_int_distribution<int>(1, std::max(1, most))(m_rng);
    return ids.mid(0, std::min<qsizetype>(n, ids.size()));
}

std::vector<EntryCopy> Soak::archiveCopy() const
{
    std::vector<EntryCopy> copy;
    for (const ArchiveEntry* e : m_window->archive()->entries())
        copy.push_back({e->id(), e->content(), e->type(), e->duration()});
    return copy;
}

bool Soak::waitIdle(int deadlineMs)
{
    return QTest::qWaitFor(
        [this] { return !m_window->isBusy() && !QApplication::activeModalWidget(); }, deadlineMs);
}

bool Soak::failureShown() const
{
    for (const QString& text : m_boxes->texts()) {
        for (const char* failure : kFailureTexts) {
            if (text == QLatin1String(failure))
                return true;
        }
    }
    return false;
}

void Soak::checkUntouchedFiles(const Files& before, const QList<std::uint16_t>& involved)
{
    const Files after = m_recorder->files();
    for (const auto& [number, content] : before) {
        if (involved.contains(number))
            continue;
        const auto it = after.find(number);
        if (it == after.end())
            problem(QStringLiteral("recorder file %1 vanished").arg(number));
        else if (it->second != content)
            problem(QStringLiteral("recorder file %1 changed").arg(number));
    }
    for (const auto& [number, content] : after) {
        if (!involved.contains(number) && !before.count(number))
            problem(QStringLiteral("recorder file %1 appeared").arg(number));
    }
}

void Soak::checkUntouchedEntries(const std::vector<EntryCopy>& before, const QList<int>& involved)
{
    std::vector<EntryCopy> kept, now;
    for (const EntryCopy& e : before) {
        if (!involved.contains(e.id))
            kept.push_back(e);
    }
    for (const EntryCopy& e : archiveCopy()) {
        if (!involved.contains(e.id))
            now.push_back(e);
    }
    if (kept.size() != now.size()) {
        problem(QStringLiteral("archive holds %1 other entries instead of %2")
                    .arg(now.size())
                    .arg(kept.size()));
        return;
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].id != now[i].id || kept[i].content != now[i].content)
            problem(QStringLiteral("archive entry %1 changed").arg(kept[i].id));
    }
}

// ------------------------------------------------------------ operations

std::optional<Soak::DeviceTableRun> Soak::runOnDeviceTable(int count, void (MainWindow::*command)())
{
    DeviceTableRun run;
    run.ids = pick(tableIds(m_window->ui()->devTable), count);
    run.before = m_recorder->files();
    run.entries = archiveCopy();
    selectIds(m_window->ui()->devTable, run.ids);
    (m_window.get()->*command)();
    // The command shows the progress bars only once its worker runs; a
    // command that found the window busy or disconnected started nothing.
    const bool started = !m_window->ui()->progBarTotal->isHidden();
    if (!waitIdle(kOperationDeadlineMs))
        return std::nullopt;
    run.ok = started && !failureShown();
    return run;
}

bool Soak::download()
{
    const std::optional<DeviceTableRun> run = runOnDeviceTable(4, &MainWindow::save_in_arch);
    if (!run)
        return false;
    const auto& [ids, before, entries, ok] = *run;

    checkUntouchedFiles(before, {});
    checkUntouchedEntries(entries, ids);

    // Each selected id: at most one entry, holding either what the archive
    // held before or exactly the bytes the recorder's file holds.
    for (int id : ids) {
        std::optional<QByteArray> old;
        for (const EntryCopy& e : entries) {
            if (e.id == id)
                old = e.content;
        }
        const auto source = before.find(fileNumberOfId(id));
        int count = 0;
        std::optional<QByteArray> now;
        for (const EntryCopy& e : archiveCopy()) {
            if (e.id != id)
                continue;
            ++count;
            now = e.content;
            // A later upload writes these fields back into the record, so
            // they must repeat what the recorder sent.
            if (source != before.end() && e.content == source->second && e.content.size() >= 16
                && (quint32(e.type) != qFromLittleEndian<quint32>(e.content.constData() + 4)
                    || e.duration != qFromLittleEndian<quint32>(e.content.constData() + 12)))
                problem(
                    QStringLiteral("entry %1: type or duration differ from its record").arg(id));
        }
        if (count > 1)
            problem(QStringLiteral("entry %1 is in the archive %2 times").arg(id).arg(count));
        if (!now) {
            if (old)
                problem(QStringLiteral("entry %1 was lost").arg(id));
            else if (ok && source != before.end())
                problem(
                    QStringLiteral("entry %1 missing after a download reported as done").arg(id));
            continue;
        }
        const bool fromRecorder = source != before.end() && *now == source->second;
        if (!fromRecorder && !(old && *now == *old)) {
            problem(QStringLiteral("entry %1 holds %2 bytes that match neither the recorder's "
                                   "file nor the old entry")
                        .arg(id)
                        .arg(now->size()));
        } else if (ok && !fromRecorder) {
            problem(QStringLiteral("entry %1 not refilled by a download reported as done").arg(id));
        }
    }
    tally(ok);
    return true;
}

bool Soak::upload()
{
    const std::vector<EntryCopy> entries = archiveCopy();
    QList<int> all;
    for (const EntryCopy& e : entries)
        all << e.id;
    const QList<int> ids = pick(all, 3);
    std::map<std::uint16_t, QByteArray> expected;
    for (const ArchiveEntry* e : m_window->archive()->entries()) {
        if (ids.contains(e->id()))
            expected[fileNumberOfId(e->id())] = expectedOnRecorder(*e);
    }
    const Files before = m_recorder->files();
    selectIds(m_window->ui()->archTable, ids);

    m_window->transfer_to_dev();
    if (!waitIdle(kOperationDeadlineMs))
        return false;
    const bool ok = !failureShown();

    QList<std::uint16_t> involved;
    for (const auto& [number, content] : expected)
        involved << number;
    checkUntouchedFiles(before, involved);
    checkUntouchedEntries(entries, {});

    // Each written file: the uploaded bytes, or (after a failure) the old
    // file or none; never anything else.
    const Files after = m_recorder->files();
    for (const auto& [number, content] : expected) {
        const auto now = after.find(number);
        const auto old = before.find(number);
        if (now == after.end()) {
            if (ok)
                problem(
                    QStringLiteral("file %1 missing after an upload reported as done").arg(number));
            continue;
        }
        if (now->second == content)
            continue;
        if (ok)
            problem(QStringLiteral("file %1 differs from its archive entry after an upload "
                                   "reported as done")
                        .arg(number));
        else if (old == before.end() || old->second != now->second)
            problem(QStringLiteral("file %1 holds %2 bytes that match neither the entry nor the "
                                   "old file")
                        .arg(number)
                        .arg(now->second.size()));
    }
    tally(ok);
    return true;
}

bool Soak::remove()
{
    const std::optional<DeviceTableRun> run = runOnDeviceTable(3, &MainWindow::delete_on_dev);
    if (!run)
        return false;
    const auto& [ids, before, entries, ok] = *run;

    QList<std::uint16_t> involved;
    for (int id : ids) {
        if (id != 0) // the settings are never deleted
            involved << fileNumberOfId(id);
    }
    checkUntouchedFiles(before, involved);
    checkUntouchedEntries(entries, {});
    const Files after = m_recorder->files();
    for (std::uint16_t number : involved) {
        const auto now = after.find(number);
        if (now == after.end())
            continue;
        if (ok)
            problem(QStringLiteral("file %1 still there after a deletion reported as done")
                        .arg(number));
        else if (now->second != before.at(number))
            problem(QStringLiteral("file %1 changed by a failed deletion").arg(number));
    }
    tally(ok);
    return true;
}

bool Soak::list()
{
    const Files before = m_recorder->files();
    const std::vector<EntryCopy> entries = archiveCopy();
    if (m_rng() & 1)
        m_window->updateMZTContent();
    else
        m_window->on_actionDiscoverDevices_triggered();
    if (!waitIdle(kOperationDeadlineMs))
        return false;

    checkUntouchedFiles(before, {});
    checkUntouchedEntries(entries, {});
    // A listing the window accepted names exactly the recorder's files.
    const bool ok =
        m_window->isDeviceReady() && m_window->ui()->devTable->rowCount() == int(before.size());
    if (m_window->isDeviceReady() && m_window->ui()->devTable->rowCount() > 0) {
        QList<int> shown = tableIds(m_window->ui()->devTable), held;
        for (const auto& [number, content] : before)
            held << int(qFromLittleEndian<quint32>(content.constData()));
        std::sort(shown.begin(), shown.end());
        std::sort(held.begin(), held.end());
        if (shown != held)
            problem(QStringLiteral("the recorder's table lists other files than it holds"));
    }
    tally(ok);
    return true;
}

bool Soak::firmware()
{
    const Files before = m_recorder->files();
    const std::vector<EntryCopy> entries = archiveCopy();
    bool succeeded = false, failed = false, ended = true, opened = false;

    QTimer::singleShot(0, [&] {
        FirmwareUpdateDlg* dlg = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                dlg = qobject_cast<FirmwareUpdateDlg*>(QApplication::activeModalWidget());
                return dlg != nullptr;
            },
            5000);
        if (!dlg)
            return;
        opened = true;
        if (auto* updater = dlg->findChild<FwUpdater*>()) {
            QObject::connect(updater, &FwUpdater::success, dlg, [&] { succeeded = true; });
            QObject::connect(updater, &FwUpdater::failed, dlg, [&] { failed = true; });
        }
        if (dlg->form()->bttn_update->isEnabled()) {
            dlg->form()->bttn_update->click();
            ended = QTest::qWaitFor([&] { return !dlg->isBusy(); }, kOperationDeadlineMs);
        } else if (m_options.verbose) {
            std::fprintf(stderr, "soak: op %d: no update offered (file ok %d, %d devices)\n",
                         m_opIndex, int(dlg->isFileOk()), int(dlg->form()->devicesCombo->count()));
        }
        if (ended)
            dlg->form()->bttn_quit->click();
    });
    m_window->on_actionUpdate_firmware_triggered();
    if (!opened)
        problem(QStringLiteral("the update dialog did not open"));
    if (!ended || !waitIdle(kOperationDeadlineMs))
        return false;

    checkUntouchedFiles(before, {});
    checkUntouchedEntries(entries, {});
    if (succeeded && failed)
        problem(QStringLiteral("the update reported both success and failure"));
    if (succeeded) {
        const sim::FirmwareReceipt receipt = m_recorder->firmware();
        if (!receipt.complete || !receipt.checksumOk)
            problem(QStringLiteral("an update reported as done left the recorder without a "
                                   "complete image"));
    }
    const bool ok = succeeded && !failed;
    tally(ok);
    return true;
}

// ------------------------------------------------------------ set-up

void Soak::setUpRecorder()
{
    sim::DeviceConfig config = sim::DeviceConfig::recorder();
    config.serial = "KVSOAK01";
    config.repeatedFrames = m_options.repeatedFrames;
    // Small frames: many frames per file, so the per-frame faults land often.
    config.maxFrameSize = kMaxFrameSize;
    config.deleteDurationMs = 150;
    config.turnaroundUs = 200;
    config.files[sim::kSettingsFileNumber] = sim::makeFile(0, 0, 1000, 0);
    std::uniform_int_distribution<int> size(16, 40000);
    for (std::uint32_t id = 1; id <= 10; ++id) {
        const int bytes = id == 1 ? 16 : size(m_rng) & ~1;
        config.files[sim::fileNumberOf(id)] =
            sim::makeFile(id, 1, std::size_t(std::max(bytes, 16)), 1000 * id + 500);
    }
    m_recorder = sim::Bus::instance().install({config}).front();
}

void Soak::setUpArchive()
{
    // Entries the recorder does not hold yet, with contents no recorder file
    // has; some renumbered since they were read (their record still names
    // the old id), which an upload must write under the new one.
    std::uniform_int_distribution<int> size(16, 30000);
    std::uniform_int_distribution<int> byte(0, 255);
    auto add = [&](int id, int recordId, int type) {
        QByteArray content = sim::makeFile(std::uint32_t(recordId), std::uint32_t(type),
                                           std::size_t(std::max(size(m_rng) & ~1, 16)),
                                           type ? 7000u + std::uint32_t(id) : 0u);
        for (qsizetype i = 16; i < content.size(); ++i)
            content[i] = char(content[i] ^ byte(m_rng));
        auto* entry = new ArchiveEntry;
        entry->setId(id);
        entry->setType(type);
        entry->setDuration(qFromLittleEndian<quint32>(content.constData() + 12));
        entry->appendContent(content.constData(), content.size());
        entry->setName(QStringLiteral("soak %1").arg(id));
        m_window->archive()->addEntry(entry);
    };
    add(0, 0, 0);
    for (int id = 20; id <= 26; ++id)
        add(id, id >= 25 ? id + 10 : id, 1);
    m_window->fillArchiveTable(m_window->archive(), m_window->ui()->archTable);
}

int Soak::run()
{
    setUpRecorder();
    m_window = std::make_unique<MainWindow>(QString());
    m_boxes = std::make_unique<BoxAnswerer>();
    setUpArchive();
    m_faults = std::make_unique<FaultDriver>(m_recorder, m_options.seed, m_options.faultScale);

    FreezeWatch watch([this] {
        std::fprintf(stderr, "soak: op %d (%s): HANG: the GUI thread stopped serving events\n",
                     m_opIndex, kindName(m_kind));
        ++m_hangs;
        ++m_ops;
        printLine();
    });

    if (!settle()) {
        std::fprintf(stderr, "soak: the window never listed the simulated recorder\n");
        return 2;
    }

    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Kind kinds[] = {Kind::Download, Kind::Download, Kind::Download, Kind::Upload,
                          Kind::Upload,   Kind::Upload,   Kind::Delete,   Kind::Delete,
                          Kind::List,     Kind::Firmware};
    const int commandsOf[][3] = {
        {9, 10, 16}, // download and the refresh after it
        {14, 15, 12}, {11, 12, 16}, {16, 18, 16}, {3, 4, 16},
    };
    bool stopped = false;
    for (m_opIndex = 0; m_opIndex < m_options.ops && !stopped; ++m_opIndex) {
        Kind kind = kinds[m_rng() % std::size(kinds)];
        if (!m_options.only.isEmpty()) {
            for (Kind k : kinds) {
                if (m_options.only == QLatin1String(kindName(k)))
                    kind = k;
            }
        }
        // Keep something to work on in both directions.
        if (kind == Kind::Delete && m_recorder->files().size() <= 4)
            kind = Kind::Upload;
        m_kind = kind;
        m_opProblem = false;
        m_boxes->clear();

        const int* commands = commandsOf[int(kind)];
        const double scale = m_options.faultScale;
        const int silent = unit(m_rng) < kSilentReplyPerOp * scale ? commands[m_rng() % 3] : -1;
        std::optional<std::chrono::milliseconds> vanishAfter;
        const double mean = m_meanMs.count(kind) ? m_meanMs[kind] : 300.0;
        if (unit(m_rng) < kVanishPerOp * scale)
            vanishAfter = std::chrono::milliseconds(std::int64_t(unit(m_rng) * mean));
        const auto absence = std::chrono::milliseconds(50 + m_rng() % 2500);

        const FaultDriver::Counts& fc = m_faults->counts();
        const int faultsBefore[] = {fc.corrupted.load(), fc.repeatRequests.load(),
                                    fc.droppedBytes.load(), fc.silentReplies.load(),
                                    fc.vanishes.load()};
        QElapsedTimer timer;
        timer.start();
        m_faults->beginOperation(silent, vanishAfter, absence);
        bool ended = false;
        switch (kind) {
        case Kind::Download:
            ended = download();
            break;
        case Kind::Upload:
            ended = upload();
            break;
        case Kind::Delete:
            ended = remove();
            break;
        case Kind::List:
            ended = list();
            break;
        case Kind::Firmware:
            ended = firmware();
            break;
        }
        m_faults->endOperation();
        ++m_ops;
        const double ms = double(timer.elapsed());
        m_meanMs[kind] = m_meanMs.count(kind) ? 0.8 * m_meanMs[kind] + 0.2 * ms : ms;

        if (!ended) {
            hang(QStringLiteral("still busy after %1 s (silent command %2, vanish %3)")
                     .arg(kOperationDeadlineMs / 1000)
                     .arg(silent)
                     .arg(vanishAfter ? QString::number(vanishAfter->count()) + " ms"
                                      : QStringLiteral("no")));
            m_window->on_abortButton_clicked();
            if (!waitIdle(30000)) {
                std::fprintf(stderr, "soak: the window stays busy; stopping\n");
                stopped = true;
                break;
            }
        }
        if (m_opProblem)
            ++m_corrupted;
        if (m_options.verbose) {
            std::fprintf(stderr, "soak: op %d %s %.0f ms faults=%d/%d/%d/%d/%d boxes=[%s]\n",
                         m_opIndex, kindName(kind), ms, fc.corrupted - faultsBefore[0],
                         fc.repeatRequests - faultsBefore[1], fc.droppedBytes - faultsBefore[2],
                         fc.silentReplies - faultsBefore[3], fc.vanishes - faultsBefore[4],
                         qPrintable(m_boxes->texts().join(QLatin1Char('|')).replace('\n', ' ')));
        }
        // A recorder unplugged near the end of an operation may come back
        // before the connection poll noticed; the window must see that
        // first, or the next operation inherits a dead handle.
        if (m_faults->counts().vanishes != faultsBefore[4])
            QTest::qWait(kNoticeUnplugMs);
        if (!settle()) {
            hang(QStringLiteral("the window did not list the recorder again within %1 s")
                     .arg((kSettleDeadlineMs + 8000) / 1000));
            stopped = true;
        }
    }

    const FaultDriver::Counts& c = m_faults->counts();
    std::fprintf(stderr,
                 "soak: faults corrupted_bytes=%d repeat_requests=%d dropped_bytes=%d "
                 "silent_replies=%d vanishes=%d\n",
                 c.corrupted.load(), c.repeatRequests.load(), c.droppedBytes.load(),
                 c.silentReplies.load(), c.vanishes.load());
    for (const auto& [kind, counts] : m_byKind)
        std::fprintf(stderr, "soak: %s ok=%d failed=%d\n", kindName(kind), counts.first,
                     counts.second);
    printLine();

    m_faults.reset();
    m_window.reset();
    m_boxes.reset();
    sim::Bus::instance().uninstall();
    return m_hangs == 0 && m_corrupted == 0 ? 0 : 1;
}

} // namespace

int run(const Options& options)
{
    Soak soak(options);
    return soak.run();
}

} // namespace soak
