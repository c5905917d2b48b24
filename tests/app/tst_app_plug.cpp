// Recorders plugged in and unplugged while the window is open: listed
// without "Discover devices", the chosen one kept, a line about what came
// and went, and nothing changed under a transfer.
#include "apptest.h"
#include "devicesdiscoverer.h"
#include "simbus.h"

#include <QFile>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>

using namespace apptest;

namespace {

constexpr int kGenerous = 20000;

sim::DeviceConfig recorder(const char* serial, int sequences, const QString& presentWhile = {})
{
    sim::DeviceConfig c = recorderWithFiles(sequences);
    c.serial = serial;
    c.presentWhile = presentWhile.toStdString();
    return c;
}

bool touch(const QString& path)
{
    return QFile(path).open(QIODevice::WriteOnly);
}

QString chosenSerial(const MainWindow& w)
{
    return w.ui()->devicesCombo->currentData(DevicesDiscoverer::SerialRole).toString();
}

QString statusLine(const MainWindow& w)
{
    return w.statusBar()->currentMessage();
}

} // namespace

class TestPlug : public SimBusTest {
    Q_OBJECT

private slots:
    void init() { clearSettings(); }

    // Plugged in: listed; another plugged in or unplugged: the chosen
    // recorder stays chosen; the chosen one unplugged: the next is shown.
    void recordersComeAndGoTheChosenOneStays()
    {
        QTemporaryDir dir;
        const QString second = dir.filePath("kv2"), third = dir.filePath("kv3");
        auto recs = install({recorder("KV000001", 1), recorder("KV000002", 2, second),
                             recorder("KV000003", 3, third)});
        MainWindow w;
        QVERIFY(waitSettled(w, 2));
        QCOMPARE(comboTexts(w.ui()->devicesCombo), QStringList {"MZT-500 #1"});

        QVERIFY(touch(second));
        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->devicesCombo->count(), 2, kGenerous);
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000002 was plugged in."),
                                  kGenerous);
        QVERIFY(waitSettled(w, 2));
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000001"));

        w.ui()->devicesCombo->setCurrentIndex(1);
        QVERIFY(waitSettled(w, 3));
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000002"));

        QVERIFY(touch(third));
        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->devicesCombo->count(), 3, kGenerous);
        QVERIFY(waitSettled(w, 3));
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000002"));

        recs[0]->vanish();
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000001 was unplugged."),
                                  kGenerous);
        QVERIFY(waitSettled(w, 3));
        QCOMPARE(w.ui()->devicesCombo->count(), 2);
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000002"));
        QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), kGenerous);

        // The chosen one goes: the one left is shown.
        QVERIFY(QFile::remove(second));
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000002 was unplugged."),
                                  kGenerous);
        QVERIFY(waitSettled(w, 4));
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000003"));
    }

    // The last recorder unplugged: the table empties and the label says
    // none is there, without a poll having to fail first.
    void theLastRecorderUnplugged()
    {
        QTemporaryDir dir;
        const QString only = dir.filePath("kv1");
        QVERIFY(touch(only));
        install({recorder("KV000001", 2, only)});
        MainWindow w;
        QVERIFY(waitSettled(w, 3));
        QVERIFY(QFile::remove(only));
        QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), QStringLiteral("KV000001 was unplugged."),
                                  kGenerous);
        QVERIFY(waitSettled(w, 0));
        QCOMPARE(w.ui()->devicesCombo->count(), 0);
        QVERIFY(w.ui()->devLabel->text().startsWith(QLatin1String("No recorder found.")));
        QVERIFY(!w.isConnected());
    }

    // A recorder plugged in during a download is listed once it has ended:
    // until then the list, the choice and the table stay as they are.
    void nothingChangesUnderATransfer()
    {
        QTemporaryDir dir;
        const QString second = dir.filePath("kv2");
        sim::DeviceConfig slow = recorderWithSlowTransfers();
        slow.serial = "KV000001";
        install({slow, recorder("KV000002", 2, second)});
        MainWindow w;
        QVERIFY(waitSettled(w, 4, 30000));
        QVERIFY(waitIdleAndConnected(w));

        startSlowDownload(w);
        // The transfer runs while its Cancel button shows.
        const QWidget* cancel = w.ui()->abortButton;
        QVERIFY(!cancel->isHidden());
        QVERIFY(touch(second));
        bool changedWhileBusy = false;
        while (!cancel->isHidden()) {
            changedWhileBusy |=
                w.ui()->devicesCombo->count() != 1 || chosenSerial(w) != QLatin1String("KV000001");
            QTest::qWait(10);
        }
        QVERIFY(!changedWhileBusy);
        // The download ended whole.
        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->archTable->rowCount(), 3, kGenerous);

        QTRY_COMPARE_WITH_TIMEOUT(w.ui()->devicesCombo->count(), 2, kGenerous);
        QVERIFY(waitSettled(w, 4, 30000));
        QCOMPARE(chosenSerial(w), QStringLiteral("KV000001"));
        QCOMPARE(statusLine(w), QStringLiteral("KV000002 was plugged in."));
    }

    // A serial port named in MZT500_PORTS counts as plugged in while its
    // path exists: a link to a recorder's pseudo-terminal that appears and
    // goes.
    void namedPortLinkAppearsAndGoes()
    {
        sim::Bus::instance().uninstall();
        QProcess pty;
        pty.start(QStringLiteral(MZT_SIM), {QStringLiteral("--pty")});
        QVERIFY(pty.waitForStarted(kGenerous));
        QTRY_VERIFY_WITH_TIMEOUT(pty.canReadLine(), kGenerous);
        const QString slave = QString::fromLocal8Bit(pty.readLine()).trimmed();
        QTemporaryDir dir;
        const QString link = dir.filePath("recorder");
        qputenv("MZT500_PORTS", (link + "=KORVANT KVP-DEV").toLocal8Bit());
        {
            MainWindow w;
            QVERIFY(waitSettled(w, 0));
            QCOMPARE(w.ui()->devicesCombo->count(), 0);

            QVERIFY(QFile::link(slave, link));
            QTRY_COMPARE_WITH_TIMEOUT(w.ui()->devicesCombo->count(), 1, kGenerous);
            QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), link + " was plugged in.", kGenerous);
            QVERIFY(waitSettled(w, -1));
            QTRY_VERIFY_WITH_TIMEOUT(w.ui()->devTable->rowCount() > 0, kGenerous);

            QVERIFY(QFile::remove(link));
            QTRY_COMPARE_WITH_TIMEOUT(statusLine(w), link + " was unplugged.", kGenerous);
            QVERIFY(waitSettled(w, 0));
            QCOMPARE(w.ui()->devicesCombo->count(), 0);
        }
        qunsetenv("MZT500_PORTS");
        pty.terminate();
        pty.waitForFinished(kGenerous);
    }
};

QTEST_MAIN(TestPlug)
#include "tst_app_plug.moc"
