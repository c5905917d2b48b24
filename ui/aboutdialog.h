// The About box: program name, version and the legal notice.
#pragma once

#include <QDialog>

namespace Ui {
class AboutDialog;
}

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;

    // The text of the legal notice at path, up to its first zero byte; empty
    // when the file cannot be read.
    static QString readNotice(const QString& path);

private slots:
    void on_buttonOK_clicked();

private:
    Ui::AboutDialog* ui;
};
