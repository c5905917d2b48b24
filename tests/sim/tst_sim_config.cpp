// Simulator configuration: the demo recorder, recorder files, the JSON format
// and MZT500_SIMULATOR.
#include "simtest.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <set>

using namespace sim;

class TestSimConfig : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        qunsetenv("MZT500_SIMULATOR");
        Bus::instance().uninstall();
    }

    void filesStartWithTheirRecord()
    {
        QCOMPARE(memorySizeOf(16), 1024u);
        QCOMPARE(memorySizeOf(1008), 1024u);
        QCOMPARE(memorySizeOf(1024), 2048u);
        QCOMPARE(memorySizeOf(3000), 3072u);
        const QByteArray f = makeFile(12, 1, 5000, 3725400);
        QCOMPARE(f.size(), 5000);
        QCOMPARE(u32At(f, 0), 12u);
        QCOMPARE(u32At(f, 4), 1u);
        QCOMPARE(u32At(f, 8), memorySizeOf(5000));
        QCOMPARE(u32At(f, 12), 3725400u);
        QCOMPARE(makeFile(12, 1, 5000, 3725400), f); // the same pattern every time
        QVERIFY(makeFile(13, 1, 5000, 3725400).mid(16) != f.mid(16));
        QCOMPARE(fileNumberOf(0), std::uint16_t(120));
        QVERIFY(isValidFileNumber(120) && isValidFileNumber(1) && isValidFileNumber(64));
        QVERIFY(!isValidFileNumber(0) && !isValidFileNumber(65) && !isValidFileNumber(119));
    }

    void demoRecorderHoldsSettingsAndADozenSequences()
    {
        const DeviceConfig demo = demoRecorder();
        QCOMPARE(demo.description, std::string("KORVANT KVP-DEV"));
        QCOMPARE(demo.model, std::string("MZT-500"));
        QCOMPARE(demo.files.size(), std::size_t(13));
        QVERIFY(demo.files.count(120));
        QCOMPARE(u32At(demo.files.at(120), 4), 0u);
        qsizetype smallest = 1 << 30, largest = 0;
        std::set<std::uint32_t> durations;
        for (const auto& [number, content] : demo.files) {
            QCOMPARE(u32At(content, 0), number == 120 ? 0u : std::uint32_t(number));
            if (number == 120)
                continue;
            QCOMPARE(u32At(content, 4), 1u);
            smallest = std::min(smallest, content.size());
            largest = std::max(largest, content.size());
            durations.insert(u32At(content, 12));
        }
        QCOMPARE(smallest, qsizetype(16));
        QVERIFY(largest > 1024 * 1024);
        QVERIFY(durations.size() >= 10);
    }

    void readsDevicesFromJson()
    {
        const QByteArray json = R"({"devices": [
            {"kind": "dongle", "serial": "DG1", "softwareVersion": "1.1",
             "hardwareVersion": 513, "maxFrameSize": 200, "model": "MZT-500X",
             "pollBudget": 3, "deleteDurationMs": 50, "timing": "wire", "turnaroundUs": 250,
             "transferMode": true, "refuseTransferMode": true, "replyAddress": 255,
             "repeatedFrames": "takeAsNew",
             "files": [{"id": 0, "size": 100}, {"id": 3, "size": 40, "durationMs": 9000,
                        "memorySize": 5000},
                       {"id": 4, "data": "BAAAAAEAAAAABAAAECcAAA=="}],
             "faults": {"seed": 5, "corruptProbability": 0.5, "dropAtFrame": 2,
                        "statusCommand": 9, "status": 9, "statusCount": 3,
                        "silentCommand": 16, "silentCount": 2, "vanishAfterBytes": 1000,
                        "vanishAtCommand": 4, "deletionError": 7, "faultOffset": 3}},
            {"kind": "foreign"},
            {"description": "KORVANT KVP-DEV", "serial": "R2", "answering": false}
        ]})";
        QString error;
        const auto devices = parseConfig(json, &error);
        QVERIFY2(devices, qPrintable(error));
        QCOMPARE(devices->size(), std::size_t(3));
        const DeviceConfig& d = (*devices)[0];
        QCOMPARE(d.kind, Kind::Dongle);
        QCOMPARE(d.description, std::string("KORVANT KVP-DGL"));
        QCOMPARE(d.softwareVersion, std::uint16_t(0x0101));
        QCOMPARE(d.hardwareVersion, std::uint16_t(0x0201));
        QCOMPARE(d.maxFrameSize, std::uint16_t(200));
        QCOMPARE(d.model, std::string("MZT-500X"));
        QCOMPARE(d.pollBudget, 3u);
        QCOMPARE(d.deleteDurationMs, 50);
        QCOMPARE(d.timing, Timing::Wire);
        QCOMPARE(d.turnaroundUs, 250);
        QVERIFY(d.transferMode && d.refuseTransferMode);
        QCOMPARE(d.replyAddress, std::uint8_t(255));
        QCOMPARE(d.repeatedFrames, RepeatedFrames::TakenAsNew);
        QCOMPARE((*devices)[2].repeatedFrames, RepeatedFrames::Recognised);
        QVERIFY(!parseConfig(R"({"repeatedFrames": "ignore"})", &error));
        QVERIFY(error.contains(QLatin1String("repeatedFrames")));
        QCOMPARE(d.files.size(), std::size_t(3));
        QCOMPARE(d.files.at(120).size(), 100);
        QCOMPARE(u32At(d.files.at(3), 8), 5000u);
        QCOMPARE(u32At(d.files.at(3), 12), 9000u);
        QCOMPARE(u32At(d.files.at(4), 12), 10000u);
        QCOMPARE(d.faults.seed, std::uint64_t(5));
        QCOMPARE(d.faults.corruptProbability, 0.5);
        QCOMPARE(d.faults.dropAtFrame, 2);
        QCOMPARE(d.faults.statusCommand, 9);
        QCOMPARE(d.faults.status, std::uint8_t(9));
        QCOMPARE(d.faults.statusCount, 3);
        QCOMPARE(d.faults.silentCommand, 16);
        QCOMPARE(d.faults.silentCount, 2);
        QCOMPARE(d.faults.vanishAfterBytes, 1000LL);
        QCOMPARE(d.faults.vanishAtCommand, 4);
        QCOMPARE(d.faults.deletionError, std::uint16_t(7));
        QCOMPARE(d.faults.faultOffset, 3);
        QCOMPARE((*devices)[1].kind, Kind::Foreign);
        QVERIFY(!(*devices)[1].answering);
        QVERIFY(!(*devices)[2].answering);
        QCOMPARE((*devices)[2].kind, Kind::Recorder);

        // A single device object is a configuration too.
        const auto one = parseConfig(R"({"files": "demo"})", &error);
        QVERIFY(one && one->size() == 1 && one->front().files.size() == 13);
    }

    void rejectsMistakes_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("not json") << QByteArray("{devices");
        QTest::newRow("unknown key") << QByteArray(R"({"maxFramesize": 80})");
        QTest::newRow("unknown fault") << QByteArray(R"({"faults": {"silent": 16}})");
        QTest::newRow("kind") << QByteArray(R"({"kind": "printer"})");
        QTest::newRow("timing") << QByteArray(R"({"timing": "slow"})");
        QTest::newRow("version") << QByteArray(R"({"softwareVersion": "1.2.3"})");
        QTest::newRow("frame size") << QByteArray(R"({"maxFrameSize": 10})");
        QTest::newRow("file id") << QByteArray(R"({"files": [{"id": 65}]})");
        QTest::newRow("short data") << QByteArray(R"({"files": [{"id": 1, "data": "AAAA"}]})");
        QTest::newRow("probability") << QByteArray(R"({"faults": {"dropProbability": 2}})");
        QTest::newRow("device") << QByteArray(R"([1, 2])");
        QTest::newRow("presence path") << QByteArray(R"({"presentWhile": ""})");
    }

    void rejectsMistakes()
    {
        QFETCH(QByteArray, json);
        QString error;
        QVERIFY(!parseConfig(json, &error));
        QVERIFY(!error.isEmpty());
    }

    void readmeExampleIsValid()
    {
        QFile readme(QStringLiteral(MZT_SIM_README));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QByteArray text = readme.readAll();
        const qsizetype from = text.indexOf("```json\n") + 8;
        const qsizetype to = text.indexOf("```", from);
        QVERIFY(from > 8 && to > from);
        QString error;
        const auto devices = parseConfig(text.mid(from, to - from), &error);
        QVERIFY2(devices, qPrintable(error));
        QCOMPARE(devices->size(), std::size_t(3));
    }

    void followsTheEnvironment()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sim.json");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"([{"serial": "A1"}, {"kind": "foreign", "serial": "F1"},
                    {"kind": "dongle", "serial": "D1", "softwareVersion": "1.1"}])");
        f.close();

        Bus::instance().uninstall();
        qputenv("MZT500_SIMULATOR", path.toLocal8Bit());
        DWORD count = 0;
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(3));
        FT_DEVICE_LIST_INFO_NODE nodes[3];
        QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_OK);
        QCOMPARE(QByteArray(nodes[0].Description), QByteArray("KORVANT KVP-DEV"));
        QCOMPARE(QByteArray(nodes[0].SerialNumber), QByteArray("A1"));
        QCOMPARE(QByteArray(nodes[1].Description), QByteArray("FT232R USB UART"));
        QCOMPARE(QByteArray(nodes[2].Description), QByteArray("KORVANT KVP-DGL"));
        QCOMPARE(nodes[2].ID, 0x04036001u);
        {
            D2xxPort dongle(2);
            const auto info = dongle.host().deviceInfo();
            QVERIFY(info);
            QCOMPARE(u16At(*info, 4), 0x0101);
            D2xxPort foreign(1);
            QVERIFY(!foreign.host().deviceInfo(100));
            // Opening an open device fails, as with D2XX.
            FT_HANDLE h = nullptr;
            QVERIFY(FT_Open(2, &h) != FT_OK);
        }

        Bus::instance().uninstall();
        qputenv("MZT500_SIMULATOR", "demo");
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(1));
        QCOMPARE(Bus::instance().device(0)->files().size(), std::size_t(13));

        // A configuration that cannot be read: simulating, with no devices.
        Bus::instance().uninstall();
        qputenv("MZT500_SIMULATOR", QFile::encodeName(dir.filePath("missing.json")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("simulator configuration not loaded"));
        QVERIFY(Bus::instance().active());
        QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
        QCOMPARE(count, DWORD(0));
    }
};

QTEST_GUILESS_MAIN(TestSimConfig)
#include "tst_sim_config.moc"
