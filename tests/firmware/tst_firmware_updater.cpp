// FwUpdater against the simulated recorder.
#include "builtinimage.h"
#include "fwupdater.h"
#include "kv2testfiles.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "simulator.h"
#include "updateimage.h"

#include <QtTest>

#include <atomic>
#include <memory>

Q_DECLARE_METATYPE(sim::RepeatedFrames)

namespace {

sim::DeviceConfig recorder(std::uint16_t maxFrameSize = 2048, const std::string& model = "MZT-500")
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.maxFrameSize = maxFrameSize;
    c.model = model;
    return c;
}

// The master and link as the main window holds them, and an updater on them.
// Outcome signals are observed in the worker thread, where they are emitted:
// the reply time-out in force at that moment is recorded, and the worker is
// held until the GUI thread has handled every progress report queued before
// the outcome, so the recorded progress does not depend on thread timing.
struct Rig {
    KVPmPhyUSB link;
    KVPMaster master;
    FwUpdater updater;
    QObject gui;
    std::atomic<int> timeoutAtOutcome {-1};
    std::atomic<int> successes {0};
    std::atomic<int> failures {0};
    QList<int> progress;

    Rig()
    {
        master.attachLink(&link);
        master.setTimeout(1000);
        updater.attach(&master, &link);
        auto atOutcome = [this](std::atomic<int>* counter) {
            timeoutAtOutcome = master.getTimeout();
            if (QThread::currentThread() != gui.thread())
                QMetaObject::invokeMethod(
                    &gui, [] {}, Qt::BlockingQueuedConnection);
            ++*counter;
        };
        QObject::connect(
            &updater, &FwUpdater::success, &gui, [=, this] { atOutcome(&successes); },
            Qt::DirectConnection);
        QObject::connect(
            &updater, &FwUpdater::failed, &gui, [=, this] { atOutcome(&failures); },
            Qt::DirectConnection);
        QObject::connect(&updater, &FwUpdater::progress, &gui, [this](int p) { progress << p; });
    }
    ~Rig()
    {
        updater.wait();
        master.stopAndReset();
    }

    // Runs one update; true on success().
    bool run(UpdateImage* image, int deviceIndex)
    {
        successes = 0;
        failures = 0;
        progress.clear();
        updater.setImage(image);
        updater.setDeviceIndex(deviceIndex);
        updater.start();
        if (!QTest::qWaitFor([this] { return successes + failures > 0; }, 60000))
            qFatal("update did not end");
        updater.wait();
        QCoreApplication::processEvents();
        if (successes + failures != 1)
            qFatal("more than one outcome");
        return successes == 1;
    }
};

QList<int> sectionParameters(const sim::Recorder& r)
{
    QList<int> params;
    for (const sim::Frame& f : r.receivedFrames()) {
        if (f.command == 4 && (f.flags & 0x08) && f.type == 0)
            params << f.parameter;
    }
    return params;
}

} // namespace

class TestUpdater : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void builtInImageEndToEnd();
    void progressBookkeeping();
    void refusedBeforeSending();
    void zeroSections();
    void sectionFailures_data();
    void sectionFailures();
    void vanishBeforeLastSectionThenRetry();
    void secondRecorderOnly();
};

void TestUpdater::cleanup()
{
    sim::Bus::instance().uninstall();
}

void TestUpdater::builtInImageEndToEnd()
{
    auto devs = sim::Bus::instance().install({recorder()});
    UpdateImage image;
    QVERIFY(image.load(builtInImagePath()));
    Rig rig;
    QVERIFY(rig.run(&image, 0));
    QCOMPARE(rig.timeoutAtOutcome.load(), 1000);
    QCOMPARE(rig.master.getTimeout(), 1000);
    QVERIFY(!rig.progress.isEmpty());
    QCOMPARE(rig.progress.last(), 100);

    const sim::FirmwareReceipt fw = devs[0]->firmware();
    QVERIFY(fw.complete);
    QVERIFY(fw.checksumOk);
    QCOMPARE(fw.header, QByteArray(image.headerBlock()->data(), 256));
    QCOMPARE(int(fw.sections.size()), 2);
    QCOMPARE(fw.sections[0], image.section(0)->toByteArray());
    QCOMPARE(fw.sections[1], image.section(1)->toByteArray());
    QCOMPARE(sectionParameters(*devs[0]), QList<int>({0, 1}));
    // An update does not switch the recorder into transfer mode.
    for (const sim::Frame& f : devs[0]->receivedFrames())
        QVERIFY(f.command != 18);
}

void TestUpdater::progressBookkeeping()
{
    // 80-byte frames: the header goes in four frames of 64 bytes, section 0
    // (512 bytes) in eight, section 1 (768 bytes) in twelve. The header's
    // own progress moves the counter on by one section, so its values use
    // section 0's size, section 0's values use section 1's size, and section
    // 1's values use 1 byte. Total 256 + 512 + 768 = 1536.
    auto devs = sim::Bus::instance().install({recorder(80)});
    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeKv2File("MZT-500", {512, 768})));
    Rig rig;
    QVERIFY(rig.run(&image, 0));
    const QList<int> expected = {
        // header at 50, 75, 100 %: (p * 512 / 100) * 100 / 1536
        16, 25, 33,
        // section 0 at 25, 37, 50, 62, 75, 87, 100 %: (p * 768 / 100 + 512) * 100 / 1536
        45, 51, 58, 64, 70, 76, 83,
        // section 1, eleven reports: (p * 1 / 100 + 1280) * 100 / 1536
        83, 83, 83, 83, 83, 83, 83, 83, 83, 83, 83,
        // the completed update
        100};
    QCOMPARE(rig.progress, expected);
}

void TestUpdater::refusedBeforeSending()
{
    auto devs = sim::Bus::instance().install({recorder(2048, "MZT-600")});
    UpdateImage image;
    QVERIFY(image.load(builtInImagePath()));
    Rig rig;

    // No recorder chosen: nothing is sent, the time-out is never touched.
    QVERIFY(!rig.run(&image, -1));
    QCOMPARE(rig.timeoutAtOutcome.load(), 1000);
    QVERIFY(devs[0]->receivedFrames().empty());

    // No image.
    QVERIFY(!rig.run(nullptr, 0));
    QVERIFY(devs[0]->receivedFrames().empty());

    // Another model: identification only, time-out restored.
    QVERIFY(!rig.run(&image, 0));
    QCOMPARE(rig.timeoutAtOutcome.load(), 1000);
    QCOMPARE(rig.master.getTimeout(), 1000);
    for (const sim::Frame& f : devs[0]->receivedFrames())
        QCOMPARE(int(f.command), 1);
    QVERIFY(!devs[0]->receivedFrames().empty());

    // A recorder index that is not listed.
    QVERIFY(!rig.run(&image, 5));
    QCOMPARE(rig.master.getTimeout(), 1000);
}

void TestUpdater::zeroSections()
{
    auto devs = sim::Bus::instance().install({recorder()});
    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeKv2File("MZT-500", {})));
    Rig rig;
    QVERIFY(rig.run(&image, 0));
    QVERIFY(devs[0]->firmware().complete);
    QCOMPARE(devs[0]->firmware().header.size(), 256);
    QVERIFY(sectionParameters(*devs[0]).isEmpty());
}

void TestUpdater::sectionFailures_data()
{
    // Frames the recorder takes in: 0 identification, 1-4 header (80-byte
    // frames), 5-12 section 0, 13-24 section 1.
    QTest::addColumn<int>("maxFrameSize");
    QTest::addColumn<int>("dropAt");
    QTest::addColumn<int>("errorAt");
    QTest::addColumn<bool>("success");
    QTest::addColumn<sim::RepeatedFrames>("repeated");

    // A reply lost anywhere but after the update's very last frame fails the
    // update: the recorder took the frame in, and sending it again could
    // leave a section with its data twice.
    for (sim::RepeatedFrames repeated : sim::kRepeatedFrameBehaviours) {
        const char* name = sim::nameOf(repeated);
        QTest::addRow("header refused, %s", name) << 80 << -1 << 2 << false << repeated;
        QTest::addRow("first section refused, %s", name) << 80 << -1 << 5 << false << repeated;
        QTest::addRow("first section, one reply lost, %s", name)
            << 80 << 8 << -1 << false << repeated;
        QTest::addRow("last section, error on its final frame, %s", name)
            << 80 << -1 << 24 << false << repeated;
        QTest::addRow("last section, middle reply lost, %s", name)
            << 80 << 18 << -1 << false << repeated;
        // The recorder may restart into the new firmware without answering.
        QTest::addRow("last section, final frame unanswered, %s", name)
            << 80 << 24 << -1 << true << repeated;
        // 300-byte frames: header in frame 1, section 0 in frames 2-3 (two
        // frames of 284 and 228 bytes), section 1 (256 bytes) alone in frame 4.
        QTest::addRow("single-frame last section unanswered, %s", name)
            << 300 << 4 << -1 << true << repeated;
    }
}

void TestUpdater::sectionFailures()
{
    QFETCH(int, maxFrameSize);
    QFETCH(int, dropAt);
    QFETCH(int, errorAt);
    QFETCH(bool, success);
    QFETCH(sim::RepeatedFrames, repeated);

    const QList<int> sizes = maxFrameSize == 80 ? QList<int> {512, 768} : QList<int> {512, 256};
    sim::DeviceConfig config = recorder(std::uint16_t(maxFrameSize));
    config.repeatedFrames = repeated;
    auto devs = sim::Bus::instance().install({config});
    sim::Faults faults;
    faults.dropAtFrame = dropAt;
    faults.statusAtFrame = errorAt;
    faults.status = 5;
    devs[0]->setFaults(faults);

    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeKv2File("MZT-500", sizes)));
    Rig rig;
    QCOMPARE(rig.run(&image, 0), success);
    QCOMPARE(rig.timeoutAtOutcome.load(), 1000);
    QCOMPARE(rig.master.getTimeout(), 1000);
    if (success) {
        QCOMPARE(rig.progress.last(), 100);
        // Reported as done only with the firmware whole on the recorder.
        QVERIFY(devs[0]->firmware().complete);
        QVERIFY(devs[0]->firmware().checksumOk);
        QVERIFY(rig.updater.failureReason().isEmpty());
        return;
    }
    QVERIFY(!rig.progress.contains(100));
    QVERIFY2(rig.updater.failureReason().contains(QLatin1String("Start the update again")),
             qPrintable(rig.updater.failureReason()));
    // Started again, the update arrives whole.
    devs[0]->clearFaults();
    QVERIFY(rig.run(&image, 0));
    QVERIFY(devs[0]->firmware().complete);
    QVERIFY(devs[0]->firmware().checksumOk);
    QCOMPARE(int(devs[0]->firmware().sections.size()), sizes.size());
}

void TestUpdater::vanishBeforeLastSectionThenRetry()
{
    auto devs = sim::Bus::instance().install({recorder(80)});
    sim::Faults faults;
    // Identification (64 bytes) and the 12 status replies of the header
    // and section 0 (15 bytes each): the recorder goes as section 1 starts.
    faults.vanishAfterBytes = 64 + 12 * 15;
    devs[0]->setFaults(faults);

    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeKv2File("MZT-500", {512, 768})));
    Rig rig;
    QVERIFY(!rig.run(&image, 0));
    QCOMPARE(rig.master.getTimeout(), 1000);
    QVERIFY(!devs[0]->firmware().complete);

    devs[0]->clearFaults();
    devs[0]->reappear();
    QVERIFY(rig.run(&image, 0));
    QVERIFY(devs[0]->firmware().complete);
    QVERIFY(devs[0]->firmware().checksumOk);
}

void TestUpdater::secondRecorderOnly()
{
    auto devs = sim::Bus::instance().install({recorder(), recorder()});
    UpdateImage image;
    QVERIFY(image.load(builtInImagePath()));
    Rig rig;
    QVERIFY(rig.run(&image, 1));
    QVERIFY(devs[1]->firmware().complete);
    QVERIFY(devs[0]->firmware().header.isEmpty());
    QVERIFY(devs[0]->receivedFrames().empty());
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_firmware_updater.moc"
