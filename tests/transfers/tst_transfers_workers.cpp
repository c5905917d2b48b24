// The workers on a host of their own, without the window: they reach only
// what the host gives them and hand their results back as values.
#include "devicecontentupdater.h"
#include "devicesdiscoverer.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "mztfilesdeleter.h"
#include "mztfilesdownloader.h"
#include "mztfilesuploader.h"
#include "mztfileuploadchecker.h"
#include "recorder_session.h"
#include "simbus.h"
#include "simulator.h"
#include "testrecords.h"
#include "workerhost.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

QByteArray sequenceFile(int id, int size)
{
    return sim::makeFile(std::uint32_t(id), 1, std::size_t(size), 61000);
}

// A host made of plain objects: a master and link on the simulated bus, an
// archive, a combo box and a selection set by the test.
class BareHost : public mzt::WorkerHost {
public:
    explicit BareHost(const std::vector<sim::DeviceConfig>& devices)
    {
        recorders = sim::Bus::instance().install(devices);
        core::attachLink(&m_master, &m_link);
        m_master.connectLink();
    }
    ~BareHost()
    {
        m_master.stopAndReset();
        sim::Bus::instance().uninstall();
    }

    KVPMaster* master() const override { return &m_master; }
    KVPmPhyUSB* link() const override { return &m_link; }
    MZTArchive* archive() const override { return withArchive ? &m_archive : nullptr; }
    QList<mzt::SelectedCell> selectedCells(mzt::TransferTable table) const override
    {
        return table == mzt::TransferTable::Device ? deviceSelection : archiveSelection;
    }
    QComboBox* devicesCombo() const override { return &combo; }
    void clearDeviceTable() override { ++tableClears; }

    // Whole rows of these files: the name cells first, as a table gives them.
    static QList<mzt::SelectedCell> rows(const QList<QPair<int, QString>>& files)
    {
        QList<mzt::SelectedCell> cells;
        for (int column = 0; column < 3; ++column)
            for (int row = 0; row < files.size(); ++row)
                cells.append(
                    {column, row, files[row].first, column == 0 ? files[row].second : QString()});
        return cells;
    }

    std::vector<std::shared_ptr<sim::Recorder>> recorders;
    QList<mzt::SelectedCell> deviceSelection;
    QList<mzt::SelectedCell> archiveSelection;
    bool withArchive = true;
    int tableClears = 0;
    mutable QComboBox combo;

private:
    mutable KVPmPhyUSB m_link;
    mutable KVPMaster m_master;
    mutable MZTArchive m_archive {QString(), nullptr};
};

// Starts through the worker's own start(), which takes what the run needs
// from the host.
template <typename Worker> bool runToEnd(Worker& worker)
{
    // The signal spies record the run's direct emissions on the worker's
    // thread. finished() comes after the last of them on that thread; the
    // flag it sets (release, read back with acquire) is what orders those
    // records before this thread reads them. QThread::wait() alone does not
    // show that order to the race detector: its mutex is QtCore's own.
    std::atomic<bool> ended {false};
    const QMetaObject::Connection connection = QObject::connect(
        &worker, &QThread::finished, &worker,
        [&ended] { ended.store(true, std::memory_order_release); }, Qt::DirectConnection);
    worker.start();
    const bool finished =
        QTest::qWaitFor([&ended] { return ended.load(std::memory_order_acquire); }, 30000);
    QObject::disconnect(connection);
    if (!finished)
        return false;
    worker.wait();
    // Results posted by the run reach the GUI thread at its next turn.
    QCoreApplication::processEvents();
    return true;
}

} // namespace

class TestWorkers : public SimBusTest {
    Q_OBJECT

private slots:
    void listingHandsTheContentBackAsAValue()
    {
        sim::DeviceConfig config = sim::DeviceConfig::recorder();
        config.files = {{3, sequenceFile(3, 3000)},
                        {5, sequenceFile(5, 500)},
                        {sim::kSettingsFileNumber, sim::makeFile(0, 0, 1000, 0)}};
        BareHost host({config});
        DeviceContentUpdater updater;
        updater.setHost(&host);
        QSignalSpy listed(&updater, &DeviceContentUpdater::contentListed);
        QSignalSpy raw(&updater, &DeviceContentUpdater::newContent);
        QVERIFY(runToEnd(updater));

        QCOMPARE(host.tableClears, 1);
        QCOMPARE(listed.size(), 1);
        const auto content = listed.at(0).at(0).value<core::Content>();
        QVERIFY(content.result.ok());
        QList<quint32> ids;
        for (const ContentRecord& record : content.records)
            ids << record.id;
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<quint32> {0, 3, 5}));
        // The raw list is the same bytes, for receivers that decode it.
        QCOMPARE(raw.size(), 1);
        const int length = raw.at(0).at(1).toInt();
        QCOMPARE(length, int(content.records.size()) * ContentRecord::Size);
        QCOMPARE(QByteArray(static_cast<const char*>(raw.at(0).at(0).value<void*>()), length),
                 content.list);
    }

    void discoveryFillsTheHostsComboOrTheOneItIsGiven()
    {
        BareHost host({sim::DeviceConfig::recorder(), sim::DeviceConfig::recorder()});
        host.combo.addItem(QStringLiteral("stale"));
        {
            DevicesDiscoverer discoverer;
            discoverer.setHost(&host);
            QVERIFY(runToEnd(discoverer));
            QCOMPARE(host.combo.count(), 2);
            QCOMPARE(host.combo.itemText(1), QStringLiteral("MZT-500 #2"));
            QCOMPARE(host.combo.itemData(1).toInt(), 1);
        }
        DevicesDiscoverer discoverer;
        discoverer.setHost(&host);
        QComboBox own;
        discoverer.setComboBox(&own);
        QVERIFY(runToEnd(discoverer));
        QCOMPARE(own.count(), 2);
        QCOMPARE(host.combo.count(), 2);
    }

    void transfersWorkOnTheSelectionTakenAtTheStart()
    {
        sim::DeviceConfig config = sim::DeviceConfig::recorder();
        config.files = {{3, sequenceFile(3, 3000)}, {5, sequenceFile(5, 700)}};
        BareHost host({config});

        // Download: the selection is read when the run starts; changing it
        // afterwards changes nothing.
        MZTFilesDownLoader downLoader;
        downLoader.setHost(&host);
        host.deviceSelection = BareHost::rows(
            {{3, QStringLiteral("SEQUENCE 03")}, {5, QStringLiteral("SEQUENCE 05")}});
        downLoader.start();
        host.deviceSelection.clear();
        QVERIFY(QTest::qWaitFor([&] { return downLoader.isFinished(); }, 30000));
        QCoreApplication::processEvents();
        downLoader.acquireResults();
        QCOMPARE(host.archive()->entries().size(), 2);
        QCOMPARE(core::lastEntryWithId(host.archive(), 5)->content(),
                 host.recorders[0]->file(5).value());

        // Check and upload of a new entry beside one the recorder holds.
        host.archive()->addEntry(
            testcommon::entryFor(QStringLiteral("SEQUENCE 07"), sequenceFile(7, 400)));
        host.archiveSelection = BareHost::rows(
            {{5, QStringLiteral("SEQUENCE 05")}, {7, QStringLiteral("SEQUENCE 07")}});
        MZTFileUpLoadChecker checker;
        checker.setHost(&host);
        QSignalSpy done(&checker, &MZTFileUpLoadChecker::done);
        QVERIFY(runToEnd(checker));
        checker.acquireResults();
        QCOMPARE(done.size(), 1);
        QVERIFY(done.at(0).at(0).toBool());
        QVERIFY(done.at(0).at(1).toBool());
        QCOMPARE(*done.at(0).at(2).value<QStringList*>(), QStringList {"SEQUENCE 05"});

        MZTFilesUpLoader upLoader;
        upLoader.setHost(&host);
        QSignalSpy uploadFailed(&upLoader, &MZTFilesUpLoader::failed);
        QVERIFY(runToEnd(upLoader));
        QCOMPARE(uploadFailed.size(), 0);
        QCOMPARE(host.recorders[0]->file(7).value(), sequenceFile(7, 400));

        MZTFilesDeleter deleter;
        deleter.setHost(&host);
        host.deviceSelection = BareHost::rows({{3, QStringLiteral("SEQUENCE 03")}});
        QSignalSpy deleteFailed(&deleter, &MZTFilesDeleter::failed);
        QVERIFY(runToEnd(deleter));
        QCOMPARE(deleteFailed.size(), 0);
        QVERIFY(!host.recorders[0]->file(3));
        QVERIFY(host.recorders[0]->file(5));
    }

    void withoutAHostOrArchiveTheRunsFailAndTouchNothing()
    {
        sim::DeviceConfig config = sim::DeviceConfig::recorder();
        config.files = {{3, sequenceFile(3, 300)}};
        BareHost host({config});
        host.withArchive = false;
        host.deviceSelection = BareHost::rows({{3, QStringLiteral("SEQUENCE 03")}});
        host.archiveSelection = host.deviceSelection;

        MZTFilesDownLoader downLoader;
        QSignalSpy downloadFailed(&downLoader, &MZTFilesDownLoader::failed);
        QVERIFY(runToEnd(downLoader));
        downLoader.setHost(&host);
        QVERIFY(runToEnd(downLoader));
        QCOMPARE(downloadFailed.size(), 2);

        MZTFileUpLoadChecker checker;
        checker.setHost(&host);
        QSignalSpy done(&checker, &MZTFileUpLoadChecker::done);
        QVERIFY(runToEnd(checker));
        QCOMPARE(done.size(), 1);
        QVERIFY(!done.at(0).at(0).toBool());
        QVERIFY(!done.at(0).at(2).value<QStringList*>());

        MZTFilesDeleter deleter;
        QSignalSpy deleteFailed(&deleter, &MZTFilesDeleter::failed);
        QVERIFY(runToEnd(deleter));
        QCOMPARE(deleteFailed.size(), 1);
        QVERIFY(host.recorders[0]->file(3));

        DeviceContentUpdater updater;
        QSignalSpy listed(&updater, &DeviceContentUpdater::contentListed);
        QVERIFY(runToEnd(updater));
        QCOMPARE(listed.size(), 0);
        QCOMPARE(host.tableClears, 0);
    }
};

QTEST_MAIN(TestWorkers)
#include "tst_transfers_workers.moc"
