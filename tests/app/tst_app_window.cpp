// The main window against simulated recorders: start-up and busy state,
// discovery, firmware state, the connection poll and closing.
#include "apptest.h"
#include "ftd2xx.h"
#include "simbus.h"
#include "simframes.h"

#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QToolButton>

using namespace apptest;

namespace {

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg)
        g_warnings << message;
    g_previousHandler(type, context, message);
}

int framesOfCommand(const std::shared_ptr<sim::Recorder>& rec, int command)
{
    return int(testcommon::framesOf(*rec, command).size());
}

} // namespace

class TestWindow : public SimBusTest {
    Q_OBJECT

private slots:
    void startUpIsBusyUntilTheFirstRecorderIsListed();
    void discoveryNumbersRecordersAndSkipsSilentOnes();
    void discoveryRunTwiceGivesTheSameLines();
    void aRecorderHeldElsewhereIsSaidToBeInUse();
    void firmwareState_data();
    void firmwareState();
    void contentListsFromTheRecorder_data();
    void contentListsFromTheRecorder();
    void unpluggingTheRecorderGreysItAndRediscovers();
    void anIndexChangeRefreshesTheContentOnce();
    void closingWhileBusyIsRefused();
    void archivePathFromTheCommandLine();
    void aboutAndQuitCommands();
};

void TestWindow::startUpIsBusyUntilTheFirstRecorderIsListed()
{
    auto recs = install({recorderWithFiles(4)});
    // Discovery takes a moment on the wire, so the busy state can be seen.
    recs[0]->setTiming(sim::Timing::Wire, 20000);

    g_warnings.clear();
    g_previousHandler = qInstallMessageHandler(recordWarnings);
    MainWindow w;
    qInstallMessageHandler(g_previousHandler);
    // The form's by-name connector found a signal for every on_ slot.
    for (const QString& m : std::as_const(g_warnings))
        QVERIFY2(!m.contains(QLatin1String("connectSlotsByName")), qPrintable(m));

    Ui::MainWindow* ui = w.ui();
    QVERIFY(w.isBusy());
    QVERIFY(!ui->menuFile->isEnabled());
    QVERIFY(!ui->menuEdit->isEnabled());
    QVERIFY(ui->menuAbout->isEnabled());
    for (QWidget* widget : std::initializer_list<QWidget*> {
             ui->discoverDevice, ui->devicesCombo, ui->devTable, ui->archTable, ui->toArchive,
             ui->toDevice, ui->newArchive, ui->openArchive, ui->saveArchive, ui->saveArchiveAs})
        QVERIFY2(!widget->isEnabled(), qPrintable(widget->objectName()));
    for (QWidget* widget :
         std::initializer_list<QWidget*> {ui->lblProgCurrent, ui->progrBarCurrent, ui->lblProgTotal,
                                          ui->progBarTotal, ui->abortButton})
        QVERIFY2(widget->isHidden(), qPrintable(widget->objectName()));
    QVERIFY(samePixmap(ui->lblMztIcon->pixmap(), QStringLiteral(":/pixmaps/MZT500gray.png")));
    QVERIFY(samePixmap(ui->lblCompIcon->pixmap(), QStringLiteral(":/pixmaps/pc.png")));

    QVERIFY(waitSettled(w, 5));
    QCOMPARE(comboTexts(ui->devicesCombo), QStringList {QStringLiteral("MZT-500 #1")});
    QCOMPARE(ui->devTable->item(0, 0)->text(), QStringLiteral("SETTINGS"));
    QVERIFY(ui->devicesCombo->isEnabled());
    QVERIFY(ui->devTable->isEnabled());
    QVERIFY(ui->menuFile->isEnabled());
    QVERIFY(ui->menuEdit->isEnabled());
    // Nothing is selected yet, so neither transfer direction is offered.
    QVERIFY(!ui->toArchive->isEnabled());
    QVERIFY(!ui->toDevice->isEnabled());
    QVERIFY(ui->progBarTotal->isHidden());
    QVERIFY(w.isDeviceReady());

    // The first poll after the listing colours the recorder.
    QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), 8000);
    QVERIFY(samePixmap(ui->lblMztIcon->pixmap(), QStringLiteral(":/pixmaps/MZT500.png")));

    // Selecting a row offers the download.
    selectRows(ui->devTable, {1});
    QVERIFY(ui->toArchive->isEnabled());
    ui->devTable->clearSelection();
    QVERIFY(!ui->toArchive->isEnabled());
}

void TestWindow::discoveryNumbersRecordersAndSkipsSilentOnes()
{
    sim::DeviceConfig silent = recorderWithFiles(1);
    silent.answering = false;
    sim::DeviceConfig other = recorderWithFiles(1);
    other.model = "MZT-5000"; // only begins with the recorder's name
    install({recorderWithFiles(2), sim::DeviceConfig::foreign(), silent,
             sim::DeviceConfig::dongle(), other, recorderWithFiles(3)});

    MainWindow w;
    QVERIFY(waitSettled(w, 3));
    QComboBox* combo = w.ui()->devicesCombo;
    QCOMPARE(comboTexts(combo),
             (QStringList {QStringLiteral("MZT-500 #1"), QStringLiteral("MZT-500 #2"),
                           QStringLiteral("MZT-5000"), QStringLiteral("MZT-500 #3")}));
    // The foreign device has a list position but no line; the silent
    // recorder has neither line nor number; everyone else keeps their own
    // position as user data.
    QCOMPARE(comboIndices(combo), (QList<int> {0, 3, 4, 5}));
    QVERIFY(combo->itemIcon(0).isNull());
    QCOMPARE(combo->currentIndex(), 0);
}

void TestWindow::discoveryRunTwiceGivesTheSameLines()
{
    install({recorderWithFiles(1), recorderWithFiles(2)});
    MainWindow w;
    QVERIFY(waitSettled(w, 2));
    const QStringList first = comboTexts(w.ui()->devicesCombo);
    QCOMPARE(first.size(), 2);

    w.on_actionDiscoverDevices_triggered();
    QVERIFY(w.isBusy());
    // The edit menu's command is refused while discovery runs.
    w.on_actionDiscoverDevices_triggered();
    QVERIFY(waitSettled(w, 2));
    QCOMPARE(comboTexts(w.ui()->devicesCombo), first);
}

// Another handle holds the first recorder, as another program holds a port:
// the window says it is in use instead of "No recorder found", and uses a
// free recorder beside it as before.
void TestWindow::aRecorderHeldElsewhereIsSaidToBeInUse()
{
    sim::DeviceConfig held = recorderWithFiles(1);
    held.serial = "KVHELD01";
    install({held, recorderWithFiles(2)});
    DWORD count = 0;
    QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
    FT_HANDLE holder = nullptr;
    QCOMPARE(FT_Open(0, &holder), FT_OK);
    const QString inUse = QStringLiteral("The recorder KVHELD01 is in use by another program.");
    {
        MainWindow w;
        QVERIFY(waitSettled(w, 3));
        QCOMPARE(comboTexts(w.ui()->devicesCombo), QStringList {QStringLiteral("MZT-500 #1")});
        QCOMPARE(comboIndices(w.ui()->devicesCombo), QList<int> {1});
        QCOMPARE(w.statusBar()->currentMessage(), inUse);
    }

    sim::Bus::instance().devices()[1]->vanish();
    {
        MainWindow w;
        QVERIFY(waitSettled(w, 0));
        QCOMPARE(w.ui()->devicesCombo->count(), 0);
        QVERIFY2(w.ui()->devLabel->text().startsWith(inUse), qPrintable(w.ui()->devLabel->text()));
        QVERIFY(w.ui()->devLabel->text().contains(QLatin1String(MainWindow::recorderNotFoundLink)));
    }
    QCOMPARE(FT_Close(holder), FT_OK);
}

void TestWindow::firmwareState_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("updateLink");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("ready");
    // 1.1 cannot list its content; 1.3 can but still wants an update.
    QTest::newRow("1.1") << 0x0101 << true << 0 << false;
    QTest::newRow("1.3") << 0x0103 << true << 3 << true;
    QTest::newRow("1.4") << 0x0104 << false << 3 << true;
}

void TestWindow::firmwareState()
{
    QFETCH(int, version);
    QFETCH(bool, updateLink);
    QFETCH(int, rows);
    QFETCH(bool, ready);

    sim::DeviceConfig c = recorderWithFiles(2);
    c.softwareVersion = std::uint16_t(version);
    auto recs = install({c});
    MainWindow w;
    QVERIFY(waitSettled(w, rows));
    const QString label = w.ui()->devLabel->text();
    if (updateLink) {
        QVERIFY(label.contains(QLatin1String("<a href=\"Update-MZT-500\">")));
        QVERIFY(label.contains(QLatin1String("This device needs to be")));
        QVERIFY(label.contains(QLatin1String("color:#ff0000;\">updated</span></a>")));
    } else {
        QVERIFY2(label.startsWith(QLatin1String("<b>MZT-500</b>")), qPrintable(label));
    }
    QCOMPARE(w.isDeviceReady(), ready);
    // Old firmware is never asked for its list.
    QCOMPARE(framesOfCommand(recs[0], 16) > 0, version > 0x0101);
}

void TestWindow::contentListsFromTheRecorder_data()
{
    QTest::addColumn<int>("sequences");
    QTest::addColumn<bool>("settings");
    QTest::newRow("empty") << 0 << false;
    QTest::newRow("48 bytes") << 2 << true;
    QTest::newRow("full") << 64 << true;
}

void TestWindow::contentListsFromTheRecorder()
{
    QFETCH(int, sequences);
    QFETCH(bool, settings);
    sim::DeviceConfig c = recorderWithFiles(sequences);
    if (!settings)
        c.files.erase(sim::kSettingsFileNumber);
    install({c});
    MainWindow w;
    const int rows = sequences + (settings ? 1 : 0);
    QVERIFY(waitSettled(w, rows));
    // An empty recorder is a recorder in order, not a failure.
    QVERIFY(w.ui()->devLabel->text().startsWith(QLatin1String("<b>MZT-500</b>")));
    QVERIFY(w.isDeviceReady());
    if (rows > 0) {
        const int last =
            rowOfName(w.ui()->devTable,
                      QStringLiteral("SEQUENCE %1").arg(sequences, 2, 10, QLatin1Char('0')));
        QVERIFY(last >= 0);
        QCOMPARE(w.ui()->devTable->item(last, 0)->data(1).toInt(), sequences);
    }
}

void TestWindow::unpluggingTheRecorderGreysItAndRediscovers()
{
    auto recs = install({recorderWithFiles(3)});
    MainWindow w;
    QVERIFY(waitSettled(w, 4));
    QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), 8000);

    recs[0]->vanish();
    // One poll without an answer (600 ms plus the reply time-out) is enough.
    QTRY_VERIFY_WITH_TIMEOUT(!w.isConnected(), 8000);
    QVERIFY(samePixmap(w.ui()->lblMztIcon->pixmap(), QStringLiteral(":/pixmaps/MZT500gray.png")));
    QCOMPARE(w.ui()->devTable->rowCount(), 0);
    QVERIFY(!w.ui()->devLabel->text().contains(QLatin1String("MZT-500")));
    // Discovery ran again and found nobody.
    QVERIFY(waitSettled(w, 0));
    QCOMPARE(w.ui()->devicesCombo->count(), 0);
    QVERIFY(w.ui()->devLabel->text().startsWith(QLatin1String("No recorder found.")));

    // With nothing listed, further polls change nothing.
    QTest::qWait(1500);
    QVERIFY(!w.isBusy());
    QCOMPARE(w.ui()->devicesCombo->count(), 0);

    // Plugged in again, it is found by the next discovery.
    recs[0]->reappear();
    w.on_discoverDevice_clicked();
    QVERIFY(waitSettled(w, 4));
    QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), 8000);
}

void TestWindow::anIndexChangeRefreshesTheContentOnce()
{
    auto recs = install({recorderWithFiles(1), recorderWithFiles(5)});
    MainWindow w;
    QVERIFY(waitSettled(w, 2));
    // Several refreshes of the same recorder first.
    for (int i = 0; i < 3; ++i) {
        w.updateMZTContent();
        QVERIFY(waitSettled(w, 2));
    }
    recs[1]->clearLogs();

    w.ui()->devicesCombo->setCurrentIndex(1);
    QVERIFY(waitSettled(w, 6));
    QTest::qWait(800);
    QVERIFY(!w.isBusy());
    QCOMPARE(framesOfCommand(recs[1], 16), 1);
    // The recorder was put into transfer mode before its list was read.
    QVERIFY(recs[1]->inTransferMode());
}

void TestWindow::closingWhileBusyIsRefused()
{
    auto recs = install({recorderWithFiles(2)});
    recs[0]->setTiming(sim::Timing::Wire, 20000);
    MainWindow w;
    QVERIFY(w.isBusy());
    QVERIFY(!w.close());
    // The user hears why, once however often they try, without the
    // explanation holding up the operation.
    QVERIFY(!w.close());
    const QList<QMessageBox*> boxes = w.findChildren<QMessageBox*>();
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes[0]->isVisible());
    QVERIFY(boxes[0]->text().startsWith(QLatin1String("The window cannot be closed")));
    QVERIFY(!QApplication::activeModalWidget());
    // The close was refused before anything was stopped: the listing goes on
    // and the poll still runs.
    QVERIFY(waitSettled(w, 3));
    QTRY_VERIFY_WITH_TIMEOUT(w.isConnected(), 8000);
}

void TestWindow::archivePathFromTheCommandLine()
{
    // Only the first argument counts, and it is a file name in the
    // platform's encoding (UTF-8 here), not Latin-1.
    char program[] = "mzt500-backup";
    char path[] = "/tmp/K\xc3\xa4se \xe2\x80\x93 \xc3\x9c.mzt";
    char extra[] = "/tmp/other.mzt";
    char* argv[] = {program, path, extra, nullptr};
    const QString decoded = MainWindow::archivePathArgument(3, argv);
    QCOMPARE(decoded, QStringLiteral("/tmp/K\u00e4se \u2013 \u00dc.mzt"));
    QVERIFY(MainWindow::archivePathArgument(1, argv).isNull());

    install({});
    MainWindow w(decoded);
    QVERIFY(w.archivePathFromCommandLine());
    QCOMPARE(w.currentArchivePath(), decoded);
    QVERIFY(waitSettled(w, 0));
}

void TestWindow::aboutAndQuitCommands()
{
    auto recs = install({recorderWithFiles(1)});
    MainWindow w;
    QVERIFY(waitSettled(w, 2));

    QString title;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            title = dialog->windowTitle();
            parent = dialog->parentWidget();
            dialog->close();
        }
    });
    w.on_actionAbout_triggered();
    QCOMPARE(title, QStringLiteral("About MZT-500 Data Backup Tool"));
    QCOMPARE(parent, &w);

    // Quit runs the window's own close handling, which stops the poll: the
    // recorder is not probed any more.
    w.on_actionQuit_triggered();
    recs[0]->clearLogs();
    QTest::qWait(1300);
    QCOMPARE(framesOfCommand(recs[0], 0), 0);
}

QTEST_MAIN(TestWindow)
#include "tst_app_window.moc"
