// A window showing the user manual compiled into the program. Each one is
// independent of the main window and deletes itself when closed.
#pragma once

#include <QMainWindow>

namespace Ui {
class HelpBrowser;
}

class HelpBrowser : public QMainWindow {
    Q_OBJECT

public:
    explicit HelpBrowser(QWidget* parent = nullptr);
    ~HelpBrowser() override;

public slots:
    void on_buttonQuit_clicked();
    bool close();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::HelpBrowser* ui;
};
