#include "helpbrowser.h"
#include "ui_helpbrowser.h"

#include "uilog.h"

#include <QCloseEvent>
#include <QPalette>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcUi, "mzt.ui")

namespace {
constexpr double textZoom = 1.3;
const QString manualUrl = QStringLiteral("qrc:///manual//html//UserManual.html");

// A page that stays inside the manual: links elsewhere are not followed.
class ManualPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override
    {
        const bool inside = url.scheme() == QLatin1String("qrc");
        if (!inside)
            qCDebug(lcUi) << "not following" << url.toString();
        return inside;
    }
};

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

} // namespace

void HelpBrowser::allowRunningAsRoot()
{
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

HelpBrowser::HelpBrowser(QWidget* parent, const QString& section)
    : QMainWindow(parent)
    , ui(new Ui::HelpBrowser)
{
    ui->setupUi(this);
    auto* page = new ManualPage(ui->webView);
    // With a dark palette the page takes its dark colours from the start,
    // without a white flash while it loads.
    if (isDark(palette())) {
        page->setBackgroundColor(palette().color(QPalette::Base));
        QWebEngineScript dark;
        dark.setName(QStringLiteral("dark-palette"));
        dark.setInjectionPoint(QWebEngineScript::DocumentReady);
        dark.setWorldId(QWebEngineScript::MainWorld);
        dark.setSourceCode(QStringLiteral("document.documentElement.classList.add('dark');"));
        page->scripts().insert(dark);
    }
    ui->webView->setPage(page);
    QUrl url(manualUrl);
    if (!section.isEmpty())
        url.setFragment(section);
    ui->webView->load(url);
    ui->webView->setZoomFactor(textZoom);
    qCDebug(lcUi) << "Helpbrowser launched";
}

HelpBrowser::~HelpBrowser()
{
    delete ui;
}

void HelpBrowser::on_buttonQuit_clicked()
{
    close();
    deleteLater();
}

bool HelpBrowser::close()
{
    return QMainWindow::close();
}

void HelpBrowser::closeEvent(QCloseEvent* event)
{
    qCDebug(lcUi) << "close";
    deleteLater();
    event->accept();
}
