// The manual windows: independent, self-deleting, without a context menu.
#include "apptest.h"
#include "helpbrowser.h"
#include "kvwebview.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QPalette>
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
    // Run as root, as CI does, the manual opens as the program opens it:
    // without a sandbox setting of the test's own.
    void initTestCase()
    {
        qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
        HelpBrowser::allowRunningAsRoot();
    }
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
    void theManualFollowsADarkPalette();
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

void TestManual::theManualFollowsADarkPalette()
{
    const auto bodyBackground = [](const QPalette& palette) {
        QApplication::setPalette(palette);
        auto* browser = new HelpBrowser;
        browser->show();
        auto* view = browser->findChild<KvWebView*>(QStringLiteral("webView"));
        QString colour;
        if (!view
            || !QTest::qWaitFor(
                [&] { return view->title() == "MZT-500 Data Backup Tool - User Manual"; }, 20000))
            return colour;
        view->page()->runJavaScript(
            QStringLiteral("getComputedStyle(document.body).backgroundColor"),
            [&colour](const QVariant& value) { colour = value.toString(); });
        if (!QTest::qWaitFor([&] { return !colour.isEmpty(); }, 10000))
            colour = QStringLiteral("no answer");
        browser->close();
        return colour;
    };
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::Base, QColor(30, 30, 32));
    dark.setColor(QPalette::WindowText, QColor(225, 225, 225));
    const QString inDark = bodyBackground(dark);
    const QString inLight = bodyBackground(light);
    QApplication::setPalette(light);
    QCOMPARE(inDark, QStringLiteral("rgb(30, 30, 32)"));
    QVERIFY2(inLight != inDark && !inLight.isEmpty(), qPrintable(inLight));
}

QTEST_MAIN(TestManual)
#include "tst_app_manual.moc"
