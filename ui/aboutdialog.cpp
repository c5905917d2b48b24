#include "aboutdialog.h"
#include "hidpi_pixmap.h"
#include "mzt_version.h"
#include "ui_aboutdialog.h"

#include <QFile>

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::AboutDialog)
{
    ui->setupUi(this);
    ui->label_2->setPixmap(hidpiPixmap(QStringLiteral(":/pixmaps/MZT500.png")));
    ui->versionLbl->setText(tr("Version %1").arg(MZT_VERSION_MAJOR)
                            + QStringLiteral(".%1").arg(MZT_VERSION_MINOR));
    ui->textBrowser->setText(readNotice(QStringLiteral(":/licenses/LICENSES/CopyrightNotice.txt")));
}

AboutDialog::~AboutDialog()
{
    delete ui;
}

QString AboutDialog::readNotice(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.readAll();
    file.close();
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return QString::fromLatin1(bytes);
}

void AboutDialog::on_buttonOK_clicked()
{
    close();
}
