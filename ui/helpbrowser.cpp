#include "helpbrowser.h"
#include "ui_helpbrowser.h"

#include "uilog.h"

#include <QCloseEvent>
#include <QUrl>

Q_LOGGING_CATEGORY(lcUi, "mzt.ui")

namespace {
constexpr double textZoom = 1.3;
const QString manualUrl = QStringLiteral("qrc:///manual//html//UserManual.html");
} // namespace

HelpBrowser::HelpBrowser(QWidget* parent, const QString& section)
    : QMainWindow(parent)
    , ui(new Ui::HelpBrowser)
{
    ui->setupUi(this);
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
