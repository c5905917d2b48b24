// The manual windows: independent, self-deleting, without a context menu.
#include "apptest.h"
#include "helpbrowser.h"
#include "kvwebview.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QPointer>
#include <QWebEnginePage>

using namespace apptest;

namespace {

QList<HelpBrowser*> openBrowsers()
{
    QList<HelpBrowser*> list;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<HelpBrowser*>(w); b && b->isVisible())
            list << b;
    return list;
}

void deleteDeferred()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestManual : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (HelpBrowser* b : openBrowsers())
            b->close();
        deleteDeferred();
        sim::Bus::instance().uninstall();
    }

    void manualResources();
    void eachCommandOpensAnIndependentWindow();
    void theManualLoadsAndHasNoContextMenu();
    void noRecorderLinkOpensItsSection();
};

void TestManual::manualResources()
{
    // The address the window loads, with its doubled slashes, finds the page.
    QFile page(QStringLiteral(":/manual//html//UserManual.html"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    for (int n = 1; n <= 6; ++n)
        QVERIFY(html.contains(QStringLiteral("id=\"sec%1\"").arg(n).toLatin1()));
    // The recorder label's help link leads to this section.
    QVERIFY(html.contains(QByteArray("id=\"") + MainWindow::recorderNotFoundSection + "\""));
    // Every picture the page refers to is there.
    for (const char* picture : {"logo1.png", "rec.png", "ScrA.png", "ScrB.png", "ScrC.png",
                                "ScrD.png", "ScrE.png", "ScrF.png"}) {
        QVERIFY2(html.contains(picture), picture);
        QVERIFY2(QFile::exists(QStringLiteral(":/manual/html/") + QLatin1String(picture)), picture);
    }
}

void TestManual::eachCommandOpensAnIndependentWindow()
{
    install({});
    MainWindow w;
    QVERIFY(waitSettled(w, 0));
    w.on_actionManual_triggered();
    w.on_actionManual_triggered();
    QList<HelpBrowser*> browsers = openBrowsers();
    QCOMPARE(browsers.size(), 2);
    QCOMPARE(browsers[0]->windowTitle(), QStringLiteral("MZT-500 Data Backup Tool Manual"));
    QVERIFY(!browsers[0]->parent());

    QPointer<HelpBrowser> closed = browsers[0];
    QPointer<HelpBrowser> kept = browsers[1];
    closed->close();
    deleteDeferred();
    QVERIFY(closed.isNull());
    QVERIFY(!kept.isNull());
    QVERIFY(kept->isVisible());

    // The Quit button closes and deletes its window too.
    QTest::mouseClick(kept->findChild<QWidget*>(QStringLiteral("buttonQuit")), Qt::LeftButton);
    deleteDeferred();
    QVERIFY(kept.isNull());
}

void TestManual::theManualLoadsAndHasNoContextMenu()
{
    auto* browser = new HelpBrowser;
    QPointer<HelpBrowser> guard(browser);
    browser->show();
    auto* view = browser->findChild<KvWebView*>(QStringLiteral("webView"));
    QVERIFY(view);
    QCOMPARE(view->zoomFactor(), 1.3);
    QTRY_COMPARE_WITH_TIMEOUT(view->title(),
                              QStringLiteral("MZT-500 Data Backup Tool - User Manual"), 20000);

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(50, 50),
                            view->mapToGlobal(QPoint(50, 50)));
    QCoreApplication::sendEvent(view, &event);
    QTest::qWait(100);
    QVERIFY(!QApplication::activePopupWidget());
    browser->close();
    deleteDeferred();
    QVERIFY(guard.isNull());
}

void TestManual::noRecorderLinkOpensItsSection()
{
    install({});
    MainWindow w;
    QVERIFY(waitSettled(w, 0));
    QVERIFY(w.ui()->devLabel->text().contains(QLatin1String(MainWindow::recorderNotFoundLink)));
    w.on_devLabelLinkActivated(QLatin1String(MainWindow::recorderNotFoundLink));
    const QList<HelpBrowser*> browsers = openBrowsers();
    QCOMPARE(browsers.size(), 1);
    auto* view = browsers[0]->findChild<KvWebView*>(QStringLiteral("webView"));
    QVERIFY(view);
    QTRY_COMPARE_WITH_TIMEOUT(view->title(),
                              QStringLiteral("MZT-500 Data Backup Tool - User Manual"), 20000);
    QCOMPARE(view->url().fragment(), QLatin1String(MainWindow::recorderNotFoundSection));
}

QTEST_MAIN(TestManual)
#include "tst_app_manual.moc"
